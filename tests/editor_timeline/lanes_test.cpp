// Property rows of an expanded layer: header contents, mark placement, and keyframe selection,
// drags and menus through real pointer events on a real editor model.

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>

#include "editor/views/inspector/transform_property_row.h"
#include "editor/views/timeline/property_lane.h"
#include "timeline_test_support.h"

namespace qm::test {
namespace {

using timeline::KeyframeMark;

Keyframe<double> key(double time, double value) {
    Keyframe<double> k;
    k.id = QUuid::createUuid();
    k.time = time;
    k.value = value;
    return k;
}

// A timeline whose first clip has rotation keyframes at `times` (clip time), its layer expanded.
struct Lanes : Timeline {
    std::vector<QUuid> ids;

    explicit Lanes(std::vector<double> times = {1, 2, 3}, double fps = 30, double pps = 60,
                   const Layers& layers = {{{1, 4}, {8, 2}}})
        : Timeline(layers, fps) {
        exact = true;
        Project p = editor->project();
        for (Clip& c : p.tracks[0].clips) c.transform = ClipTransform::makeDefault({640, 360}, {960, 540}, 100);
        std::vector<Keyframe<double>> keys;
        for (double t : times) ids.push_back(keys.emplace_back(key(t, t * 10)).id);
        p.tracks[0].clips[0].transform->rotation.keyframes = keys;
        editor->setProject(p);
        editor->setPixelsPerSecond(pps);
        editor->toggleTrackExpanded(p.tracks[0].id);
        QApplication::processEvents();
    }
    std::vector<KeyframeMark> marks() const {
        const auto g = content()->geometry();
        for (const auto& row : g.rows())
            for (const auto& r : row.properties)
                if (row.track == 0 && r.property == TransformProperty::rotation)
                    return timeline::keyframeMarks(editor->project().tracks[0], r.property, editor->pixelsPerSecond(), r.top);
        return {};
    }
    QPointF at(std::size_t k) const { return content()->toWidget(marks().at(k).glyph.center()); }
    std::vector<double> times() const {
        std::vector<double> t;
        for (const auto& k : clip(0, 0).transform->rotation.keyframes) t.push_back(k.time);
        return t;
    }
    QSet<QUuid> selected(std::initializer_list<std::size_t> ks) const {
        QSet<QUuid> s;
        for (std::size_t k : ks) s.insert(ids[k]);
        return s;
    }
    QAction* item(QMenu* menu, const QString& title) const {
        for (QAction* a : menu->actions())
            if (a->text() == title) return a;
        ADD_FAILURE() << title.toStdString();
        return nullptr;
    }
};

TEST(TimelineLanesTest, PlacementAndBars) {
    Clip c;
    c.start = 10;
    c.sourceIn = 2;
    c.duration = 0.1;
    EXPECT_EQ(timeline::spanBar(c, 4, 0).width(), 1.0);
    c.duration = 3;
    c.transform = ClipTransform{};
    c.transform->opacity.keyframes = {key(1, 0), key(5, 0), key(3, 0)};
    Track t;
    t.clips = {c};
    const auto marks = timeline::keyframeMarks(t, TransformProperty::opacity, 10, 100);
    ASSERT_EQ(marks.size(), 3u);
    // Clip time 1 lies at 9 s (before the clip), dimmed; sourceIn + duration is still inside.
    EXPECT_EQ(marks[0].glyph, QRectF(12 + 90 - 6, 107, 12, 12));
    EXPECT_EQ(marks[0].opacity, 0.4);
    EXPECT_EQ(marks[1].glyph.center().x(), 12 + 130);
    EXPECT_EQ(marks[1].opacity, 1.0);
    EXPECT_EQ(marks[2].opacity, 1.0);
}

TEST(TimelineLanesTest, HeadersFollowClipsAndEffects) {
    Lanes t({1}, 30, 60, {{{1, 4}}, {}});
    const QUuid empty = t.editor->project().tracks[1].id;
    t.editor->toggleTrackExpanded(empty);
    QApplication::processEvents();
    const auto clipless = t.view->propertyHeaders(empty);
    ASSERT_FALSE(clipless.empty());
    EXPECT_EQ(clipless[0]->row(), nullptr);
    QStringList names;
    for (auto* h : clipless) names << h->nameText();
    EXPECT_TRUE(names.contains(QStringLiteral("Opacity")));

    const QUuid layer = t.editor->project().tracks[0].id;
    for (auto* h : t.view->propertyHeaders(layer)) EXPECT_NE(h->row(), nullptr);
    const auto count = t.view->propertyHeaders(layer).size();
    ClipEffects fx;
    fx.keyEnabled = fx.colorEnabled = true;
    t.editor->setClipEffects(t.clip(0, 0).id, fx);
    QApplication::processEvents();
    EXPECT_EQ(t.view->propertyHeaders(layer).size(), count + 6);
    t.editor->setClipEffects(t.clip(0, 0).id, ClipEffects{});
    QApplication::processEvents();
    EXPECT_EQ(t.view->propertyHeaders(layer).size(), count);
}

TEST(TimelineLanesTest, ClicksSelectAndLaneClears) {
    Lanes t;
    t.click(t.at(0));
    EXPECT_EQ(t.editor->selectedKeyframes(), t.selected({0}));
    EXPECT_EQ(t.editor->selectedClipID(), t.clip(0, 0).id);
    t.send(QEvent::MouseButtonPress, t.at(2), Qt::LeftButton, Qt::ShiftModifier);
    t.send(QEvent::MouseButtonRelease, t.at(2), Qt::NoButton, Qt::ShiftModifier);
    // The selection rules themselves are EditorKeyframes.ValuesToggleSelectionAndLanes'.
    EXPECT_EQ(t.editor->selectedKeyframes(), t.selected({0, 2}));
    const auto undos = t.editor->undoCount();
    t.click(t.at(1) + QPointF(40, 0));  // the empty lane
    EXPECT_TRUE(t.editor->selectedKeyframes().isEmpty());
    EXPECT_EQ(t.editor->selectedClipID(), t.clip(0, 0).id);
    EXPECT_EQ(t.editor->undoCount(), undos);
}

TEST(TimelineLanesTest, DragsMoveWholeFrames) {
    struct Case {
        double pps, dx;
        double frames;
    };
    // 60 pps at 30 fps: 2 points a frame, halves away from zero; 800 pps: 10 points is 0.375 frame.
    for (const Case& c : {Case{60, 5, 3}, Case{60, 4.9, 2}, Case{60, -5, -3}, Case{800, 10, 0}}) {
        Lanes t({1, 2, 3}, 30, c.pps);
        t.editor->setSelectedClipID(t.clip(0, 0).id);
        t.editor->setSelectedKeyframes(t.selected({0, 1}));
        const auto undos = t.editor->undoCount();
        const bool dirty = t.editor->isDirty();
        t.drag(t.at(1), {{c.dx / 2, 0}, {c.dx, 3}});
        const double s = c.frames / 30;
        EXPECT_NEAR(t.times()[0], 1 + s, 1e-9) << c.dx;
        EXPECT_NEAR(t.times()[2], 3, 1e-9) << c.dx;
        EXPECT_EQ(t.editor->undoCount(), undos + (c.frames != 0 ? 1 : 0)) << c.dx;
        if (c.frames == 0) {
            EXPECT_EQ(t.editor->isDirty(), dirty);
        }
    }
}

TEST(TimelineLanesTest, DragBackClampAndUndo) {
    Lanes t({0.1, 0.5, 3});
    t.editor->setSelectedClipID(t.clip(0, 0).id);
    t.editor->setSelectedKeyframes(t.selected({0, 1}));
    t.drag(t.at(1), {{30, 0}, {0, 0}});  // right, then back
    EXPECT_NEAR(t.times()[0], 0.1, 1e-9);
    EXPECT_NEAR(t.times()[1], 0.5, 1e-9);
    // Left past clip time 0 stacks both at 0; back right they move together from there.
    t.drag(t.at(1), {{-60, 0}, {-40, 0}});
    EXPECT_NEAR(t.times()[0], 1.0 / 3, 1e-9);
    EXPECT_NEAR(t.times()[1], 1.0 / 3, 1e-9);
    t.editor->undo();
    EXPECT_NEAR(t.times()[0], 0.1, 1e-9);
    EXPECT_NEAR(t.times()[1], 0.5, 1e-9);
    // A lost pointer ends the drag as one step; the next press starts afresh.
    const auto undos = t.editor->undoCount();
    t.send(QEvent::MouseButtonPress, t.at(1), Qt::LeftButton);
    t.send(QEvent::MouseMove, t.at(1) + QPointF(6, 0), Qt::LeftButton);
    QEvent ungrab(QEvent::UngrabMouse);
    QApplication::sendEvent(t.content(), &ungrab);
    EXPECT_FALSE(t.editor->inGesture());
    EXPECT_EQ(t.editor->undoCount(), undos + 1);
    t.drag(t.at(1), {{6, 0}});
    EXPECT_NEAR(t.times()[1], 0.7, 1e-9);
}

TEST(TimelineLanesTest, DragSelectionAndShiftJoin) {
    Lanes t;
    t.editor->setSelectedClipID(t.clip(0, 0).id);
    t.editor->setSelectedKeyframes(t.selected({0}));
    t.drag(t.at(2), {{2, 0}, {6, 0}});  // an unselected mark moves alone
    EXPECT_EQ(t.times(), (std::vector<double>{1, 2, 3.1}));
    t.editor->setSelectedKeyframes(t.selected({0}));
    t.drag(t.at(1), {{2, 0}, {6, 0}}, Qt::ShiftModifier);
    EXPECT_NEAR(t.times()[0], 1.1, 1e-9);
    EXPECT_NEAR(t.times()[1], 2.1, 1e-9);
    EXPECT_NEAR(t.times()[2], 3.1, 1e-9);
}

TEST(TimelineLanesTest, MenusDeleteAndPaste) {
    Lanes t({1, 2, 3}, 30, 60, {{{1, 4}, {8, 2}}});
    std::unique_ptr<QMenu> menu(timeline::keyframeMenu(*t.editor, t.clip(0, 0).id, t.ids[0], nullptr));
    QStringList titles;
    for (QAction* a : menu->actions()) titles << a->text();
    EXPECT_EQ(titles, (QStringList{"Linear", "Easy Ease (F9)", "Easy Ease In (Shift+F9)", "Easy Ease Out (Ctrl+Shift+F9)",
                                   "Toggle Hold Keyframe", "", "Copy Keyframes", "Paste Keyframes at Playhead", "",
                                   "Delete Keyframe"}));
    EXPECT_FALSE(t.item(menu.get(), "Paste Keyframes at Playhead")->isEnabled());

    t.editor->setSelectedClipID(t.clip(0, 0).id);
    t.editor->setSelectedKeyframes(t.selected({1, 2}));
    t.item(menu.get(), "Delete Keyframe")->trigger();  // an unselected mark: only it goes
    EXPECT_EQ(t.times(), (std::vector<double>{2, 3}));

    t.editor->setSelectedKeyframes(t.selected({1}));
    t.editor->copyKeyframes();
    t.editor->setSelectedClipID({});
    std::unique_ptr<QMenu> lane(timeline::laneMenu(*t.editor, nullptr));
    EXPECT_FALSE(lane->actions()[0]->isEnabled());  // no clip selected
    // From a mark of a clip that is not selected: enabled, selects that clip, pastes into it.
    const QUuid other = t.clip(0, 1).id;
    Project p = t.editor->project();
    p.tracks[0].clips[1].transform->rotation.keyframes = {key(0.5, 1)};
    t.editor->setProject(p);
    std::unique_ptr<QMenu> second(timeline::keyframeMenu(*t.editor, other, t.clip(0, 1).transform->rotation.keyframes[0].id, nullptr));
    QAction* paste = t.item(second.get(), "Paste Keyframes at Playhead");
    ASSERT_TRUE(paste->isEnabled());
    paste->trigger();
    EXPECT_EQ(t.editor->selectedClipID(), other);
    EXPECT_EQ(t.clip(0, 1).transform->rotation.keyframes.size(), 2u);
}

}  // namespace
}  // namespace qm::test
