// Clip drags with pointer events on a real model: where they land, their limits, and that each
// whole drag is one undo step that restores the project byte for byte, a drag that changes
// nothing none.

#include <gtest/gtest.h>

#include <QHelpEvent>
#include <QToolTip>

#include "timeline_test_support.h"

namespace qm {
namespace {

using test::Timeline;

// Runs one drag and checks it made exactly one undo step that restores the project.
void expectOneStep(Timeline& t, const std::function<void()>& drag) {
    const QByteArray before = t.editor->project().encoded();
    const std::size_t undo = t.editor->undoCount();
    drag();
    ASSERT_EQ(t.editor->undoCount(), undo + 1);
    EXPECT_TRUE(t.editor->isDirty());
    t.editor->undo();
    EXPECT_EQ(t.editor->project().encoded(), before);
}

TEST(TimelineDrag, MoveChangesLayerByRoundedRows) {
    // Rows: 40 → 0.70 (down), 28 → 0.49 (stays), 29 → 0.51 (down), −29 → −0.51 (up); pointer
    // positions are whole points, so the exact half is checked on the arithmetic.
    for (auto [dy, rows] : {std::pair{40.0, 1}, {28.0, 0}, {29.0, 1}, {-28.5, -1}, {28.5, 1}, {-28.0, 0}})
        EXPECT_EQ(timeline::layerRows(dy), rows) << dy;
    struct Case {
        std::size_t from;
        double dy;
        std::size_t to;
    } cases[] = {{1, 40, 2}, {1, 29, 2}, {1, -29, 0}, {1, 400, 2}, {1, -400, 0}, {1, 28, 1}};
    for (const Case& c : cases) {
        Timeline t({{{12, 2}}, {{1, 4}}, {{14, 2}}});
        const QUuid id = t.clip(1, 0).id;
        const auto drag = [&] {
            t.drag(t.on(1, 0, 30), {{2, c.dy / 2}, {4, c.dy}});
            const auto at = t.editor->project().clipLocation(id);
            ASSERT_TRUE(at);
            EXPECT_EQ(at->track, c.to) << c.dy;
            EXPECT_DOUBLE_EQ(t.editor->clip(id)->start, 1);  // mainly vertical: the time stays
            EXPECT_EQ(t.editor->selectedClipID(), id);
        };
        if (c.to == c.from) {
            drag();  // back where it was: no step
            EXPECT_EQ(t.editor->undoCount(), 0u);
        } else {
            expectOneStep(t, drag);
        }
    }
}

TEST(TimelineDrag, MoveSnapsByTheStartNotTheEndAlone) {
    // pps 60: 8 points are 0.133 s. The other clip ends at 6.
    struct Case {
        double dx, start;
    } cases[] = {
        {60 * 1.1, 6},          // start 6.1 → the other clip's end (which targets win: the model's snapTime)
        {-600, 0},              // past 0
        {30, 5.5},              // 0.5 s short of the edge: stays where the pointer puts it
    };
    for (const Case& c : cases) {
        Timeline t({{{1, 5}}, {{5, 3}}});
        const QUuid id = t.clip(1, 0).id;
        t.drag(t.on(1, 0, 30), {{c.dx / 2, 0}, {c.dx, 0}});
        EXPECT_NEAR(t.editor->clip(id)->start, c.start, 1e-9) << c.dx;
    }
    // A move whose end alone comes near a target keeps the pointer's time.
    Timeline t({{{10, 2}}, {{1, 4}}});
    const QUuid id = t.clip(1, 0).id;
    t.drag(t.on(1, 0, 30), {{60 * 5.1, 0}});  // end 10.1 near 10, start 6.1 near nothing
    EXPECT_NEAR(t.editor->clip(id)->start, 6.1, 1e-9);
}

TEST(TimelineDrag, MoveSnapsByTheStartAtTimesInexactInBinary) {
    // A 3 s clip at 5 s; the other layer's clip ends at 3.0. Every drag from −115 to −127 points
    // puts the start within 8 points (0.133 s) of 3.0 and the end (5.9 … 6.1) near nothing.
    for (int dx = -115; dx >= -127; --dx) {
        Timeline t({{{1, 2}}, {{5, 3}}});
        const QUuid id = t.clip(1, 0).id;
        t.drag(t.on(1, 0, 30), {{dx / 2.0, 0}, {double(dx), 0}});
        EXPECT_DOUBLE_EQ(t.editor->clip(id)->start, 3.0) << dx;
    }
    // −129 points: start 0.85, 0.05 after an end at 0.8; its end 1.85, 0.05 before a start at 1.9.
    // A tie, which the start wins; −128 (0.8667) puts the end nearer and −130 the start.
    for (auto [dx, start] : {std::pair{-129.0, 0.8}, {-128.0, 0.9}, {-130.0, 0.8}}) {
        Timeline t({{{0.2, 0.6}, {1.9, 1}}, {{3, 1}}});
        const QUuid id = t.clip(1, 0).id;
        t.drag(t.on(1, 0, 30), {{dx, 0}});
        EXPECT_NEAR(t.editor->clip(id)->start, start, 1e-9) << dx;
    }
}

TEST(TimelineDrag, ClickSelectsAndNoOpDragsRecordNothing) {
    Timeline t;
    const QUuid id = t.clip(0, 0).id;
    const std::size_t undo = t.editor->undoCount();
    t.drag(t.on(0, 0, 40), {{2, 0}});  // under 3 points: a click
    EXPECT_EQ(t.editor->selectedClipID(), id);
    EXPECT_EQ(t.editor->undoCount(), undo);
    // Away and back, and a trim pushed against its limit: the project ends as it began.
    t.drag(t.on(0, 0, 40), {{60, 0}, {0, 0}});
    t.drag(t.on(0, 0, 2), {{-200, 0}});  // the clip's source starts at 0: nothing to reveal
    EXPECT_EQ(t.editor->undoCount(), undo);
    EXPECT_FALSE(t.editor->isDirty());
    EXPECT_DOUBLE_EQ(t.clip(0, 0).start, 1);
}

// The trims' limits are the model's (EditorClips.TrimsKeepFramesMediaAndNeighbours); here the zones.
TEST(TimelineDrag, TrimZonesMoveTheirEdgeAsOneStep) {
    Timeline t({{{1, 4}, {8, 2}}});
    const QUuid a = t.clip(0, 0).id;
    expectOneStep(t, [&] {
        t.drag(t.on(0, 0, 2), {{60, 0}});  // start to 2
        EXPECT_NEAR(t.editor->clip(a)->start, 2, 1e-9);
        EXPECT_NEAR(t.editor->clip(a)->start + t.editor->clip(a)->duration, 5, 1e-9);
    });
    t.drag(t.on(0, 0, 4 * 60 - 2), {{-60, 0}});  // end to 4
    EXPECT_NEAR(t.editor->clip(a)->start + t.editor->clip(a)->duration, 4, 1e-9);
}

TEST(TimelineDrag, FadesMoveOnTheFrameGrid) {
    Timeline t({{{1, 4}}}, 25);
    const QUuid id = t.clip(0, 0).id;
    t.editor->setSelectedClipID(id);
    const QRectF r = t.content()->geometry().clipRect(t.clip(0, 0), 0);
    const QPointF fadeIn = t.content()->toWidget(QPointF(r.left() + 1, r.top() + 1));
    // The handles explain themselves; the trim zones show the resize cursor.
    QHelpEvent help(QEvent::ToolTip, fadeIn.toPoint(), t.content()->mapToGlobal(fadeIn.toPoint()));
    QApplication::sendEvent(t.content(), &help);
    EXPECT_EQ(QToolTip::text(), "Drag to set fade in");
    t.send(QEvent::MouseMove, t.on(0, 0, 3), Qt::NoButton);
    EXPECT_EQ(t.content()->cursor().shape(), Qt::SizeHorCursor);
    t.send(QEvent::MouseMove, t.on(0, 0, 60), Qt::NoButton);
    EXPECT_EQ(t.content()->cursor().shape(), Qt::ArrowCursor);

    expectOneStep(t, [&] { t.drag(fadeIn, {{13, 0}, {37, 0}}); });
    t.drag(fadeIn, {{37, 0}});  // 37 / 60 = 0.6167 → 15.4 frames → 15 → 0.6 s
    EXPECT_NEAR(t.editor->clip(id)->fadeIn, 0.6, 1e-9);
    const QPointF fadeOut = t.content()->toWidget(QPointF(r.right() - 1, r.top() + 1));
    t.drag(fadeOut, {{-1000, 0}});  // past the start: the duration less the fade in
    EXPECT_NEAR(t.editor->clip(id)->fadeOut, 3.4, 1e-9);
    EXPECT_NEAR(std::fmod(t.editor->clip(id)->fadeOut * 25 + 1e-9, 1.0), 0, 1e-6);
}

}  // namespace
}  // namespace qm
