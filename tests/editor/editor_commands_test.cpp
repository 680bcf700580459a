// The editing commands: clips on the timeline, clip properties, keyframes and the playhead.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "editor_test_support.h"

namespace qm {
namespace {

using test::CountingEditor;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(EditorClips, AddingChoosesStartLengthAndLayer) {
    CountingEditor e;
    const QUuid shortMedia = e.addMedia(0.01), media = e.addMedia(2);
    e->seek(0);
    e->addClipAtPlayhead(shortMedia, std::nullopt, 1.02);
    EXPECT_DOUBLE_EQ(e.clipAt(0, 0).start, 31.0 / 30);
    EXPECT_DOUBLE_EQ(e.clipAt(0, 0).duration, 1.0 / 30);
    EXPECT_EQ(e->selectedClipID(), e.clipAt(0, 0).id);
    e->addClipAtPlayhead(media, std::nullopt, -4);  // 0…2 overlaps the first clip: a new top layer
    ASSERT_EQ(e->project().tracks.size(), 2u);
    EXPECT_EQ(e->project().tracks[0].name, "Layer 2");
    EXPECT_EQ(e.clipAt(0, 0).start, 0);
    e->addClipAtPlayhead(media, std::nullopt, 2.0);  // touches the clip on the top layer
    EXPECT_EQ(e->project().tracks[0].clips.size(), 2u);
    e->addClipAtPlayhead(media, 2, 0.0);  // one past the last layer: a new top layer
    EXPECT_EQ(e->project().tracks.size(), 3u);
    EXPECT_EQ(e->project().tracks[0].name, "Layer 3");
    const std::size_t steps = e->undoCount();
    e->addClipAtPlayhead(QUuid::createUuid());
    e->addClipAtPlayhead(media, std::nullopt, nan);
    EXPECT_EQ(e->undoCount(), steps);
}

TEST(EditorClips, SnappingPrefersEarlierCandidatesWithinEightPoints) {
    CountingEditor e;
    const QUuid media = e.addMedia(10);
    e->addClipAtPlayhead(media, 0, 2.0);
    const QUuid id = e->selectedClipID();
    e->setPixelsPerSecond(80);
    struct Case {
        double t;
        QUuid leaveOut;
        double expected;
        bool snapped;  // on a target, even one where the time already lay
    };
    for (const Case& c : {Case{2.09, {}, 2.0, true}, Case{2.11, {}, 2.11, false}, Case{2.05, id, 2.05, false},
                          Case{0.05, id, 0.0, true}, Case{0.0, {}, 0.0, true}}) {
        EXPECT_DOUBLE_EQ(e->snapTime(c.t, c.leaveOut), c.expected) << c.t;
        EXPECT_EQ(e->snap(c.t, c.leaveOut).snapped, c.snapped) << c.t;
    }
    e->seek(0.1);
    EXPECT_DOUBLE_EQ(e->snapTime(0.05), 0.0);  // 0 and the playhead equally near: 0 first
}

TEST(EditorClips, TrimsKeepFramesMediaAndNeighbours) {
    struct Case {
        const char* name;
        double sourceIn, start, duration, mediaDuration;
        bool trimStart;
        double to;
        double neighbour;  // start of a 4 s clip on the same layer
        double start2, duration2;  // expected
    };
    const double f = 1.0 / 30;
    for (const Case& c : {
             Case{"start not past end minus a frame", 0, 2, 4, 10, true, 9, 8, 6 - f, f},
             Case{"start not before the media", 1, 2, 4, 10, true, 0, 8, 1, 5},
             Case{"start not into the previous clip", 5, 5, 3, 10, true, 0, 0, 4, 4},
             Case{"end not past the media", 0, 2, 4, 5, false, 20, 8, 2, 5},
             Case{"end not into the next clip", 0, 0, 3, 20, false, 20, 4, 0, 4},
             Case{"end keeps a frame when the source lies past the media", 12, 6, 2, 10, false, 7, 8, 6, f},
         }) {
        CountingEditor e;
        const QUuid media = e.addMedia(c.mediaDuration);
        e->addClipAtPlayhead(media, 0, 0);
        e->updateClip(e.clipAt(0, 0).id, false, [&](Clip& k) {
            k.start = c.neighbour, k.duration = 4;
        });
        e->addClipAtPlayhead(media, 0, 4);  // the clip under test
        const QUuid id = e.clipAt(0, 1).id;
        e->updateClip(id, false, [&](Clip& k) {
            k.start = c.start, k.sourceIn = c.sourceIn, k.duration = c.duration;
        });
        if (c.trimStart)
            e->trimClipStart(id, c.to);
        else
            e->trimClipEnd(id, c.to);
        const Clip k = *e->clip(id);
        EXPECT_NEAR(k.start, c.start2, 1e-9) << c.name;
        EXPECT_NEAR(k.duration, c.duration2, 1e-9) << c.name;
        EXPECT_GE(k.sourceIn, 0) << c.name;
    }
}

TEST(EditorClips, TrimsShortenTheFadeOnTheOtherSideFirst) {
    for (bool fromStart : {true, false}) {
        CountingEditor e;
        e->addClipAtPlayhead(e.addMedia(10), 0, 0);
        const QUuid id = e->selectedClipID();
        e->setClipEnd(id, 4, true);
        e->setClipFades(id, 2, 2, true);
        if (fromStart)
            e->trimClipStart(id, 1);
        else
            e->trimClipEnd(id, 3);
        const Clip k = *e->clip(id);
        EXPECT_EQ(k.fadeIn, fromStart ? 2 : 1);
        EXPECT_EQ(k.fadeOut, fromStart ? 1 : 2);
        const std::size_t steps = e->undoCount();
        e->setClipEnd(id, k.start, true);  // at the start: refused
        EXPECT_EQ(e->undoCount(), steps);
    }
}

TEST(EditorClips, SplitDuplicateDeleteAndMove) {
    CountingEditor e;
    const QUuid media = e.addMedia(10);
    e->addClipAtPlayhead(media, 0, 0);
    e->addClipAtPlayhead(media, std::nullopt, 0);
    const QUuid top = e->selectedClipID();
    e->setClipFades(top, 1, 1, true);
    e->toggleKeyframeAtPlayhead(top, TransformProperty::opacity);
    e->seek(0);
    std::size_t steps = e->undoCount();
    e->splitAtPlayhead();  // on the selected clip's start: nothing
    EXPECT_EQ(e->undoCount(), steps);

    e->seek(4);
    e->splitAtPlayhead();
    ASSERT_EQ(e->project().tracks[0].clips.size(), 2u);
    const Clip left = e.clipAt(0, 0), right = e.clipAt(0, 1);
    EXPECT_EQ(e->selectedClipID(), right.id);
    EXPECT_EQ(e->project().tracks[1].clips.size(), 1u);  // the unselected clip is not cut
    EXPECT_EQ(left.duration, 4);
    EXPECT_EQ(left.fadeOut, 0);
    EXPECT_EQ(right.fadeIn, 0);
    EXPECT_EQ(right.sourceIn, 4);
    EXPECT_EQ(right.fadeOut, 1);
    EXPECT_NE(left.transform->opacity.keyframes[0].id, right.transform->opacity.keyframes[0].id);

    e->setSelectedClipID({});
    e->seek(6);
    e->splitAtPlayhead();  // no selection: every crossed clip, selection stays empty
    EXPECT_EQ(e->project().tracks[0].clips.size(), 3u);
    EXPECT_EQ(e->project().tracks[1].clips.size(), 2u);
    EXPECT_TRUE(e->selectedClipID().isNull());

    e->setSelectedClipID(e.clipAt(1, 0).id);
    e->duplicateClip();
    EXPECT_EQ(e.clipAt(1, 2).start, 6);  // at the end even over the next clip
    EXPECT_EQ(e->selectedClipID(), e.clipAt(1, 2).id);

    e->setSelectedClipID(right.id);
    e->setSelectedKeyframes({right.transform->opacity.keyframes[0].id});
    e->deleteSelection();
    EXPECT_TRUE(e->clip(right.id).has_value());
    EXPECT_TRUE(e->clip(right.id)->transform->opacity.keyframes.empty());
    e->deleteSelection();
    EXPECT_FALSE(e->clip(right.id).has_value());
    EXPECT_TRUE(e->selectedClipID().isNull());

    Project p = e->project();
    EditorModel::moveClip(p, 0, 0, 1, 0.52);
    EXPECT_EQ(p.tracks[1].clips.back().start, std::round(0.52 * 30) / 30);
    EditorModel::moveClip(p, 1, 0, 7, -3);
    EXPECT_EQ(p.tracks[1].clips[0].start, 0);
}

TEST(EditorProperties, FadesEndsVolumeAndCanvas) {
    CountingEditor e;
    e->addClipAtPlayhead(e.addMedia(10, 1280, 720), 0, 2);
    const QUuid id = e->selectedClipID();
    e->setClipEnd(id, 6, true);
    e->setClipFades(id, 1, 3, true);
    e->setClipEnd(id, 4, true);
    EXPECT_EQ(e->clip(id)->duration, 2);
    EXPECT_EQ(e->clip(id)->fadeOut, 2);
    EXPECT_EQ(e->clip(id)->fadeIn, 0);
    e->setClipEnd(id, 6, true);
    e->setClipFades(id, 0, 0, true);
    e->setClipFades(id, 3, 3, true);
    EXPECT_EQ(e->clip(id)->fadeIn, 3);
    EXPECT_EQ(e->clip(id)->fadeOut, 1);
    e->setClipFades(id, std::nullopt, -1, true);
    EXPECT_EQ(e->clip(id)->fadeOut, 0);

    const std::size_t steps = e->undoCount();
    e->setClipVolume(QUuid::createUuid(), 2, true);
    e->setProjectSize(1920, 1080);
    EXPECT_EQ(e->undoCount(), steps);
    e->toggleKeyframeAtPlayhead(id, TransformProperty::position);
    e->setProjectSize(1280, 720);
    const auto pos = e->clip(id)->transform->position;
    EXPECT_EQ(pos.value, (Vec2{640, 360}));
    EXPECT_EQ(pos.keyframes[0].value, (Vec2{640, 360}));
    e->setProjectSize(10, 100000);
    EXPECT_EQ(e->project().width, 16);
    EXPECT_EQ(e->project().height, 16384);
}

TEST(EditorProperties, DefaultTransformAndTheTransformWrite) {
    CountingEditor e;
    e->addClipAtPlayhead(e.addMedia(10, 1280, 720), 0, 0);
    const QUuid id = e->selectedClipID();
    e->updateClip(id, true, [](Clip& k) {
        k.transform.reset();
        k.opacity = 0.5;
    });
    const auto t = e->transform(id);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->anchor.value, (Vec2{640, 360}));
    EXPECT_EQ(t->position.value, (Vec2{960, 540}));
    EXPECT_EQ(t->opacity.value, 50);
    e->setPropertyValue(TransformProperty::scale, id, Vec2{50, 50}, true);
    EXPECT_EQ(e->clip(id)->opacity, 1);
    EXPECT_EQ(e->clip(id)->transform->opacity.value, 50);
    e->resetTransform(id);
    EXPECT_EQ(e->clip(id)->transform->opacity.value, 100);

