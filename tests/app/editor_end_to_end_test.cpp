// The Advanced Editor end to end in the real window: a project file written here over two clips
// ffmpeg makes opens through the window's routing; a clip dragged on the viewer moves by the
// pointer's way over the view scale in one undo step, and undo gives back the opened project;
// ProRes 422 goes out through the export sheet and a scripted save panel, ffprobe and ffmpeg read
// every frame, and the viewer's canvas matches ffmpeg's decode of the same frame.
#include "editor_window.h"

namespace qm {
namespace {

TEST_F(EditorEndToEnd, AHandWrittenProjectIsDraggedUndoneAndExportedToProRes) {
    // Bars at half size in the upper layer, over a moving gradient filling the canvas.
    const json bars = medium(dir / "bars.mov", "smptebars", 320, 180);
    const json ground = medium(dir / "ground.mov", "gradients=speed=0.05:seed=7", 320, 180);
    const json small = {{"anchor", still(xy(160, 90))}, {"position", still(xy(100, 60))}, {"scale", still(xy(50, 50))},
                        {"rotation", still(0)}, {"opacity", still(100)}};
    const json project =
        test::project_json::project(320, 180, {bars, ground}, {track("Layer 2", {clip(bars, small)}), track("Layer 1", {clip(ground)})});
    const fs::path file = dir / "Show.qmproj";
    test::writeFile(file, project.dump(2));

    shell->open({QUrl::fromLocalFile(qpath(file))});
    shell->show();
    ASSERT_TRUE(waitUntil([&] { return editor->projectURL() == qpath(file) && !editor->project().media.empty(); }));
    settle();
    ASSERT_TRUE(editor->importErrors().isEmpty()) << editor->importErrors().join('\n').toStdString();
    EXPECT_EQ(mode->mode(), AppMode::edit);
    EXPECT_TRUE(shell->editorView()->isVisible());
    const QByteArray opened = editor->project().encoded();
    const std::size_t steps = editor->undoCount();
    const QString barsID = QString::fromStdString(bars.at("id").get<std::string>());

    // Pressed on the bars' middle (nothing selected yet: the press selects the topmost clip there).
    SelectionOverlay* overlay = shell->editorView()->viewer()->overlay();
    const double scale = overlay->viewScale();
    ASSERT_GT(scale, 1) << "the canvas is shown larger than its pixels";
    const QPoint from = overlay->toView({100, 60}).toPoint();
    const QPoint by(37, -23);
    QTest::mousePress(overlay, Qt::LeftButton, {}, from);
    for (int i = 1; i <= 10; ++i) QTest::mouseMove(overlay, from + by * i / 10);
    QTest::mouseRelease(overlay, Qt::LeftButton, {}, from + by);
    const auto selected = editor->selectedClip();
    ASSERT_TRUE(selected);
    EXPECT_EQ(selected->mediaID.toString(QUuid::WithoutBraces).toUpper(), barsID);
    const Vec2 moved = editor->transform(selected->id)->position.value;
    EXPECT_EQ(moved.x, std::round(100 + by.x() / scale));
    EXPECT_EQ(moved.y, std::round(60 + by.y() / scale));
    EXPECT_EQ(editor->undoCount(), steps + 1);

    editor->undo();
    EXPECT_EQ(editor->project().encoded(), opened);
    editor->redo();
    EXPECT_EQ(editor->transform(selected->id)->position.value, moved);

    // Exported through the inspector's button, the sheet and the save panel.
    shell->editorView()->inspector()->exportButton()->click();
    ExportSheet* sheet = shell->editorView()->exportSheet();
    ASSERT_NE(sheet, nullptr);
    const int prores = sheet->formatPicker()->findData(int(OutputFormat::proRes422));
    ASSERT_GE(prores, 0);
    sheet->formatPicker()->setCurrentIndex(prores);
    emit sheet->formatPicker()->activated(prores);
    const fs::path movie = dir / "Show_ProRes422.mov";
    desktop.saveAnswers.push_back(qpath(movie));
    sheet->exportButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !editor->isExporting(); }));
    ASSERT_FALSE(editor->exportError()) << editor->exportError()->toStdString();
    ASSERT_EQ(editor->exportResult(), qpath(movie));
    EXPECT_EQ(desktop.saves.back().suggestedName, "Show_ProRes422.mov");

    const json stream = test::ffprobe(movie).at("streams").at(0);
    EXPECT_EQ(stream.at("codec_name"), "prores");
    EXPECT_EQ(stream.at("profile"), "Standard");
    EXPECT_EQ(stream.at("width"), 320);
    EXPECT_EQ(stream.at("height"), 180);
    EXPECT_EQ(stream.at("r_frame_rate"), "30/1");
    EXPECT_EQ(stream.at("nb_frames"), "30");
    const fs::path all = dir / "all.rgb";
    test::ffmpeg({"-i", movie.string(), "-f", "rawvideo", "-pix_fmt", "rgb24", all.string()});
    EXPECT_EQ(fs::file_size(all), 30u * 320 * 180 * 3) << "every frame decodes";

    // The canvas at 0.5 s without the selection drawn, against frame 15 scaled to the same size.
    sheet->doneButton()->click();
    editor->setSelectedClipID({});
    editor->seek(0.5);
    settle();
    ViewerView* viewer = shell->editorView()->viewer();
    const QRectF canvas = viewer->canvasRect();
    const QRect inside(QPoint(int(std::ceil(canvas.left())), int(std::ceil(canvas.top()))),
                       QPoint(int(std::floor(canvas.right())) - 1, int(std::floor(canvas.bottom())) - 1));
    const QImage shot = viewer->pictureArea()->grab(inside).toImage().convertToFormat(QImage::Format_RGB888);
    ASSERT_EQ(shot.size(), inside.size());
    std::string ours;
    for (int y = 0; y < shot.height(); ++y) ours.append(reinterpret_cast<const char*>(shot.constScanLine(y)), shot.width() * 3);
    const fs::path frame = dir / "frame.rgb";
    test::ffmpeg({"-i", movie.string(), "-vf",
                  "select=eq(n\\,15),scale=" + std::to_string(shot.width()) + ":" + std::to_string(shot.height()) +
                      ":in_color_matrix=bt709",
                  "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", frame.string()});
    const std::string theirs = test::readFile(frame);
    ASSERT_EQ(theirs.size(), ours.size());
    const double db = test::psnr(ours, theirs);
    EXPECT_GE(db, 30) << "canvas " << shot.width() << "x" << shot.height();
}

}  // namespace
}  // namespace qm
