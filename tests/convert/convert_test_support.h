#pragma once
// Shared pieces of the Convert model tests: the application object, waiting on the event loop,
// a desktop that counts what it was asked, path helpers and the surroundings of a queue.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>

#include "convert/conversion_queue.h"
#include "platform/system/desktop_services.h"
#include "support/qt_app.h"
#include "support/qt_events.h"
#include "support/test_support.h"

namespace qm::test {

inline QString qpath(const std::filesystem::path& p) { return QString::fromStdString(p.string()); }

class CountingDesktop : public DesktopServices {
public:
    QStringList runOpenPanel(const OpenPanelRequest& request) override {
        ++openPanels;
        lastOpen = request;
        return openAnswer;
    }
    std::optional<QString> runSavePanel(const SavePanelRequest&) override { return std::nullopt; }
    void revealInFileManager(const QStringList& paths) override { revealed.append(paths); }
    void playCompletionSound() override { ++sounds; }
    void requestAttention(AttentionRequest kind) override {
        ++attentionRequests;
        lastAttention = kind;
    }

    QStringList openAnswer;  // what the next open panels answer (empty: cancelled)
    int openPanels = 0;
    OpenPanelRequest lastOpen;
    QStringList revealed;
    int sounds = 0;
    int attentionRequests = 0;
    std::optional<AttentionRequest> lastAttention;
};

// A queue's surroundings: a temporary folder holding its settings file, and a counting desktop.
class QueueTest : public ::testing::Test {
protected:
    void SetUp() override { qtApp(); }

    // A queue on this desktop and settings file; the real probe when none is given.
    std::unique_ptr<ConversionQueue> makeQueue(decltype(ConversionQueue::Environment::probe) probe = {}) {
        ConversionQueue::Environment env;
        env.desktop = &desktop;
        env.store = store();
        env.probe = std::move(probe);
        return std::make_unique<ConversionQueue>(std::move(env));
    }
    SettingsStore store() const { return SettingsStore(qpath(dir / "settings.ini")); }
    // Whether no job of `queue` is still being probed.
    bool allProbed() const {
        for (const auto& job : queue->jobs()) {
            if (job->state().is(ConversionJob::State::Kind::probing)) return false;
        }
        return true;
    }

    TempDir dir;
    CountingDesktop desktop;
    std::unique_ptr<ConversionQueue> queue;  // the queue under test, where a fixture keeps one
};

}  // namespace qm::test
