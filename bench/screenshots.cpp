// Screenshots of the windows as a user sees them, for a person to look at: a tool, not a test.
//   QM_SCREENSHOT_DIR=/tmp/shots xvfb-run -a -s "-screen 0 1600x1000x24" build/bench/qm_screenshots
#include "app/credits_window.h"
#include "app/editor_window.h"

namespace qm {
namespace {

// Screenshots for a person to look at, into QM_SCREENSHOT_DIR (under xvfb-run for a real
// X server).
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

// Screenshots for a person to look at, into QM_SCREENSHOT_DIR (under xvfb-run for a real
// X server, where the screen shot shows the sheets over the window).
TEST_F(EditorEndToEnd, Screenshots) {
    const QByteArray out = qgetenv("QM_SCREENSHOT_DIR");
    if (out.isEmpty()) GTEST_SKIP() << "QM_SCREENSHOT_DIR is not set";
    const auto save = [&](QWidget* w, const QString& name) {
        QApplication::processEvents();
        EXPECT_TRUE(w->grab().save(QString::fromUtf8(out) + "/" + name + ".png"));
        if (QGuiApplication::platformName() == "xcb")
            QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromUtf8(out) + "/" + name + "_screen.png");
    };
    shell->window().resize(1440, 900);
    mode->setMode(AppMode::edit);
    shell->show();
    settle();
    save(&shell->window(), "editor_empty");

    // Four layers; the sound of "cam B" lies two seconds into the reference's, the others have none.
    test::ffmpeg({"-f", "lavfi", "-i", "anoisesrc=d=8:c=pink:seed=3", "-ar", "48000", (dir / "noise.wav").string()});
    const auto withSound = [&](const std::string& name, const std::string& video, double from, double seconds) {
        const fs::path file = dir / name;
        test::ffmpeg({"-f", "lavfi", "-i", lavfiVideo(video, 640, 360, seconds), "-ss",
                      std::to_string(from), "-t", std::to_string(seconds), "-i", (dir / "noise.wav").string(), "-c:v",
                      "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", file.string()});
        return json{{"id", newID()}, {"path", file.string()}, {"name", name}, {"width", 640}, {"height", 360},
                    {"frameRate", 30}, {"duration", seconds}, {"hasAudio", true}, {"codecName", "H.264"}};
    };
    const json reference = withSound("reference.mov", "gradients=speed=0.02:seed=4", 0, 8);
    const json camB = withSound("cam B.mov", "testsrc2", 2, 5);
    const json bars = medium(dir / "bars.mov", "smptehdbars", 640, 360);
    const json logo = medium(dir / "logo.mov", "testsrc", 640, 360);
    const auto placed = [](double x, double y, double scale, double rotation, double opacity) {
        return json{{"anchor", still(xy(320, 180))}, {"position", still(xy(x, y))}, {"scale", still(xy(scale, scale))},
                    {"rotation", still(rotation)}, {"opacity", still(opacity)}};
    };
    json later = clip(camB, placed(1380, 700, 45, 8, 100));
    later["start"] = 1;
    const json project = {{"width", 1920}, {"height", 1080}, {"frameRate", 25}, {"transparentBackground", false},
                          {"media", {reference, camB, bars, logo}},
                          {"tracks", {track("Logo", {clip(logo, placed(1650, 200, 30, 0, 70))}), track("Cam B", {later}),
                                      track("Bars", {clip(bars, placed(520, 330, 40, -12, 100))}),
                                      track("Reference", {clip(reference)})}}};
    const fs::path file = dir / "Four Layers.qmproj";
    test::writeFile(file, project.dump(2));
    shell->open({QUrl::fromLocalFile(qpath(file))});
    ASSERT_TRUE(waitUntil([&] { return editor->projectURL() == qpath(file); }));
    editor->seek(1.5);
    editor->setSelectedClipID(QUuid::fromString(QString::fromStdString(later.at("id").get<std::string>())));
    settle();
    save(&shell->window(), "editor_four_layers");

    // Exporting: a sheet over the window with its bar and rate.
    shell->editorView()->inspector()->exportButton()->click();
    ExportSheet* sheet = shell->editorView()->exportSheet();
    ASSERT_NE(sheet, nullptr);
    save(sheet, "editor_export_settings");
    editor->importFiles({qpath(dir / "gone.mov")});  // an alert while the sheet is up comes over it
    ASSERT_TRUE(waitUntil([&] { return shell->editorView()->importAlert() != nullptr; }));
    save(shell->editorView()->importAlert(), "editor_alert_over_sheet");
    shell->editorView()->importAlert()->accept();
    desktop.saveAnswers.push_back(qpath(dir / "Four Layers_ProResHQ.mov"));
    sheet->exportButton()->click();
    waitUntil([&] { return !editor->isExporting() || editor->exportProgress().fraction > 0.2; });
    save(sheet, "editor_exporting");
    editor->cancelExport();
    waitUntil([&] { return !editor->isExporting(); });
    sheet->closeSheet();

    // The sync report: cam B found in the reference's sound, the others without sound.
    const QUuid referenceClip = QUuid::fromString(QString::fromStdString(project["tracks"][3]["clips"][0]["id"].get<std::string>()));
    editor->syncClips(referenceClip);
    ASSERT_TRUE(waitUntil([&] { return shell->editorView()->syncSheet() != nullptr; }));
    save(shell->editorView()->syncSheet(), "editor_sync_report");
    shell->editorView()->syncSheet()->accept();

    // The narrowest window, a transparent background and the selected clip hanging over the edge.
    Project transparent = editor->project();
    transparent.transparentBackground = true;
    transparent.tracks.back().isVisible = false;
    editor->setProject(transparent);
    editor->seek(3);
    editor->setPropertyValue(TransformProperty::position, editor->selectedClipID(), Vec2{1750, 950}, false);
    shell->window().resize(shell->window().minimumSize());
    settle();
    save(&shell->window(), "editor_narrowest");
}

}  // namespace
}  // namespace qm
