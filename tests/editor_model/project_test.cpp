// The project look-ups, clip opacity with fades, the tone curve and the write-back of a sync run.

#include <gtest/gtest.h>

#include "editor/model/project.h"

namespace qm {
namespace {

Clip clip(double start, double duration, QUuid media = {}) {
    Clip c;
    c.id = QUuid::createUuid();
    c.mediaID = media.isNull() ? QUuid::createUuid() : media;
    c.start = start;
    c.duration = duration;
    return c;
}

Track track(std::vector<Clip> clips) { return {QUuid::createUuid(), "T", std::move(clips), true, true}; }

TEST(Project, DurationAndActiveClip) {
    Project p;
    EXPECT_EQ(p.duration(), 0);
    const Clip a = clip(0, 10), b = clip(5, 10), twin = clip(5, 2);
    p.tracks = {track({a, b, twin}), track({clip(20, 3)})};
    p.tracks[1].isVisible = false;
    EXPECT_EQ(p.duration(), 23) << "hidden tracks count";
    const Track& t = p.tracks[0];
    EXPECT_EQ(t.clip(4)->id, a.id);
    EXPECT_EQ(t.clip(7)->id, b.id) << "equal starts: the earlier in the array";
    EXPECT_EQ(t.clip(12)->id, b.id);
    EXPECT_EQ(t.clip(15), nullptr) << "the span is half-open";
    EXPECT_EQ(p.clipLocation(twin.id), (ClipLocation{0, 2}));
    EXPECT_FALSE(p.clipLocation(QUuid::createUuid()));
}

TEST(Project, EffectiveOpacity) {
    Clip c = clip(2, 3);
    c.opacity = 0.4;
    c.fadeIn = 1;
    struct Case {
        double t, expected;
    } faded[] = {{1, 0}, {2, 0}, {2.5, 0.2}, {4, 0.4}};
    for (const auto& f : faded) EXPECT_DOUBLE_EQ(c.effectiveOpacity(f.t), f.expected) << f.t;

    c.fadeIn = c.fadeOut = 4;  // both longer than the clip: the ramps multiply
    EXPECT_DOUBLE_EQ(c.effectiveOpacity(3), 0.4 * 0.25 * 0.5);

    c.fadeIn = c.fadeOut = 0;
    c.sourceIn = 10;
    c.transform = ClipTransform::makeDefault({}, {}, 100);
    c.transform->opacity.setKeyframe(10, 0, 0.01);  // clip-local time 10 is the clip's start
    c.transform->opacity.setKeyframe(12, 80, 0.01);
    EXPECT_DOUBLE_EQ(c.effectiveOpacity(3), 0.4) << "the transform's percent replaces opacity";
}

TEST(ClipRecords, ToneCurveAndVisibleProperties) {
    const ToneCurve identity;
    const ToneCurve bent{{{0, 0}, {0.5, 0.8}, {1, 1}}};
    const ToneCurve single{{{0.2, 0.9}}};
    struct Case {
        const ToneCurve* curve;
        double x, expected;
    } cases[] = {{&identity, 0.3, 0.3},  {&identity, -0.5, 0}, {&identity, 1.5, 1},   {&bent, 0.25, 0.4375},
                 {&bent, 0.5, 0.8},      {&bent, 0.75, 0.9375}, {&single, 1.5, 1.5}, {&single, -2, -2}};
    for (const auto& c : cases) EXPECT_NEAR(c.curve->value(c.x), c.expected, 1e-12) << c.x;

    const auto samples = toneCurveSamples(1024, identity);
    ASSERT_EQ(samples.size(), 3072u);
    EXPECT_EQ(std::vector<float>(samples.begin(), samples.begin() + 3), std::vector<float>(3, 0.f));
    EXPECT_EQ(std::vector<float>(samples.end() - 3, samples.end()), std::vector<float>(3, 1.f));
    EXPECT_TRUE(toneCurveSamples(0, identity).empty());

    ClipTransform t;
    EXPECT_EQ(t.visibleTransformProperties().size(), 5u);
    t.effects.keyEnabled = true;
    const auto keyed = t.visibleTransformProperties();
    ASSERT_EQ(keyed.size(), 8u);
    EXPECT_EQ(keyed.back(), TransformProperty::keySpill);
}

TEST(Project, TrackRoomUsesTolerance) {
    Project p;
    p.tracks = {track({clip(0, 10)})};
    EXPECT_TRUE(p.trackHasRoom(0, clip(10, 5)));
    EXPECT_TRUE(p.trackHasRoom(0, clip(10 - 5e-10, 5)));
    EXPECT_FALSE(p.trackHasRoom(0, clip(10 - 1e-6, 5)));
}

TEST(Project, ApplySync) {
    const QUuid refMedia = QUuid::createUuid(), camA = QUuid::createUuid(), camB = QUuid::createUuid();
    Clip reference = clip(10, 20, refMedia);
    reference.sourceIn = 4;  // reference medium's time 0 sits at 6 on the timeline
    Clip a = clip(0, 5, camA);
    a.sourceIn = 1;
    const Clip sameMedium = clip(40, 5, refMedia), unsynced = clip(50, 5, camB);

    Project p;
    p.tracks = {track({a}), track({reference, sameMedium}), track({unsynced})};
    EXPECT_EQ(p.applySync(QUuid::createUuid(), {{camA, 1}}), 0);
    EXPECT_EQ(p.applySync(reference.id, {{camA, 3}, {refMedia, 9}}), 1);
    ASSERT_EQ(p.tracks[0].clips.size(), 1u);
    EXPECT_EQ(p.tracks[0].clips[0].start, 6 + 3 + 1) << "back on its own track";
    EXPECT_EQ(p.tracks[1].clips[1].start, 40) << "clips of the reference medium stay";

    // Offset -8 puts A at -1: everything moves 1 s later.
    Project shifted;
    shifted.tracks = {track({a}), track({reference}), track({unsynced})};
    EXPECT_EQ(shifted.applySync(reference.id, {{camA, -8}, {camB, NAN}}), 1);
    EXPECT_EQ(shifted.tracks[0].clips[0].start, 0);
    EXPECT_EQ(shifted.tracks[1].clips[0].start, 11);
    EXPECT_EQ(shifted.tracks[2].clips[0].start, 51) << "a NaN offset counts as none";

    // Blocked everywhere except the reference's track: a new "Layer 4" at the clip's old index.
    Clip b = clip(0, 5, camA);
    Project full;
    full.tracks = {track({clip(0, 100)}), track({reference}), track({b, clip(0, 100)})};
    EXPECT_EQ(full.applySync(reference.id, {{camA, 0}}), 1);
    ASSERT_EQ(full.tracks.size(), 4u);
    EXPECT_EQ(full.tracks[2].name, "Layer 4");
    EXPECT_EQ(full.tracks[2].clips[0].id, b.id);
    EXPECT_EQ(full.tracks[1].clips.size(), 1u) << "never onto the reference's track";

    // Candidates by distance: from track 2, track 1 (reference) is skipped, 3 comes before 0.
    Clip c = clip(0, 5, camA);
    Project near;
    near.tracks = {track({}), track({reference}), track({c, clip(0, 100)}), track({})};
    near.applySync(reference.id, {{camA, 0}});
    EXPECT_EQ(near.tracks[3].clips.size(), 1u);
    EXPECT_TRUE(near.tracks[0].clips.empty());
}

TEST(Project, NamesAndLabels) {
    const Project fresh = Project::makeNew();
    ASSERT_EQ(fresh.tracks.size(), 1u);
    EXPECT_EQ(fresh.tracks[0].name, "Layer 1");
    EXPECT_EQ(layerName(12), "Layer 12");
    EXPECT_STREQ(label(BlendMode::softLight), "Soft Light");
    EXPECT_STREQ(label(BlendMode::darken), "Darken");
}

}  // namespace
}  // namespace qm
