// The End Credits window end to end: a Word list written by python-docx and a picture go in
// through the window's routing, Export… runs through a scripted save panel, and ffmpeg decodes
// every frame of the movie.
#include "app/app_shell.h"
#include "app/main_window.h"
#include "app/mode_setting.h"
#include "convert/conversion_queue.h"
#include "credits/views/chinese_choices_sheet.h"
#include "credits/views/credits_export_bar.h"
#include "credits/views/credits_settings_panel.h"
#include "credits/views/credits_view.h"
#include "platform/desktop/icons.h"

#include "window_fixture.h"
#include "credits/strip_test_support.h"
#include "support/qt_app.h"

#include <QApplication>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>

#include <cmath>

#include <gtest/gtest.h>

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::qpath;
using test::waitUntil;

class CreditsEndToEnd : public test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        installIconTheme();
        QSettings().setValue("appMode", "credits");
        start();
        shell->window().resize(1280, 800);
    }
    QUrl picture(const std::string& name, const std::string& source) {
        test::ffmpeg({"-f", "lavfi", "-i", source, "-frames:v", "1", (dir / name).string()});
        return QUrl::fromLocalFile(qpath(dir / name));
    }
    QUrl list(const std::string& name, const std::vector<std::string>& lines) {
        nlohmann::json paragraphs = nlohmann::json::array();
        for (const std::string& line : lines)
            paragraphs.push_back({{"align", "center"}, {"runs", {{{"text", line}, {"size", 20}}}}});
        test::makeDocx({{"paragraphs", paragraphs}}, dir / name);
        return QUrl::fromLocalFile(qpath(dir / name));
    }
    void settle() {
        ASSERT_TRUE(waitUntil([&] {
            return (credits->strip().has_value() && !credits->isBuildingStrip() && !credits->isRenderingPreview()) ||
                   credits->errorMessage();
        }));
        ASSERT_FALSE(credits->errorMessage()) << credits->errorMessage()->toStdString();
    }

};

TEST_F(CreditsEndToEnd, AListAndAPictureExportThroughTheWindow) {
    CreditsSettings s = credits->settings();
    s.width = 640;
    s.height = 360;
    s.frameRate = 25;
    s.rollSeconds = 3;
    s.head.hold = 1;
    credits->setSettings(s);
    shell->open({list("Cast.docx", {"Director  Ana Ruiz", "Camera  Li Wei", "Sound  Omar Haddad"}),
                 picture("title.png", "testsrc2=s=320x180")});
    shell->show();
    settle();
    EXPECT_FALSE(credits->headURL().isEmpty());

    QPushButton* exportButton = shell->creditsView()->exportBar()->exportButton();
    ASSERT_TRUE(exportButton->isEnabled());
    const fs::path movie = dir / "Cast.mov";
    desktop.saveAnswers.push_back(qpath(movie));
    exportButton->click();
    ASSERT_TRUE(waitUntil([&] { return !credits->isExporting(); }));
    ASSERT_FALSE(credits->exportError()) << credits->exportError()->toStdString();
    EXPECT_EQ(shell->creditsView()->exportBar()->status(), CreditsExportBar::Status::result);
    EXPECT_EQ(desktop.saves.back().suggestedName, credits->exportName() + ".mov");

    // The frame count the roll's length implies at 25 frames a second, every frame decoded.
    const int64_t frames = int64_t(std::ceil(credits->length() * 25 - 1e-9));
    const auto info = test::ffprobe(movie);
    EXPECT_EQ(info.at("streams").at(0).at("width"), 640);
    EXPECT_EQ(info.at("streams").at(0).at("height"), 360);
    const fs::path raw = dir / "frames.rgb";
    test::ffmpeg({"-i", movie.string(), "-f", "rawvideo", "-pix_fmt", "rgb24", raw.string()});
    EXPECT_EQ(int64_t(fs::file_size(raw)), frames * 640 * 360 * 3);
}

// Screenshots for a person to look at: run with QM_SCREENSHOT_DIR set (under xvfb-run for a real
// X server). Skipped otherwise.
TEST_F(CreditsEndToEnd, Screenshots) {
    const QByteArray out = qgetenv("QM_SCREENSHOT_DIR");
    if (out.isEmpty()) GTEST_SKIP() << "QM_SCREENSHOT_DIR is not set";
    auto save = [&](QWidget* w, const char* name) {
        QApplication::processEvents();
        EXPECT_TRUE(w->grab().save(QString::fromUtf8(out) + "/" + name));
    };
    shell->show();
    waitUntil([&] { return !credits->isRenderingPreview(); });
    save(&shell->window(), "credits_empty.png");

    shell->open({list("Credits.docx", {"A Film by", "Ana Ruiz", "", "Director of Photography", "Li Wei", "",
                                       "Sound", "Omar Haddad", "", "头发 干净 面条", "发 干 后", "Thanks to everyone"}),
                 picture("opening.png", "testsrc2=s=1280x720"), picture("closing.png", "smptebars=s=1280x720")});
    settle();
    credits->seek(1.5);
    waitUntil([&] { return !credits->isRenderingPreview(); });
    save(&shell->window(), "credits_filled.png");
    CreditsSettings effect = credits->settings();
    effect.effect = CreditsSettings::Effect::shadow;
    credits->setSettings(effect);
    auto* panel = shell->creditsView()->settingsPanel();
    panel->verticalScrollBar()->setValue(panel->verticalScrollBar()->maximum());
    save(panel, "credits_panel_end.png");
    panel->verticalScrollBar()->setValue(0);

    CreditsSettings s = credits->settings();
    s.rollSeconds = 120;
    credits->setSettings(s);
    settle();
    desktop.saveAnswers.push_back(qpath(dir / "Long.mov"));
    shell->creditsView()->exportBar()->exportButton()->click();
    waitUntil([&] { return !credits->isExporting() || credits->exportProgress().fraction > 0.05; });
    save(&shell->window(), "credits_exporting.png");
    credits->cancelExport();
    waitUntil([&] { return !credits->isExporting(); });

    s.chineseConversion = ChineseConverter::Direction::toTraditional;
    credits->setSettings(s);
    settle();
    credits->setIsReviewingChoices(true);
    ASSERT_NE(shell->creditsView()->sheet(), nullptr);
    save(shell->creditsView()->sheet(), "credits_review.png");
}

}  // namespace
}  // namespace qm
