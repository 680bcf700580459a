// The End Credits window end to end: a Word list written by python-docx and a picture go in
// through the window's routing, Export… runs through a scripted save panel, and ffmpeg decodes
// every frame of the movie.
#include "credits_window.h"

namespace qm {
namespace {

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

}  // namespace
}  // namespace qm