    struct Case {
        TransformProperty property;
        double value, stored;
    };
    for (const Case& c : {Case{TransformProperty::rotation, 50000, 36000}, Case{TransformProperty::saturation, -20, 0},
                          Case{TransformProperty::exposure, 7, 5}, Case{TransformProperty::contrast, -250, -100},
                          Case{TransformProperty::opacity, 150, 100}}) {
        e->setPropertyValue(c.property, id, c.value, true);
        EXPECT_EQ(std::get<double>(e->transform(id)->valueOf(c.property, 0)), c.stored) << rawValue(c.property);
    }
    e->updateClip(id, false, [](Clip& k) { k.start = 1, k.sourceIn = 10; });
    struct Time {
        double fps, playhead, expected;
    };
    for (const Time& c : {Time{25, 1.021, 10.04}, Time{25, 1.019, 10.0}, Time{25, -5, 9}}) {
        Project p = e->project();
        p.frameRate = c.fps;
        e->setProject(p);
        e->updateClip(id, false, [](Clip& k) { k.duration = 100; });
        e->seek(c.playhead);
        EXPECT_NEAR(e->clipTimeAtPlayhead(*e->clip(id)), c.expected, 1e-9) << c.playhead;
    }
}

TEST(EditorKeyframes, ValuesToggleSelectionAndLanes) {
    CountingEditor e;
    e->addClipAtPlayhead(e.addMedia(10), 0, 0);
    const QUuid id = e->selectedClipID();
    e->seek(2.0);
    e->toggleKeyframeAtPlayhead(id, TransformProperty::opacity);
    e->setPropertyValue(TransformProperty::opacity, id, 150.0, true);
    ASSERT_EQ(e->clip(id)->transform->opacity.keyframes.size(), 1u);
    EXPECT_EQ(e->clip(id)->transform->opacity.keyframes[0].value, 100);
    e->seek(2.1);
    e->setPropertyValue(TransformProperty::opacity, id, 20.0, true);
    EXPECT_EQ(e->clip(id)->transform->opacity.keyframes.size(), 2u);

    const Project before = e->project();
    const std::size_t steps = e->undoCount();
    e->toggleKeyframeAtPlayhead(id, TransformProperty::rotation);
    e->toggleKeyframeAtPlayhead(id, TransformProperty::rotation);
    EXPECT_EQ(e->project(), before);
    EXPECT_EQ(e->undoCount(), steps + 2);

    const auto keys = e->clip(id)->transform->opacity.keyframes;
    const QUuid a = keys[0].id, b = keys[1].id;
    e->selectKeyframe(a, id, false);
    e->selectKeyframe(b, id, true);
    e->selectKeyframe(a, id, false);  // already selected: the pair stays
    EXPECT_EQ(e->selectedKeyframes(), (QSet<QUuid>{a, b}));
    e->selectKeyframe(a, id, true);
    EXPECT_EQ(e->selectedKeyframes(), (QSet<QUuid>{b}));

    e->showPropertyInGraphEditor(TransformProperty::rotation, id);
    EXPECT_EQ(e->effectiveGraphProperty(), TransformProperty::opacity);  // rotation has no keyframes
    EXPECT_TRUE(e->selectedKeyframes().isEmpty());

    // Lanes: a sound-only clip has none, an empty layer the five transform rows.
    e->addTrack();
    EXPECT_EQ(e->laneProperties(0).size(), 5u);
    e->addClipAtPlayhead(e.addMedia(10, 0, 0), 0, 0);
    EXPECT_TRUE(e->laneProperties(0).empty());
    EXPECT_FALSE(e->laneClip(5).has_value());
}

TEST(EditorKeyframes, JumpsInterpolationsCopyAndPaste) {
    CountingEditor e;
    Project p = e->project();
    p.frameRate = 25;
    e->setProject(p);
    e->addClipAtPlayhead(e.addMedia(10), 0, 0);
    const QUuid id = e->selectedClipID();
    for (double t : {1.0, 2.0, 3.0}) {
        e->seek(t);
        e->toggleKeyframeAtPlayhead(id, TransformProperty::rotation);
    }
    e->seek(3.0);
    e->toggleKeyframeAtPlayhead(id, TransformProperty::opacity);  // same time, other property: one stop
    struct Jump {
        double from;
        bool forward;
        double to;
    };
    for (const Jump& j : {Jump{2.01, true, 3}, Jump{2.01, false, 1}, Jump{2.0, true, 3}, Jump{1.0, false, 1},
                          Jump{3.0, true, 3}}) {
        e->seek(j.from);
        e->jumpToKeyframe(j.forward);
        EXPECT_DOUBLE_EQ(e->playhead(), j.to) << j.from << (j.forward ? " K" : " J");
    }

    EXPECT_FALSE(e->setInterpolation(KeyframeInterpolation::hold));
    const auto rot = e->clip(id)->transform->rotation.keyframes;
    e->setSelectedKeyframes({rot[0].id});
    EXPECT_TRUE(e->setInterpolation(KeyframeInterpolation::easyEaseIn));
    EXPECT_EQ(e->clip(id)->transform->rotation.keyframes[0].easeIn, KeyframeEase::ease);
    EXPECT_EQ(e->clip(id)->transform->rotation.keyframes[0].easeOut, KeyframeEase::linear);
    e->setInterpolation(KeyframeInterpolation::hold);
    e->setInterpolation(KeyframeInterpolation::hold);
    EXPECT_EQ(e->clip(id)->transform->rotation.keyframes[0].easeOut, KeyframeEase::linear);

    // Copy two keyframes a second apart and paste them 0.01 s from the third: it is replaced.
    e->setSelectedKeyframes({rot[0].id, rot[1].id});
    EXPECT_TRUE(e->copyKeyframes());
    e->seek(3.01);
    EXPECT_TRUE(e->pasteKeyframes());
    const auto after = e->clip(id)->transform->rotation.keyframes;
    ASSERT_EQ(after.size(), 4u);
    EXPECT_DOUBLE_EQ(after[2].time, 3.0);
    EXPECT_DOUBLE_EQ(after[3].time, 4.0);
    EXPECT_EQ(e->selectedKeyframes().size(), 2u);
    EXPECT_TRUE(e->selectedKeyframes().contains(after[2].id));

    e->setSelectedClipID({});
    e->setSelectedKeyframes({after[0].id});
    EXPECT_FALSE(e->copyKeyframes());
    EXPECT_FALSE(e->pasteKeyframes());
    EXPECT_FALSE(e->canPasteKeyframes());
    EXPECT_EQ(e->keyframeClipboard().size(), 2u);
    e->toggleTrackLanes();
    EXPECT_TRUE(e->expandedTracks().isEmpty());
}

TEST(EditorPlayhead, StepsAndSeeksOnTheFrameGrid) {
    CountingEditor e;
    e->seek(5);
    EXPECT_EQ(e->playhead(), 0);  // empty timeline
    e->addClipAtPlayhead(e.addMedia(1.02), 0, 0);
    struct Case {
        double from;
        int step;
        double expected;
    };
    for (const Case& c : {Case{0, -1, 0}, Case{1.01, 1, 31.0 / 30}, Case{nan, 0, 0}, Case{99, 0, 31.0 / 30},
                          Case{-3, 1, 1.0 / 30}}) {
        e->seek(c.from);
        if (c.step) e->stepFrames(c.step);
        EXPECT_DOUBLE_EQ(e->playhead(), c.expected) << c.from << " + " << c.step;
    }
}

}  // namespace
}  // namespace qm
