#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QPromise>
#include <QTest>

#include "editor/editor_model.h"
#include "editor/model/composition_renderer.h"
#include "editor/views/selection_overlay.h"
#include "editor_views/one_clip.h"
#include "support/qt_app.h"

namespace qm {
namespace {

// A 1920 × 1080 project with one 1280 × 720 clip from 0 to 10 s, shown at half size.
class Overlay : public ::testing::Test {
protected:
    void SetUp() override {
        test::qtApp<QApplication>();
        editor = test::editorWithPreview(QImage(4, 4, QImage::Format_RGBA8888));
        clip = test::addMediaClip(*editor, 1280, 720, 10);
        editor->setSelectedClipID({});
        editor->setIsDirty(false);
        opened = editor->project();
        undoSteps = editor->undoCount();
        overlay = std::make_unique<SelectionOverlay>(*editor);
        overlay->resize(960, 540);
    }
    void send(QEvent::Type type, QPointF at, Qt::KeyboardModifiers modifiers = {}) {
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::MouseButtons(Qt::NoButton) : Qt::MouseButtons(Qt::LeftButton);
        QMouseEvent event(type, at, overlay->mapToGlobal(at), button, buttons, modifiers);
        QApplication::sendEvent(overlay.get(), &event);
    }
    void drag(QPointF from, QPointF by, int steps = 1, Qt::KeyboardModifiers modifiers = {}) {
        send(QEvent::MouseButtonPress, from);
        for (int i = 1; i <= steps; ++i) send(QEvent::MouseMove, from + by * i / steps, modifiers);
        send(QEvent::MouseButtonRelease, from + by);
    }
    ClipTransform transform() { return *editor->transform(clip); }

    std::unique_ptr<EditorModel> editor;
    std::unique_ptr<SelectionOverlay> overlay;
    QUuid clip;
    Project opened;
    std::size_t undoSteps = 0;
};

TEST_F(Overlay, OutlineMatchesTheRenderersCorners) {
    EXPECT_FALSE(overlay->selectionOutline());
    editor->setSelectedClipID(clip);
    const auto outline = overlay->selectionOutline();
    ASSERT_TRUE(outline);
    Clip placed = *editor->clip(clip);
    placed.transform = transform();
    const auto corners = clipLayerTransform(placed, editor->project().media[0], 0, 1920, 1080);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_NEAR(outline->first[i].x(), corners[i].x() * 0.5, 1e-9);
        EXPECT_NEAR(outline->first[i].y(), corners[i].y() * 0.5, 1e-9);
    }
    EXPECT_NEAR(outline->second.x(), 480, 1e-9);
    EXPECT_NEAR(outline->second.y(), 270, 1e-9);

    // Over a white picture the anchor's white cross hair shows by its shadow, just past its ends.
    QImage shown(overlay->size(), QImage::Format_RGB32);
    shown.fill(Qt::white);
    overlay->render(&shown);
    for (const QPoint beyond : {QPoint(490, 270), QPoint(470, 270), QPoint(480, 280), QPoint(480, 260)})
        EXPECT_LT(qGray(shown.pixel(beyond)), 248) << beyond.x() << "," << beyond.y();
}

TEST_F(Overlay, ClickSelectsWithoutAStepAndEmptyCanvasClears) {
    drag({480, 270}, {0, 0}, 0);
    EXPECT_EQ(editor->selectedClipID(), clip);
    EXPECT_EQ(editor->project(), opened) << "whole pixels already: the click changes nothing";
    EXPECT_EQ(editor->undoCount(), undoSteps);
    EXPECT_FALSE(editor->isDirty());
    editor->setPropertyValue(TransformProperty::position, clip, Vec2{4000, 4000}, false);
    drag({480, 270}, {0, 0}, 0);
    EXPECT_TRUE(editor->selectedClipID().isNull()) << "empty canvas clears the selection";
    editor->setIsPickingKeyColor(true);
    editor->setSelectedClipID({});
    drag({480, 270}, {0, 0}, 0);
    EXPECT_TRUE(editor->selectedClipID().isNull()) << "the eyedropper selects nothing";

    // A pick that outlasts its moment shows the busy cursor until it ends, hovering or not.
    QPromise<void> pick;
    pick.start();
    overlay->showBusyWhile(pick.future());
    EXPECT_TRUE(QTest::qWaitFor([&] { return overlay->cursor().shape() == Qt::BusyCursor; }));
    send(QEvent::MouseMove, {100, 100});
    EXPECT_EQ(overlay->cursor().shape(), Qt::BusyCursor);
    pick.finish();
    EXPECT_TRUE(QTest::qWaitFor([&] { return overlay->cursor().shape() != Qt::BusyCursor; }));
}

TEST_F(Overlay, ThirtyMovesAreOneStepAndUndoRestores) {
    drag({400, 200}, {30, 12}, 30);
    const Vec2 p = transform().position.value;
    EXPECT_EQ(p.x, 960 + 60);
    EXPECT_EQ(p.y, 540 + 24);
    EXPECT_EQ(editor->undoCount(), undoSteps + 1);
    EXPECT_TRUE(editor->isDirty());
    editor->undo();
    EXPECT_EQ(editor->project().tracks, opened.tracks);

    drag({400, 200}, {30, 12}, 3, Qt::ShiftModifier);  // mostly sideways: only x moves
    EXPECT_EQ(transform().position.value.x, 960 + 60);
    EXPECT_EQ(transform().position.value.y, 540);
}

TEST_F(Overlay, CornerHandleScalesAndOutsideACornerRotates) {
    editor->setSelectedClipID(clip);
    const auto corners = overlay->selectionOutline()->first;
    // Bottom-right handle outward by a tenth of the half-diagonal: uniform 110 %.
    const QPointF br = corners[2];
    drag(br, (br - QPointF(480, 270)) * 0.1);
    EXPECT_NEAR(transform().scale.value.x, 110, 0.05);
    EXPECT_NEAR(transform().scale.value.y, 110, 0.05);
    editor->undo();

    // Just outside the top-right corner, swept a quarter turn about the centre.
    editor->setSelectedClipID(clip);
    const QPointF tr = overlay->selectionOutline()->first[1] + QPointF(-8, -8);
    ASSERT_EQ(overlay->hitTest(tr)->mode, SelectionOverlay::Mode::rotate);
    const QPointF v = tr - QPointF(480, 270);
    drag(tr, QPointF(480, 270) + QPointF(-v.y(), v.x()) - tr, 5);
    EXPECT_NEAR(transform().rotation.value, 90, 0.05);
    EXPECT_EQ(editor->undoCount(), undoSteps + 1);
}

TEST_F(Overlay, NoSizeNoEdits) {
    overlay->resize(0, 0);
    drag({0, 0}, {10, 10}, 3);
    EXPECT_TRUE(editor->selectedClipID().isNull());
    EXPECT_EQ(editor->project(), opened);
}

}  // namespace
}  // namespace qm
