// Settings and output folder of the Convert queue, persisted through QSettings in a temporary
// folder.

#include <filesystem>

#include <gtest/gtest.h>

#include <QSettings>

#include "convert/conversion_queue.h"
#include "convert_test_support.h"
#include "core/conversion_error.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using qm::ConversionQueue;
using qm::ConversionSettings;
using qm::OutputFormat;
using qm::test::qpath;

namespace {

class QueueSettings : public qm::test::QueueTest {
protected:
    void SetUp() override {
        QueueTest::SetUp();
        ::unsetenv("APP_SANDBOX_CONTAINER_ID");
    }

    std::unique_ptr<ConversionQueue> makeQueue() {
        return QueueTest::makeQueue([](const fs::path&) -> qm::MediaInfo { throw qm::ConversionError::noVideoTrack(); });
    }
    QString storedSettings() const { return store().text("conversionSettings").value_or(QString()); }
};

TEST_F(QueueSettings, FirstLaunchHasDefaultsAndAsksForAFolderOnStart) {
    auto queue = makeQueue();
    EXPECT_EQ(queue->settings(), ConversionSettings{});
    EXPECT_TRUE(queue->outputFolder().isEmpty());
    EXPECT_EQ(queue->preview().outputSettings(), ConversionSettings{});

    queue->start();  // the folder panel is cancelled: no run
    EXPECT_EQ(desktop.openPanels, 1);
    EXPECT_FALSE(desktop.lastOpen.canChooseFiles);
    EXPECT_TRUE(desktop.lastOpen.canChooseDirectories);
    EXPECT_EQ(desktop.lastOpen.prompt, "Choose");
    EXPECT_EQ(desktop.lastOpen.message, "Choose where converted files are saved");
    EXPECT_FALSE(queue->isRunning());
}

TEST_F(QueueSettings, SettingsRoundTripBetweenLaunches) {
    ConversionSettings chosen;
    chosen.format = OutputFormat::dxv3Alpha;
    chosen.hapChunks = 4;
    chosen.scalePercent = 37.5;
    chosen.includeAudio = false;
    {
        auto queue = makeQueue();
        queue->setSettings(chosen);
        EXPECT_EQ(queue->preview().outputSettings(), chosen);
    }
    auto again = makeQueue();
    EXPECT_EQ(again->settings(), chosen);
    EXPECT_EQ(again->preview().outputSettings(), chosen);

    // The same value assigned again is stored again.
    store().remove("conversionSettings");
    again->setSettings(chosen);
    EXPECT_FALSE(storedSettings().isEmpty());
}

TEST_F(QueueSettings, UnwritableStoredFormatComesBackAsHapQ) {
    store().setText("conversionSettings", R"({"format":"notchLC","hapChunks":8})");
    auto queue = makeQueue();
    EXPECT_EQ(queue->settings().format, OutputFormat::hapQ);
    EXPECT_EQ(queue->settings().hapChunks, 8);
    EXPECT_TRUE(storedSettings().contains(R"("format":"hapQ")")) << storedSettings().toStdString();

    store().setText("conversionSettings", R"({"format":"hevcAlpha"})");
    EXPECT_EQ(makeQueue()->settings().format, qm::isAvailable(OutputFormat::hevcAlpha) ? OutputFormat::hevcAlpha
                                                                                          : OutputFormat::hapQ);
}

TEST_F(QueueSettings, DamagedStoredSettingsFallBackToDefaults) {
    store().setText("conversionSettings", "[1, 2");
    EXPECT_EQ(makeQueue()->settings(), ConversionSettings{});
    store().setText("conversionSettings", "[1, 2]");
    EXPECT_EQ(makeQueue()->settings(), ConversionSettings{});
}

TEST_F(QueueSettings, OutputFolderIsRememberedAndForgottenWhenGone) {
    const fs::path out = dir / "Converted";
    fs::create_directories(out);
    {
        auto queue = makeQueue();
        desktop.openAnswer = {qpath(out)};
        EXPECT_TRUE(queue->chooseOutputFolder());
        EXPECT_EQ(queue->outputFolder(), qpath(out));
        EXPECT_EQ(store().data("outputFolderBookmark").value(), qpath(out).toUtf8());

        // Cancelling keeps the folder and the bookmark.
        desktop.openAnswer = {};
        EXPECT_FALSE(queue->chooseOutputFolder());
        EXPECT_EQ(queue->outputFolder(), qpath(out));

        queue->revealOutputFolder();
        EXPECT_EQ(desktop.revealed, QStringList{qpath(out)});
    }
    EXPECT_EQ(makeQueue()->outputFolder(), qpath(out));

    fs::remove(out);
    auto queue = makeQueue();
    EXPECT_TRUE(queue->outputFolder().isEmpty());
    EXPECT_FALSE(store().contains("outputFolderBookmark"));
    queue->revealOutputFolder();
    EXPECT_TRUE(desktop.revealed.isEmpty() || desktop.revealed.size() == 1);
}

TEST_F(QueueSettings, StaleBookmarkIsRenewed) {
    fs::create_directories(dir / "real");
    fs::create_directory_symlink(dir / "real", dir / "link");
    store().setData("outputFolderBookmark", qpath(dir / "link").toUtf8());
    auto queue = makeQueue();
    EXPECT_EQ(queue->outputFolder(), qpath(fs::canonical(dir / "real")));
    EXPECT_EQ(store().data("outputFolderBookmark").value(), qpath(fs::canonical(dir / "real")).toUtf8());
}

}  // namespace
