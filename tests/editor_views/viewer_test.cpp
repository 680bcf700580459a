#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "editor/editor_key_monitor.h"
#include "editor/editor_model.h"
#include "editor/sync/timecode.h"
#include "editor/views/editor_view.h"
#include "editor/views/export_sheet.h"
#include "editor/views/inspector/inspector_view.h"
#include "editor/views/media_bin.h"
#include "editor/views/selection_overlay.h"
#include "editor/views/sync_report_sheet.h"
#include "editor/views/timeline/timeline_view.h"
#include "editor/views/viewer_view.h"
#include "editor_views/one_clip.h"
#include "platform/desktop/icons.h"
#include "platform/system/settings_store.h"
#include "support/qt_app.h"
#include "support/qt_events.h"

namespace qm {
namespace {

QImage solid(QColor c) {
    QImage image(64, 36, QImage::Format_RGBA8888);
    image.fill(c);
    return image;
}

struct Editor {
    bool widgets = (test::qtApp<QApplication>(), true);
    std::unique_ptr<EditorModel> model = test::editorWithPreview(solid(Qt::red));
    void addMedia() { test::addMediaClip(*model, 1280, 720, 4); }
    // The editor's view shown in a window of its own (which owns it).
    EditorView* showView(QWidget& window) {
        auto* view = new EditorView(*model, &window);
        window.resize(1400, 900);
        view->resize(1400, 900);
        window.show();
        return view;
    }
};

TEST(ViewerLayout, FittedCanvas) {
    struct Case {
        QSizeF area;
        int width, height;
        QSizeF expected;
    };
    const Case cases[] = {
        {{1000, 1000}, 1920, 1080, {1000, 562.5}},
        {{1000, 400}, 1920, 1080, {400 * 1920.0 / 1080, 400}},
        {{300, 300}, 100, 0, {300, 3}},  // height 0 counts as 1
        {{0, 0}, 1920, 1080, {1, 1}},
        {{500, 500}, 0, 1080, {1, 1}},
    };
    for (const Case& c : cases) {
        const QSizeF got = fittedCanvas(c.area, c.width, c.height);
        EXPECT_DOUBLE_EQ(got.width(), c.expected.width()) << c.width << "x" << c.height;
        EXPECT_DOUBLE_EQ(got.height(), c.expected.height()) << c.width << "x" << c.height;
    }
}

TEST(ViewerLayout, CheckerboardAnchoredAtTheCorner) {
    test::qtApp<QApplication>();
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::blue);
    {
        QPainter p(&image);
        paintCheckerboard(p, QRectF(3, 4, 25, 15));
    }
    const QRgb light = qRgb(204, 204, 204);
    const QRgb dark = qRgb(166, 166, 166);
    struct Probe {
        int x, y;
        QRgb colour;
    };
    const Probe probes[] = {
        {3, 4, dark},     {12, 13, dark},   {13, 4, light},   {23, 4, dark},  {27, 13, dark},
        {3, 14, light},   {13, 14, dark},   {22, 18, dark},   {23, 14, light}, {28, 4, qRgb(0, 0, 255)},
        {3, 19, qRgb(0, 0, 255)}, {2, 4, qRgb(0, 0, 255)},
    };
    for (const Probe& probe : probes)
        EXPECT_EQ(image.pixel(probe.x, probe.y), probe.colour) << probe.x << "," << probe.y;
}

TEST(ViewerLayout, ProjectText) {
    EXPECT_EQ(projectSizeText(1920, 1080, 30), QStringLiteral("1920×1080 · 30 fps"));
    EXPECT_EQ(projectSizeText(1280, 720, 29.97), QStringLiteral("1280×720 · 29.97 fps"));
}

TEST(ViewerLayout, LTCLines) {
    MediaItem item;
    item.id = QUuid::createUuid();
    item.name = QStringLiteral("cam A.mov");
    Project p;
    p.media.push_back(item);
    Clip known;
    known.mediaID = item.id;
    const Clip missing;  // its medium is not in the project
    LTCInfo pal;
    pal.nominalRate = 25;
    pal.measuredRate = 25;
    LTCInfo ntsc;
    ntsc.nominalRate = 30;
    ntsc.dropFrame = true;
    ntsc.measuredRate = 29.97;
    struct Case {
        Timecode timecode;
        const Clip* clip;
        const LTCInfo* info;
        LTCLines expected;
    };
    const Case cases[] = {
        {{1, 2, 3, 4, false}, &known, &pal, {"LTC 01:02:03:04", "cam A.mov · 25 fps"}},
        {{10, 0, 0, 2, true}, &known, &ntsc, {"LTC 10:00:00;02", "cam A.mov · 29.97 DF fps"}},
        {{0, 0, 0, 0, false}, &missing, &pal, {"LTC 00:00:00:00", " · 25 fps"}},
    };
    for (const Case& c : cases) EXPECT_EQ(ltcLines(p, c.timecode, *c.clip, *c.info), c.expected) << c.expected.timecode.toStdString();
}

TEST(ViewerView, PromptTransportAndPicture) {
    Editor e;
    ViewerView viewer(*e.model);
    viewer.resize(800, 500);
    viewer.show();
    QApplication::processEvents();
    EXPECT_TRUE(viewer.prompt()->isVisible());
    EXPECT_EQ(viewer.prompt()->text(), QStringLiteral("Import media and drag it onto the timeline"));
    EXPECT_FALSE(viewer.banner()->isVisible());
    EXPECT_EQ(viewer.timecodeLabel()->text(), QStringLiteral("00:00:00:00"));
    EXPECT_FALSE(viewer.ltcBlock()->isVisible());  // nothing under the playhead has LTC
    for (QToolButton* b : viewer.transportButtons()) EXPECT_EQ(b->focusPolicy(), Qt::NoFocus);

    e.addMedia();  // the prompt goes before anything is on the timeline
    EXPECT_FALSE(viewer.prompt()->isVisible());
    e.model->setIsPickingKeyColor(true);
    EXPECT_TRUE(viewer.banner()->isVisible());
    auto* symbol = viewer.banner()->findChild<QLabel*>(QStringLiteral("symbol"));
    ASSERT_NE(symbol, nullptr);
    EXPECT_EQ(symbol->pixmap().toImage(), symbolPixmap(QStringLiteral("eyedropper"), 16, Qt::white).toImage());
    EXPECT_EQ(viewer.playButton()->width(), 28);
    e.model->setIsPickingKeyColor(false);

    e.model->seek(1.5);
    EXPECT_EQ(viewer.timecodeLabel()->text(), QStringLiteral("00:00:01:15"));
    viewer.transportButtons().at(0)->click();
    EXPECT_DOUBLE_EQ(e.model->playhead(), 0);
    viewer.transportButtons().at(3)->click();
    EXPECT_NEAR(e.model->playhead(), 1.0 / 30, 1e-9);

    // Black canvas before any preview (the drawn preview: OpaquePictureAndSurroundCoverEveryPixel).
    e.model->setSelectedClipID({});
    const QImage shot = viewer.pictureArea()->grab().toImage();
    EXPECT_EQ(shot.pixel(viewer.canvasRect().center().toPoint()), qRgb(0, 0, 0));
}

TEST(ViewerView, OpaquePictureAndSurroundCoverEveryPixel) {
    // Only the surround is painted grey and nothing under an opaque picture: every pixel of the
    // area must still be painted, at canvas sizes with fractional edges too.
    test::qtApp<QApplication>();
    QImage opaque(64, 36, QImage::Format_RGBX8888);
    opaque.fill(Qt::red);
    const auto model = test::editorWithPreview(opaque);
    test::addMediaClip(*model, 1280, 720, 4);
    model->setSelectedClipID({});
    ViewerView viewer(*model);
    viewer.show();
    model->requestRender();
    ASSERT_TRUE(test::waitUntil([&] { return !model->previewImage().isNull(); }));
    for (QSize size : {QSize(800, 500), QSize(801, 517), QSize(640, 700)}) {
        viewer.resize(size);
        QApplication::processEvents();
        QWidget* area = viewer.pictureArea();
        QImage shot(area->size(), QImage::Format_RGB32);
        shot.fill(Qt::green);
        area->render(&shot);
        const QRectF canvas = viewer.canvasRect();
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) {
                const QRgb want = canvas.contains(QPointF(x + 0.5, y + 0.5)) ? qRgb(255, 0, 0) : qRgb(20, 20, 20);
                ASSERT_EQ(shot.pixel(x, y), want) << x << "," << y << " in " << size.width() << "x" << size.height();
            }
    }
}

