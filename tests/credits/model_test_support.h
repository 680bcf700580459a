#pragma once
// The surroundings of a credits model under test: the offscreen application, a settings file in a
// temporary folder, a desktop whose panels answer from a script, a strip builder that can be held
// at a latch, and a clock the test moves by hand.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <gtest/gtest.h>

#include "credits/credits_model.h"
#include "platform/system/desktop_services.h"
#include "support/qt_events.h"
#include "support/scripted_desktop.h"
#include "support/test_support.h"

namespace qm::test {

inline QString qpath(const std::filesystem::path& p) { return QString::fromStdString(p.string()); }

// Stands in for the strip builder: a plain strip 60 % of the frame wide and 400 rows tall, with
// the choices given; held while the latch is closed; fails with `error` when one is set.
class StripGate {
public:
    CreditsStrip build(const CreditsSettings& settings);
    void close();
    void release();
    int calls() const;
    int64_t lastWidth() const;

    std::vector<ChineseConverter::Choice> choices;
    std::optional<std::string> error;

private:
    mutable std::mutex lock_;
    std::condition_variable opened_;
    bool closed_ = false;
    int calls_ = 0;
    int64_t lastWidth_ = 0;
};

class CreditsModelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A model on this test's store, desktop and clock; the gate's builder unless `realBuilder`.
    std::unique_ptr<CreditsModel> makeModel(bool realBuilder = false);
    SettingsStore store() const { return SettingsStore(qpath(dir / "settings.ini")); }
    void advance(double seconds) {
        *clock += std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    }
    // A small picture written by ffmpeg.
    std::filesystem::path picture(const std::string& name, const std::string& color = "red");

    TempDir dir;
    ScriptedDesktop desktop;
    std::shared_ptr<StripGate> gate = std::make_shared<StripGate>();
    std::shared_ptr<std::chrono::steady_clock::time_point> clock =
        std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::time_point{} + std::chrono::hours(1));
    std::unique_ptr<CreditsModel> model;
};

}  // namespace qm::test
