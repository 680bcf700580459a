#pragma once
// Shared pieces of the Convert model tests: the application object, waiting on the event loop,
// a desktop that counts what it was asked, and path helpers.

#include <filesystem>
#include <functional>
#include <optional>

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include "platform/system/desktop_services.h"

namespace qm::test {

// The one application object the models' queued results need.
void ensureApplication();

// Runs the event loop until the condition holds; false when it still does not after a long
// safety limit (a hang, not a speed measurement).
bool waitUntil(const std::function<bool()>& condition);
// Runs the events that are already posted.
void drainEvents();

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

}  // namespace qm::test