TEST(ViewerView, HandlesHangingOverTheCanvasEdgeAreDrawnAndGrabbed) {
    Editor e;
    e.addMedia();  // 1280 × 720 filling the 1920 × 1080 canvas, selected
    const QUuid clip = e.model->selectedClipID();
    e.model->setPropertyValue(TransformProperty::position, clip, Vec2{940, 520}, false);  // 20 px up and left
    ViewerView viewer(*e.model);
    viewer.resize(800, 500);
    viewer.show();
    QApplication::processEvents();
    const QPointF corner = viewer.overlay()->selectionOutline()->first[0];
    ASSERT_FALSE(viewer.canvasRect().contains(corner));
    EXPECT_EQ(viewer.pictureArea()->grab().toImage().pixel(corner.toPoint()), qRgb(255, 255, 255)) << "the handle is drawn";

    QWidget* under = viewer.pictureArea()->childAt(corner.toPoint());
    ASSERT_EQ(under, viewer.overlay());
    const QPoint at = corner.toPoint();
    QTest::mousePress(under, Qt::LeftButton, {}, at);
    QTest::mouseMove(under, at - QPoint(20, 20));
    QTest::mouseRelease(under, Qt::LeftButton, {}, at - QPoint(20, 20));
    EXPECT_GT(e.model->transform(clip)->scale.value.x, 100) << "the corner was grabbed and dragged outward";
    EXPECT_EQ(e.model->selectedClipID(), clip);
}

