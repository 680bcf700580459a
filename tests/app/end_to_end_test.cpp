// The whole Convert road in the real window: a generated source is queued, converted to Hap Q into
// a temporary folder, and its row ends done with a file that ffprobe reads.

#include "app/main_window.h"
#include "app/mode_setting.h"
#include "convert/views/content_view.h"
#include "convert/views/job_row.h"
#include "convert/views/settings_panel.h"
#include "platform/desktop/icons.h"
#include "platform/system/desktop_services.h"

#include "support/qt_app.h"
#include "support/test_support.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace qm {
namespace {

class QuietDesktop : public DesktopServices {
public:
    QStringList runOpenPanel(const OpenPanelRequest&) override { return {}; }
    std::optional<QString> runSavePanel(const SavePanelRequest&) override { return std::nullopt; }
    void revealInFileManager(const QStringList&) override {}
    void playCompletionSound() override { ++sounds; }
    void requestAttention(AttentionRequest) override {}
    int sounds = 0;
};

TEST(EndToEnd, TheWindowConvertsAQueuedSourceToHapQ) {
    test::qtApp<QApplication>();
    installIconTheme();
    test::TempDir dir;
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QString::fromStdString(dir.path().string()));
    const auto source = dir / "clip.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=160x120:r=25:d=1", "-f", "lavfi", "-i", "sine=d=1",
                  "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", source.string()});
    const auto out = dir / "out";
    std::filesystem::create_directory(out);

    QuietDesktop desktop;
    ConversionQueue::Environment env;
    env.desktop = &desktop;
    env.store = SettingsStore(QString::fromStdString((dir / "store.ini").string()));
    ConversionQueue queue(std::move(env));
    auto* content = new ContentView(queue);
    ModeSetting mode;
    MainWindow window(mode, content, {}, new QLabel, {});
    window.show();

    ConversionSettings settings = queue.settings();
    settings.format = OutputFormat::hapQ;
    queue.setSettings(settings);
    queue.setOutputFolder(QString::fromStdString(out.string()));
    queue.add(QStringList{QString::fromStdString(source.string())});
    QTRY_COMPARE_WITH_TIMEOUT(queue.readyCount(), 1, 120000);
    QPushButton* convert = content->settingsPanel()->actionButton();
    EXPECT_EQ(convert->text(), "Convert 1 File");
    ASSERT_TRUE(convert->isEnabled());
    convert->click();

    const ConversionJobRef job = queue.jobs().front();
    QTRY_VERIFY_WITH_TIMEOUT(!queue.isRunning() && job->state().is(ConversionJob::State::Kind::done), 120000);
    const QString output = job->state().output;
    EXPECT_EQ(output, QString::fromStdString((out / "clip_HapQ.mov").string()));
    JobRow* row = content->rowAt(0);
    ASSERT_NE(row, nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(row->statusArea()->findChild<QToolButton*>("revealButton") != nullptr, 120000);
    EXPECT_EQ(desktop.sounds, 1);

    const auto probe = test::ffprobe(output.toStdString());
    ASSERT_TRUE(probe.contains("streams"));
    bool sawHapQ = false;
    for (const auto& stream : probe["streams"])
        if (stream.value("codec_type", "") == "video") {
            EXPECT_EQ(stream.value("codec_tag_string", ""), "HapY");
            EXPECT_EQ(stream.value("width", 0), 160);
            sawHapQ = true;
        }
    EXPECT_TRUE(sawHapQ);
    EXPECT_EQ(test::run({"ffmpeg", "-v", "error", "-i", output.toStdString(), "-f", "null", "-"}).exitCode, 0);
}

}  // namespace
}  // namespace qm
