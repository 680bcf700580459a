// The panel around the drags: ruler and lane clicks, drops, layer headers, toolbar state, the
// measured viewport width, a long project at high zoom, and a look at the panel.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QSlider>
#include <QToolButton>

#include "editor/views/timeline/track_header.h"
#include "timeline_test_support.h"

namespace qm {
namespace {

using test::Timeline;

TEST(TimelinePanel, RulerAndLaneClicksSeek) {
    Timeline t({{{0, 20}}, {{5, 4}}});
    t.drag(QPointF(132, 10), {{60, 0}});  // ruler press at 2 s, dragged to 3 s
    EXPECT_DOUBLE_EQ(t.editor->playhead(), 3);
    t.click(QPointF(-100 + 12, 10));  // left of time 0
    EXPECT_DOUBLE_EQ(t.editor->playhead(), 0);
    t.editor->setSelectedClipID(t.clip(1, 0).id);
    t.click(QPointF(132, 26 + 57 + 20));  // the second lane's empty part at 2 s
    EXPECT_TRUE(t.editor->selectedClipID().isNull());
    EXPECT_DOUBLE_EQ(t.editor->playhead(), 2);
    EXPECT_EQ(t.editor->undoCount(), 0u);
}

TEST(TimelinePanel, RulerLabelsAreNeitherUnderTheRestingPlayheadNorCutAtTheEnd) {
    // 8.25 s of clip: the content ends 38.25 s after its start, a quarter second (15 points at
    // 60 pps) past the last major tick at 0:38, too little room for its label.
    Timeline t({{{0, 8.25}}});
    ASSERT_EQ(t.editor->pixelsPerSecond(), 60);
    const auto rulerText = [](const QImage& image, int from, int to, const QColor& ground) {
        QList<QPoint> ink;
        for (int y = 0; y < 15; ++y)
            for (int x = from; x < to; ++x)
                if (image.pixelColor(x, y) != ground) ink.append(QPoint(x, y));
        return ink;
    };
    // The label 0:00 is all there with the playhead resting on its tick.
    t.editor->seek(5);
    const QImage away = t.content()->grab().toImage();
    const QColor ground = away.pixelColor(t.content()->toWidget(QPointF(80, 5)).toPoint());
    const int zero = int(t.content()->toWidget(QPointF(12, 0)).x());
    const QList<QPoint> label = rulerText(away, zero, zero + 45, ground);
    ASSERT_FALSE(label.isEmpty());
    t.editor->seek(0);
    const QImage resting = t.content()->grab().toImage();
    for (const QPoint& p : label) EXPECT_EQ(resting.pixelColor(p), away.pixelColor(p)) << p.x() << "," << p.y();

    // At the end: no part of a label after the last tick.
    QScrollBar* bar = t.view->horizontalBar();
    bar->setValue(bar->maximum());
    QApplication::processEvents();
    const QImage end = t.content()->grab().toImage();
    const int last = int(t.content()->toWidget(QPointF(12 + 38 * 60, 0)).x());
    EXPECT_EQ(int(t.content()->toWidget(QPointF(t.content()->geometry().contentWidth(), 0)).x()), last + 15);
    EXPECT_TRUE(rulerText(end, last + 1, end.width(), ground).isEmpty());
}

void drop(Timeline& t, QPointF at, const QString& text) {
    QMimeData data;
    data.setText(text);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(t.content(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent e(at, Qt::CopyAction, &data, Qt::LeftButton, {});
    static_cast<QObject*>(t.content())->event(&e);
    EXPECT_TRUE(e.isAccepted());
}

TEST(TimelinePanel, DropsAddClipsOfMediaIds) {
    Timeline t(test::Layers{{}, {}});
    t.editor->seek(0);
    const QString id = t.media.toString(QUuid::WithoutBraces);
    const double lane1 = 26 + 57 + 20;
    drop(t, QPointF(12 + 60 * 0.0 + 3, lane1), id.toUpper());  // 3 points from the playhead: snaps
    ASSERT_EQ(t.editor->project().tracks[1].clips.size(), 1u);
    EXPECT_DOUBLE_EQ(t.clip(1, 0).start, 0);
    drop(t, QPointF(12 + 60 * 30 + 10, 46), id.toLower() + u'\n' + id.toUpper());  // two ids, 10 points off
    ASSERT_EQ(t.editor->project().tracks[0].clips.size(), 2u);
    EXPECT_NEAR(t.clip(0, 0).start, 30 + 10.0 / 60, 1.0 / 60);
    EXPECT_EQ(t.clip(0, 0).start, t.clip(0, 1).start);
    EXPECT_EQ(t.editor->selectedClipID(), t.clip(0, 1).id);
    const std::size_t undo = t.editor->undoCount();
    drop(t, QPointF(200, 46), QStringLiteral("not an id"));
    EXPECT_EQ(t.editor->undoCount(), undo);
    t.editor->undo();
    t.editor->undo();
    EXPECT_TRUE(t.editor->project().tracks[0].clips.empty());
}

TEST(TimelinePanel, LayerHeaders) {
    Timeline t({{{1, 4}}, {}, {}});
    const auto& tracks = [&]() -> const std::vector<Track>& { return t.editor->project().tracks; };
    const QUuid third = tracks()[2].id, second = tracks()[1].id;
    std::unique_ptr<QMenu> menu(t.view->header(third)->layerMenu(nullptr));
    ASSERT_FALSE(menu->actions()[1]->isEnabled());  // the last layer cannot move down
    menu->actions()[0]->trigger();                   // up: swaps with index 1
    EXPECT_EQ(tracks()[1].id, third);
    EXPECT_EQ(tracks()[2].id, second);
    t.editor->undo();
    EXPECT_EQ(tracks()[2].id, third);

    // Rename: Return commits one step; the same name none; abandoned text stays local.
    QLineEdit* name = t.view->header(second)->nameField();
    const std::size_t undo = t.editor->undoCount();
    name->setText(QStringLiteral("Titles"));
    QTest::keyClick(name, Qt::Key_Return);
    EXPECT_EQ(tracks()[1].name, "Titles");
    QTest::keyClick(name, Qt::Key_Return);
    EXPECT_EQ(t.editor->undoCount(), undo + 1);
    name->setText(QStringLiteral("Draft"));
    EXPECT_EQ(tracks()[1].name, "Titles");
    t.editor->undo();
    EXPECT_EQ(t.view->header(second)->nameField()->text(), "Layer 2");

    // Visibility and audio flip and undo; the disclosure is no step and leaves the project clean.
    t.view->header(second)->visibilityButton()->click();
    t.view->header(second)->audioButton()->click();
    EXPECT_FALSE(tracks()[1].isVisible);
    EXPECT_FALSE(tracks()[1].isAudioEnabled);
    t.editor->setIsDirty(false);
    const std::size_t before = t.editor->undoCount();
    t.view->header(second)->disclosureButton()->click();
    EXPECT_TRUE(t.editor->expandedTracks().contains(second));
    EXPECT_EQ(t.editor->undoCount(), before);
    EXPECT_FALSE(t.editor->isDirty());

    // Delete down to one layer (what the last delete leaves is EditorState.LayerCommands').
    while (tracks().size() > 1)
        std::unique_ptr<QMenu>(t.view->header(tracks()[0].id)->layerMenu(nullptr))->actions()[3]->trigger();
    std::unique_ptr<QMenu> last(t.view->header(tracks()[0].id)->layerMenu(nullptr));
    EXPECT_FALSE(last->actions()[0]->isEnabled());
    EXPECT_FALSE(last->actions()[1]->isEnabled());
}

TEST(TimelinePanel, ToolbarFollowsSelectionAndSync) {
    Timeline t;
    const auto enabled = [&](const char* label) { return t.view->button(QString::fromLatin1(label))->isEnabled(); };
    for (const char* always : {"Add Layer", "Split", "Graph Editor"}) EXPECT_TRUE(enabled(always)) << always;
    for (const char* needs : {"Duplicate", "Delete", "Sync to Selected"}) EXPECT_FALSE(enabled(needs)) << needs;
    t.editor->setSelectedClipID(t.clip(0, 0).id);
    for (const char* needs : {"Duplicate", "Delete", "Sync to Selected"}) EXPECT_TRUE(enabled(needs)) << needs;
    t.editor->setSyncStatus(QStringLiteral("Matching sound…"));
    EXPECT_FALSE(t.view->button(QStringLiteral("Sync to Selected"))->isVisibleTo(t.view.get()));
    std::unique_ptr<QMenu> menu(t.content()->clipMenu(t.clip(0, 0).id, nullptr));
    EXPECT_FALSE(menu->actions()[3]->isEnabled());
    t.editor->setSyncStatus(std::nullopt);
    EXPECT_TRUE(t.view->button(QStringLiteral("Sync to Selected"))->isVisibleTo(t.view.get()));
    // The graph editor fills the visible height below the ruler, less 16, and at least 200.
    t.view->button(QStringLiteral("Graph Editor"))->click();
    ASSERT_TRUE(t.editor->showGraphEditor());
    EXPECT_EQ(t.view->graphHeight(), std::max(200.0, t.view->visibleHeight() - 42));
    EXPECT_EQ(t.content()->height(), int(std::ceil(t.view->graphHeight())) + 26);
    t.view->resize(1600, 200);
    QApplication::processEvents();
    EXPECT_EQ(t.view->graphHeight(), 200);
    // Zoom: the slider's ends are exactly 4 and 800.
    t.view->zoomSlider()->setValue(t.view->zoomSlider()->maximum());
    EXPECT_EQ(t.editor->pixelsPerSecond(), 800);
    t.view->zoomSlider()->setValue(t.view->zoomSlider()->minimum());
    EXPECT_EQ(t.editor->pixelsPerSecond(), 4);
}

TEST(TimelinePanel, SoundClipsDrawTheirWaveformOnceAnalysed) {
    Timeline t;
    Project p = t.editor->project();
    p.media[0].width = p.media[0].height = 0;  // sound only
    t.editor->setProject(p);
    const QRectF r = t.content()->geometry().clipRect(t.clip(0, 0), 0);
    // Column 50 at 60 pps reads peak 83 of the test's ramp: a bar reaching 2 points below the band's top.
    const QPoint probe = t.content()->toWidget(QPointF(r.left() + 50.5, r.top() + 31 + 2)).toPoint();
    const QColor before = t.content()->grab().toImage().pixelColor(probe);
    t.editor->enqueueAnalysis(t.media);
    ASSERT_TRUE(test::waitUntil([&] { return t.editor->waveforms().contains(t.media); }));
    QApplication::processEvents();
    const QColor after = t.content()->grab().toImage().pixelColor(probe);
    EXPECT_GT(after.lightness(), before.lightness() + 40);
}

TEST(TimelinePanel, ViewportWidthOncePerWidthAndLongProjects) {
    Timeline t({{{0, 10}, {36000 - 10, 10}}});
    int reports = 0;
    QObject::connect(t.editor.get(), &EditorModel::timelineViewportWidthChanged, [&] { ++reports; });
    for (int w : {1200, 1200, 1000, 1000, 1200}) {
        t.view->resize(w, 600);
        QApplication::processEvents();
    }
    EXPECT_EQ(reports, 3);
    EXPECT_EQ(t.editor->timelineViewportWidth(), t.content()->width());
    // Ten hours at 800 pps is wider than any widget; the scroll bar still reaches the last clip.
    t.editor->setPixelsPerSecond(800);
    QScrollBar* bar = t.view->horizontalBar();
    const QRectF last = t.content()->geometry().clipRect(t.clip(0, 1), 0);
    bar->setValue(bar->maximum());
    EXPECT_EQ(bar->maximum() + t.content()->width(), (36000 + 30) * 800 + 12);
    bar->setValue(int(last.left()) - 100);
    const QPointF seen = t.content()->toWidget(QPointF(last.left() + 100, last.center().y()));
    EXPECT_GT(seen.x(), 0);
    EXPECT_LT(seen.x(), t.content()->width());
    const QImage shown = t.content()->grab().toImage();
    EXPECT_NE(shown.pixelColor(seen.toPoint()), shown.pixelColor(seen.toPoint() - QPoint(0, 30)));
    t.click(seen);
    EXPECT_EQ(t.editor->selectedClipID(), t.clip(0, 1).id);

    // A clip absurdly far away (no project file opens so; an edit may put one there) and the
    // playhead at it paint with every pixel position in int range (the sanitizer tree checks).
    Timeline far({{{0, 10}, {1e12, 10}}});
    far.editor->setPixelsPerSecond(800);
    far.editor->seek(1e12);
    far.view->horizontalBar()->setValue(far.view->horizontalBar()->maximum());
    EXPECT_FALSE(far.content()->grab().isNull());
}

}  // namespace
}  // namespace qm