TEST(EditorView, LayoutAndComingOnScreen) {
    Editor e;
    QWidget window;
    EditorView* view = e.showView(window);
    QApplication::processEvents();
    EXPECT_EQ(view->mediaBin()->width(), 240);
    EXPECT_EQ(view->inspector()->width(), 330);
    EXPECT_GE(view->splitter()->widget(0)->height(), 320);
    EXPECT_GE(view->timeline()->height(), 200);
    EXPECT_TRUE(view->keyMonitor().isStarted());

    e.addMedia();
    e.model->play();
    view->hide();
    EXPECT_FALSE(view->keyMonitor().isStarted());
    EXPECT_FALSE(e.model->isPlaying());
    view->show();
    EXPECT_TRUE(view->keyMonitor().isStarted());
    EXPECT_TRUE(e.model->isRendering() || e.model->renderPending() || !e.model->previewImage().isNull());
}

TEST(EditorView, AlertAndCapsuleTexts) {
    EXPECT_EQ(EditorView::packagingText(3, 7), QString::fromUtf8("Packaging… 3 of 7 files"));
    EXPECT_EQ(EditorView::packageMessage("/out/Show.qmpack", {}),
              "Show.qmpack holds the project and all its media. Move the whole package to another computer and open "
              "it there.");
    EXPECT_TRUE(EditorView::packageMessage("/out/Show.qmpack", {"a.mov", "b.wav"})
                    .endsWith("couldn't be found and weren't copied: a.mov, b.wav"));
}

