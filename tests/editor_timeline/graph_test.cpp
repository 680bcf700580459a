// The graph editor on a real model: what it shows and where, taps, point drags in value and whole
// frames, ease-handle drags with the model's clamps, and one undo step per drag that changed
// something.

#include <gtest/gtest.h>

#include <QImage>
#include <QPicture>

#include <limits>

#include "editor/views/timeline/graph_editor_view.h"
#include "timeline_test_support.h"

namespace qm::test {
namespace {

using Item = GraphEditorView::Item;
using Kind = GraphEditorView::ItemKind;

Keyframe<double> key(double time, double value, KeyframeEase out = KeyframeEase::linear) {
    Keyframe<double> k = Keyframe<double>::make(time, value);
    k.easeOut = out;
    return k;
}

// The first clip (start 1, 4 s) with keyframes set by the test, shown in the graph editor.
struct Graph : Timeline {
    explicit Graph(const std::function<void(ClipTransform&)>& keys, double pps = 60, double fps = 30,
                   TransformProperty shown = TransformProperty::opacity)
        : Timeline({{{1, 4}, {8, 2}}}, fps) {
        exact = true;
        Project p = editor->project();
        Clip& c = p.tracks[0].clips[0];
        c.transform = ClipTransform::makeDefault({640, 360}, {960, 540}, 100);
        keys(*c.transform);
        editor->setProject(p);
        editor->setPixelsPerSecond(pps);
        editor->setShowGraphEditor(true);
        editor->showPropertyInGraphEditor(shown, c.id);
        QApplication::processEvents();
    }
    GraphEditorView* graph() const { return content()->graphView(); }
    GraphEditorView::Scene scene() const { return graph()->scene().value(); }
    QUuid id(std::size_t k) const { return scene().keys.at(k).id; }
    const auto& opacity() const { return clip(0, 0).transform->opacity.keyframes; }
    void select(std::initializer_list<std::size_t> ks) {
        QSet<QUuid> s;
        for (std::size_t k : ks) s.insert(id(k));
        editor->setSelectedKeyframes(s);
    }
    Item item(Kind kind, std::size_t k, std::size_t c = 0) const {
        for (const Item& i : graph()->items(scene()))
            if (i.kind == kind && i.keyframe == k && i.component == c) return i;
        ADD_FAILURE() << "no item " << int(kind) << " " << k;
        return {};
    }
    QPointF at(const Item& i) const { return graph()->toWidget(i.centre); }
    void drag(const Item& i, const std::vector<QPointF>& path, Qt::KeyboardModifiers mods = {}) {
        Timeline::drag(at(i), path, mods, graph());
    }
    void tap(const QPointF& at, Qt::KeyboardModifiers mods = {}) {
        send(QEvent::MouseButtonPress, at, Qt::LeftButton, mods, graph());
        send(QEvent::MouseButtonRelease, at, Qt::NoButton, mods, graph());
    }
    QColor pixel(const Item& i) const { return graph()->grab().toImage().pixelColor(at(i).toPoint()); }
};

void twoLinear(ClipTransform& t) { t.opacity.keyframes = {key(1, 0), key(3, 100)}; }

// --- What it shows ---------------------------------------------------------------------------

TEST(GraphEditorView, EmptyStateAndPlace) {
    Graph g([](ClipTransform&) {});
    EXPECT_FALSE(g.graph()->scene());  // a clip without keyframes
    g.editor->setSelectedClipID({});
    EXPECT_FALSE(g.graph()->scene());
    EXPECT_EQ(g.graph()->geometry(), QRect(0, 26, g.content()->width(), int(std::ceil(g.view->graphHeight()))));
    EXPECT_TRUE(g.graph()->isVisible());
    g.editor->setShowGraphEditor(false);
    EXPECT_FALSE(g.graph()->isVisible());
}

TEST(GraphEditorView, RangesAndLabels) {
    struct Case {
        std::vector<Keyframe<double>> keys;
        double lo, hi;
        QStringList labels;
    } cases[] = {
        {{key(2, 100)}, 98.76, 101.24, {"98.8", "99.4", "100.0", "100.6", "101.2"}},
        {{key(1, 0), key(3, 100)}, -12, 112, {"-12.0", "19.0", "50.0", "81.0", "112.0"}},
    };
    for (const Case& c : cases) {
        Graph g([&](ClipTransform& t) { t.opacity.keyframes = c.keys; });
        const auto s = g.scene();
        EXPECT_NEAR(s.geometry.range.lo, c.lo, 1e-9);
        EXPECT_NEAR(s.geometry.range.hi, c.hi, 1e-9);
        QStringList labels;
        for (const auto& line : GraphEditorView::gridLines(s.geometry)) labels << line.label;
        EXPECT_EQ(labels, c.labels);
        EXPECT_DOUBLE_EQ(GraphEditorView::gridLines(s.geometry).front().y, g.graph()->height() - 22.0);
    }
}

TEST(GraphEditorView, TwoComponentsInRedAndGreen) {
    Graph g([](ClipTransform& t) { t.position.keyframes = {Keyframe<Vec2>::make(1, {100, 900}), Keyframe<Vec2>::make(3, {500, 50})}; },
            60, 30, TransformProperty::position);
    const auto s = g.scene();
    EXPECT_EQ(s.components, 2u);
    EXPECT_NEAR(s.geometry.range.lo, 50 - 850 * 0.12, 1e-9);  // both components
    EXPECT_NEAR(s.geometry.range.hi, 900 + 850 * 0.12, 1e-9);
    g.editor->setSelectedKeyframes({});
    EXPECT_EQ(g.pixel(g.item(Kind::point, 0, 0)), QColor(255, 89, 89));
    EXPECT_EQ(g.pixel(g.item(Kind::point, 0, 1)), QColor(89, 217, 102));
    g.select({1});
    EXPECT_EQ(g.pixel(g.item(Kind::point, 1, 1)), QColor(255, 204, 51));  // gold
}

TEST(GraphEditorView, PlacesKeyframesOnTheLanesAxis) {
    Graph g([](ClipTransform& t) { t.opacity.keyframes = {key(0.5, 10), key(1.5, 20)}; });
    Project p = g.editor->project();
    p.tracks[0].clips[0].start = 2;
    p.tracks[0].clips[0].sourceIn = 1;
    g.editor->setProject(p);
    EXPECT_DOUBLE_EQ(g.item(Kind::point, 1).centre.x(), 162);
    // Before sourceIn: left of the clip's start (x 132), not clamped.
    EXPECT_DOUBLE_EQ(g.item(Kind::point, 0).centre.x(), 102);
}

TEST(GraphEditorView, HandlesOnlyOnSelectedKeyframesNoneAfterAHold) {
    Graph g([](ClipTransform& t) { t.opacity.keyframes = {key(1, 0, KeyframeEase::hold), key(2, 50), key(3, 10)}; });
    const auto handles = [&] {
        std::vector<std::pair<Kind, std::size_t>> found;
        for (const Item& i : g.graph()->items(g.scene()))
            if (i.kind != Kind::point) found.emplace_back(i.kind, i.keyframe);
        return found;
    };
    using H = std::vector<std::pair<Kind, std::size_t>>;
    g.select({0, 1, 2});
    EXPECT_EQ(handles(), (H{{Kind::outHandle, 1}, {Kind::inHandle, 2}}));
    g.select({1});
    EXPECT_EQ(handles(), (H{{Kind::outHandle, 1}}));
    g.select({0});
    EXPECT_EQ(handles(), H{});
}

TEST(GraphEditorView, TapsSelect) {
    Graph g(twoLinear);
    g.select({});
    g.tap(g.at(g.item(Kind::point, 0)));
    EXPECT_EQ(g.editor->selectedKeyframes(), QSet<QUuid>{g.id(0)});
    // The selection rules themselves are EditorKeyframes.ValuesToggleSelectionAndLanes'.
    g.tap(g.at(g.item(Kind::point, 1)), Qt::ShiftModifier);
    EXPECT_EQ(g.editor->selectedKeyframes().size(), 2);
    g.tap(QPointF(400, 150));
    EXPECT_TRUE(g.editor->selectedKeyframes().isEmpty());
    EXPECT_EQ(g.editor->undoCount(), 0u);
}

// A hand-edited file may hold keyframes at times no clip reaches. They read back as written, and
// the graph draws the curve in view from as many points as the view is wide, also scrolled and
// with every keyframe selected (the handles' guides then run far off).
TEST(GraphEditorView, KeyframesFarOffDrawOnlyWhatIsInView) {
    for (double far : {1e17, 1e300, std::numeric_limits<double>::max()}) {
        SCOPED_TRACE(far);
        Graph g([&](ClipTransform& t) { t.opacity.keyframes = {key(-far, 0), key(0.5, 100), key(far, 0)}; });
        const Project read = Project::decode(g.editor->project().encoded().toStdString());
        ASSERT_EQ(read.tracks[0].clips[0].transform->opacity.keyframes.back().time, far);
        g.editor->setProject(read);
        g.select({0, 1, 2});
        for (double scroll : {0.0, 300.0}) {
            g.graph()->setScrollX(scroll);
            QPicture picture;
            g.graph()->render(&picture);  // every point drawn is recorded
            EXPECT_LT(picture.size(), 64u * 1024);
            const auto s = g.scene();
            const QImage shown = g.graph()->grab().toImage();
            const QPointF on = g.graph()->toWidget({s.geometry.x(8), s.geometry.y(s.valueAt(8, 0))});
            EXPECT_NE(shown.pixelColor(on.toPoint()), shown.pixelColor((on - QPointF(0, 10)).toPoint()));
        }
    }
}

// --- Point drags -------------------------------------------------------------------------------

TEST(GraphEditorDrag, ValueFromVerticalTravel) {
    GraphEditorView::Geometry geometry;
    geometry.range = {0, 100};
    geometry.height = 444;
    EXPECT_EQ(GraphEditorView::draggedValue(50, -100, geometry), 75);
    EXPECT_EQ(GraphEditorView::draggedValue(0, -0.5, geometry), 0.13);  // 0.125, halves away from zero
    EXPECT_EQ(GraphEditorView::draggedValue(0, 0.5, geometry), -0.13);
    geometry.height = 44;  // no plot: nothing moves
    EXPECT_EQ(GraphEditorView::draggedValue(7, -50, geometry), 7);
}

TEST(GraphEditorDrag, PointsMoveValueAndWholeFrames) {
    struct Case {
        std::vector<QPointF> path;
        Qt::KeyboardModifiers mods;
        int frames;
        bool changes;
    };
    // 60 points a second at 30 fps: 2 points a frame, halves away from zero.
    const Case cases[] = {
        {{{2, 0}, {1, 0}}, {}, 1, true},             // one point after the start is one frame
        {{{0, 2}, {0.9, 0}}, {}, 0, false},          // under half a frame, value back: no step
        {{{6, 0}, {4, 0}}, {}, 2, true},             // three right, one back
        {{{0, -50}, {6, -100}}, Qt::ShiftModifier, 0, true},  // Shift keeps time
        {{{-2, 0}, {-90, 0}}, {}, -45, true},        // clamped at clip time 0
    };
    for (const Case& c : cases) {
        Graph g(twoLinear);
        g.select({0});
        const auto before = g.editor->project().encoded();
        const auto s = g.scene();
        const double dy = c.path.back().y();
        const double value = std::round(-dy * 124 / (g.graph()->height() - 44) * 100) / 100;
        const QPointF from = g.at(g.item(Kind::point, 0));
        g.send(QEvent::MouseButtonPress, from, Qt::LeftButton, c.mods, g.graph());
        for (QPointF d : c.path) g.send(QEvent::MouseMove, from + d, Qt::LeftButton, c.mods, g.graph());
        EXPECT_EQ(g.graph()->frozenRange(), s.geometry.range);
        if (c.mods != Qt::NoModifier) {
            EXPECT_EQ(g.graph()->appliedShift(), 0.0);
        }
        g.send(QEvent::MouseButtonRelease, from + c.path.back(), Qt::NoButton, c.mods, g.graph());
        EXPECT_FALSE(g.graph()->frozenRange() || g.graph()->appliedShift() || g.graph()->dragStartValue());
        EXPECT_NEAR(g.opacity()[0].time, std::max(0.0, 1 + c.frames / 30.0), 1e-9);
        EXPECT_NEAR(g.opacity()[0].value, value, 1e-9);
        EXPECT_EQ(g.editor->undoCount(), c.changes ? 1u : 0u);
        EXPECT_EQ(g.editor->isDirty(), c.changes);
        if (c.changes) {
            g.editor->undo();
            EXPECT_EQ(g.editor->project().encoded(), before);
        }
    }
}

TEST(GraphEditorDrag, RateThatIsNoNumberCountsAsOneFps) {
    for (double fps : {0.0, -5.0, std::nan("")}) {
        Graph g(twoLinear, 60, fps);
        g.select({1});
        g.drag(g.item(Kind::point, 1), {{2, 0}, {30, 0}});  // half a second: one frame at 1 fps
        EXPECT_EQ(g.opacity()[1].time, 4) << fps;
    }
}

TEST(GraphEditorDrag, SelectionDecidesWhatMovesInTime) {
    Graph g([](ClipTransform& t) { t.opacity.keyframes = {key(1, 0), key(2, 50), key(3, 100)}; });
    g.select({0, 2});
    g.drag(g.item(Kind::point, 1), {{4, 0}});  // unselected among selected: it alone
    EXPECT_EQ(g.editor->selectedKeyframes(), QSet<QUuid>{g.id(1)});
    EXPECT_NEAR(g.opacity()[0].time, 1, 1e-9);
    EXPECT_NEAR(g.opacity()[1].time, 2 + 2 / 30.0, 1e-9);
    g.select({0, 1});
    g.drag(g.item(Kind::point, 1), {{-4, -40}});  // one of several: all in time, its own value
    EXPECT_NEAR(g.opacity()[0].time, 1 - 2 / 30.0, 1e-9);
    EXPECT_NEAR(g.opacity()[1].time, 2, 1e-9);
    EXPECT_EQ(g.opacity()[0].value, 0);
    EXPECT_NE(g.opacity()[1].value, 50);
}

TEST(GraphEditorDrag, LostPointerEndsTheDragAsOneStep) {
    Graph g(twoLinear);
    const QPointF from = g.at(g.item(Kind::point, 1));
    g.send(QEvent::MouseButtonPress, from, Qt::LeftButton, {}, g.graph());
    g.send(QEvent::MouseMove, from + QPointF(0, -300), Qt::LeftButton, {}, g.graph());
    EXPECT_GT(g.opacity()[1].value, 112);  // above the range, which holds still meanwhile
    EXPECT_NEAR(g.scene().geometry.range.hi, 112, 1e-9);
    QEvent ungrab(QEvent::UngrabMouse);
    QApplication::sendEvent(g.graph(), &ungrab);
    EXPECT_FALSE(g.editor->inGesture());
    EXPECT_FALSE(g.graph()->frozenRange() || g.graph()->appliedShift() || g.graph()->dragStartValue());
    EXPECT_EQ(g.editor->undoCount(), 1u);
    EXPECT_GT(g.scene().geometry.range.hi, 113);  // rescaled at the end
}

// A value dragged past the inspector's range, and the static value it leaves when its keyframes
// go, are saved and read back as they are: the same opacity at every time, the same bytes again.
TEST(GraphEditorDrag, ValuesPastTheRangeReadBackAsSaved) {
    Graph g(twoLinear);
    g.select({1});
    g.drag(g.item(Kind::point, 1), {{0, -150}, {0, -300}});
    const double dragged = g.opacity()[1].value;
    ASSERT_GT(dragged, 112);
    const auto roundTrip = [&](const char* what) {
        const QByteArray bytes = g.editor->project().encoded();
        const Project back = Project::decode(bytes.toStdString());
        EXPECT_EQ(back, g.editor->project()) << what;
        EXPECT_EQ(back.encoded(), bytes) << what;
        for (int i = 0; i <= 50; ++i) {
            const double t = 1 + i * 0.1;
            EXPECT_EQ(back.tracks[0].clips[0].effectiveOpacity(t), g.clip(0, 0).effectiveOpacity(t)) << what << " " << t;
        }
    };
    roundTrip("dragged");
    EXPECT_EQ(g.clip(0, 0).effectiveOpacity(4), dragged / 100);  // past the last keyframe (clip time 3)

    // Both keyframes deleted with the playhead past them: the dragged value becomes the static one.
    g.editor->seek(4.5);
    g.select({0, 1});
    ASSERT_TRUE(g.editor->deleteSelectedKeyframes());
    ASSERT_TRUE(g.opacity().empty());
    EXPECT_EQ(g.clip(0, 0).transform->opacity.value, dragged);
    roundTrip("static");
}

// --- Ease handles ------------------------------------------------------------------------------

// Drags a handle of the segment 1 s → 3 s (0 → 100 unless set) to the point of clip time t and value v.
void dragHandle(Graph& g, Kind kind, std::size_t k, double t, double v) {
    const auto s = g.scene();
    const QPointF to = g.graph()->toWidget(QPointF(s.geometry.x(t), s.geometry.y(v)));
    const QPointF from = g.at(g.item(kind, k));
    g.Timeline::drag(from, {to - from}, {}, g.graph());
}

TEST(GraphEditorHandles, InfluenceAndSpeedWithTheModelsClamps) {
    struct Case {
        double t, v;
        double influence, velocity;
    };
    // Out handle of a (1 s, 0) towards b (3 s, 100): influence (t − 1) / 2, speed (v / 100) / influence.
    const Case cases[] = {
        {2, 75, 0.5, 1.5},      {4, 100, 1, 2.0 / 3},  // past the next keyframe: 1
        {0, 50, 0.01, 6},       {1.5, 200, 0.25, 6},   // behind its own keyframe: 0.01; speeds above 6
        {2, -200, 0.5, -3},                           // and below −3
    };
    for (const Case& c : cases) {
        Graph g(twoLinear);
        g.select({0});
        dragHandle(g, Kind::outHandle, 0, c.t, c.v);
        const auto& a = g.opacity()[0];
        EXPECT_EQ(a.easeOut, KeyframeEase::ease);  // a linear side turns eased
        EXPECT_NEAR(a.outInfluence, c.influence, 1e-9) << c.t << " " << c.v;
        EXPECT_NEAR(a.outVelocity, c.velocity, 1e-9) << c.t << " " << c.v;
        EXPECT_EQ(g.editor->undoCount(), 1u);
    }
}

TEST(GraphEditorHandles, FlatSegmentKeepsItsSpeed) {
    Graph g([](ClipTransform& t) {
        t.opacity.keyframes = {key(1, 50), key(3, 50)};
        t.opacity.keyframes[1].easeIn = KeyframeEase::ease;
        t.opacity.keyframes[1].inVelocity = 0.7;
    });
    g.select({1});
    dragHandle(g, Kind::inHandle, 1, 2.5, 80);
    EXPECT_NEAR(g.opacity()[1].inInfluence, 0.25, 1e-9);
    EXPECT_EQ(g.opacity()[1].inVelocity, 0.7);
}

TEST(GraphEditorHandles, StackedKeyframesWriteNothing) {
    Graph g([](ClipTransform& t) { t.opacity.keyframes = {key(1, 0), key(1, 40), key(3, 100)}; });
    g.select({0});
    const auto before = g.editor->project().encoded();
    dragHandle(g, Kind::outHandle, 0, 2, 30);
    EXPECT_EQ(g.editor->project().encoded(), before);
    EXPECT_EQ(g.editor->undoCount(), 0u);
    EXPECT_FALSE(g.editor->isDirty());
}

}  // namespace
}  // namespace qm::test