TEST(EditorView, ImportErrorsAlertClearsTheListHoweverItCloses) {
    Editor e;
    QWidget window;
    EditorView* view = e.showView(window);
    e.model->importFiles({QStringLiteral("/nonexistent/a.mov")});
    ASSERT_TRUE(test::waitUntil([&] { return view->importAlert() != nullptr; }));
    EXPECT_EQ(view->importAlert()->text(), "Some files couldn't be used");
    EXPECT_EQ(view->importAlert()->informativeText(), e.model->importErrors().join('\n'));
    EXPECT_FALSE(view->importAlert()->informativeText().endsWith('\n'));
    view->importAlert()->reject();  // closed without its button
    EXPECT_EQ(view->importAlert(), nullptr);
    EXPECT_TRUE(e.model->importErrors().isEmpty());

    // A save that fails says so in its own words.
    QTemporaryDir folder;
    QDir().mkpath(folder.filePath("gone"));
    QFile file(folder.filePath("gone/p.qmproj"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(Project().encoded()) > 0);
    file.close();
    auto opened = e.model->openProject(file.fileName());
    ASSERT_TRUE(test::waitUntil([&] { return opened.isFinished(); }));
    QDir(folder.filePath("gone")).removeRecursively();
    EXPECT_FALSE(e.model->saveProject());
    ASSERT_NE(view->importAlert(), nullptr);
    EXPECT_EQ(view->importAlert()->text(), "The project couldn't be saved");
}

TEST(EditorView, TheInspectorsSyncShowsItsReportUntilClosed) {
    Editor e;
    e.addMedia();
    QWidget window;
    EditorView* view = e.showView(window);
    // The only clip is the reference: nothing else to sync, which still ends in a report.
    emit view->inspector()->syncRequested(e.model->selectedClipID());
    ASSERT_TRUE(test::waitUntil([&] { return view->syncSheet() != nullptr; }));
    EXPECT_TRUE(e.model->syncReport().has_value());
    view->syncSheet()->reject();  // closed without its button
    EXPECT_EQ(view->syncSheet(), nullptr);
    EXPECT_FALSE(e.model->syncReport().has_value());
}

TEST(EditorView, AReportArrivingWhileOneIsUpReplacesIt) {
    Editor e;
    e.addMedia();
    const QUuid reference = e.model->selectedClipID();
    QWidget window;
    EditorView* view = e.showView(window);
    emit view->inspector()->syncRequested(reference);
    ASSERT_TRUE(test::waitUntil([&] { return view->syncSheet() != nullptr; }));
    QPointer<QDialog> first = view->syncSheet();

    // Another medium on the timeline, synced again before the first report is closed.
    test::addMediaClip(*e.model, 1280, 720, 4);
    emit view->inspector()->syncRequested(reference);
    ASSERT_TRUE(test::waitUntil([&] { return view->syncSheet() != first.data(); }));
    ASSERT_NE(view->syncSheet(), nullptr);
    ASSERT_TRUE(e.model->syncReport().has_value());
    ASSERT_EQ(e.model->syncReport()->entries.size(), 1u);
    EXPECT_EQ(static_cast<SyncReportSheet*>(view->syncSheet())->summaryLabel()->text(),
              syncSummaryText(*e.model->syncReport()));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());
    view->syncSheet()->reject();
    EXPECT_FALSE(e.model->syncReport().has_value());
}

TEST(EditorView, TheInspectorsExportOpensTheSheetAndLeavingClosesIt) {
    QTemporaryDir settings;
    SettingsStore::setStorageFolder(settings.path());
    Editor e;
    e.addMedia();  // an empty timeline has nothing to export
    QWidget window;
    EditorView* view = e.showView(window);
    view->inspector()->exportButton()->click();
    ASSERT_NE(view->exportSheet(), nullptr);
    EXPECT_TRUE(view->exportSheet()->isVisible());
    EXPECT_EQ(view->exportSheet()->windowModality(), Qt::WindowModal);
    view->hide();  // the window shows another mode
    EXPECT_EQ(view->exportSheet(), nullptr);
}

TEST(EditorView, AnAlertWhileASheetIsUpComesOverTheSheetAndOutlivesIt) {
    QTemporaryDir settings;
    SettingsStore::setStorageFolder(settings.path());
    Editor e;
    e.addMedia();
    QWidget window;
    EditorView* view = e.showView(window);
    const auto failImport = [&] {
        e.model->importFiles({QStringLiteral("/nonexistent/a.mov")});
        return test::waitUntil([&] { return view->importAlert() != nullptr; });
    };

    view->inspector()->exportButton()->click();
    ASSERT_NE(view->exportSheet(), nullptr);
    ASSERT_TRUE(failImport());
    QPointer<QMessageBox> alert = view->importAlert();
    EXPECT_EQ(alert->parentWidget(), view->exportSheet());
    EXPECT_EQ(alert->windowModality(), Qt::WindowModal);
    view->exportSheet()->dismiss();  // taken away under the alert
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(alert.isNull());
    EXPECT_EQ(alert->parentWidget(), &window);
    EXPECT_TRUE(alert->isVisible());
    alert->reject();
    EXPECT_TRUE(e.model->importErrors().isEmpty());

    emit view->inspector()->syncRequested(e.model->selectedClipID());
    ASSERT_TRUE(test::waitUntil([&] { return view->syncSheet() != nullptr; }));
    ASSERT_TRUE(failImport());
    EXPECT_EQ(view->importAlert()->parentWidget(), view->syncSheet());
    view->importAlert()->reject();
}

}  // namespace
}  // namespace qm
