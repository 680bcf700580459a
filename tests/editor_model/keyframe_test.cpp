// Keyframe evaluation against values worked out by hand, and the keyframe list edits the
// inspector, timeline and graph editor make.

#include <algorithm>
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "editor/model/clip_transform.h"

namespace qm {
namespace {

Keyframe<double> key(double time, double value, KeyframeEase in = KeyframeEase::linear,
                     KeyframeEase out = KeyframeEase::linear) {
    Keyframe<double> k = Keyframe<double>::make(time, value);
    k.easeIn = in;
    k.easeOut = out;
    return k;
}

Animatable<double> ramp(KeyframeEase out, KeyframeEase in) { return {-1, {key(0, 0, KeyframeEase::linear, out), key(1, 10, in)}}; }

constexpr double kNaN = NAN;
constexpr double kTolerance30fps = 0.5 / 30;

TEST(KeyframeEvaluation, WorkedValues) {
    const auto linear = ramp(KeyframeEase::linear, KeyframeEase::linear);
    const auto held = ramp(KeyframeEase::hold, KeyframeEase::linear);
    const auto eased = ramp(KeyframeEase::ease, KeyframeEase::ease);
    auto leaving = eased, arriving = eased;  // speed 3 out of the first or into the second key
    leaving.keyframes[0].outVelocity = 3;
    arriving.keyframes[1].inVelocity = 3;
    struct Case {
        const char* name;
        const Animatable<double>* a;
        double t, expected, tolerance;
    } cases[] = {
        {"linear quarter", &linear, 0.25, 2.5, 0},
        {"before first holds first", &linear, -3, 0, 0},
        {"after last holds last", &linear, 7, 10, 0},
        {"hold just before next", &held, 0.999, 0, 0},
        {"hold reaches next", &held, 1, 10, 0},
        // Handles (1/3, 0) and (2/3, 1): x(s) = s and y(s) = 3s² − 2s³.
        {"ease middle", &eased, 0.5, 5, 1e-9},
        {"ease quarter", &eased, 0.25, 1.5625, 1e-9},
        // Handles (1/3, 1) and (2/3, 1): y(s) = 3s − 3s² + s³; (1/3, 0) and (2/3, 0): y(s) = s³.
        {"leaving fast", &leaving, 0.5, 8.75, 1e-9},
        {"arriving fast", &arriving, 0.5, 1.25, 1e-9},
    };
    for (const auto& c : cases) EXPECT_NEAR(c.a->valueAt(c.t), c.expected, c.tolerance) << c.name;

    const Animatable<double> none{42, {}};
    const Animatable<double> single{42, {key(3, 7)}};
    for (double t : {-10.0, 0.0, 3.0, 99.0}) {
        EXPECT_EQ(none.valueAt(t), 42);
        EXPECT_EQ(single.valueAt(t), 7);
    }
}

TEST(KeyframeEvaluation, OvershootMiddleKeyframesAndVectors) {
    auto overshoot = ramp(KeyframeEase::ease, KeyframeEase::linear);
    overshoot.keyframes[0].outInfluence = 1;
    overshoot.keyframes[0].outVelocity = 6;
    double highest = 0;
    for (int i = 1; i < 100; ++i) highest = std::max(highest, overshoot.valueAt(i / 100.0));
    EXPECT_GT(highest, 10);

    const Animatable<double> three{0, {key(0, 0), key(1, 10), key(2, 4)}};
    EXPECT_EQ(three.valueAt(1), 10);
    const Animatable<double> easedThree{0, {key(0, 0, KeyframeEase::ease, KeyframeEase::ease),
                                            key(1, 10, KeyframeEase::ease, KeyframeEase::ease), key(2, 4, KeyframeEase::ease)}};
    EXPECT_NEAR(easedThree.valueAt(1), 10, 1e-9);

    const Animatable<Vec2> path{{}, {Keyframe<Vec2>::make(0, {0, 0}), Keyframe<Vec2>::make(1, {10, 20})}};
    EXPECT_EQ(path.valueAt(0.5), (Vec2{5, 10}));
}

TEST(KeyframeEditing, FindSetAndToggle) {
    Animatable<double> a{0, {key(1.0, 5)}};
    EXPECT_EQ(a.keyframeIndex(1.016, kTolerance30fps), 0u);
    EXPECT_FALSE(a.keyframeIndex(1.02, kTolerance30fps));
    Animatable<double> twins{0, {key(1.0, 1), key(1.01, 2)}};
    EXPECT_EQ(twins.keyframeIndex(1.005, kTolerance30fps), 0u);

    Keyframe<double> replaced = a.keyframes[0];
    replaced.value = 8;
    a.setKeyframe(1.01, 8, kTolerance30fps);
    EXPECT_EQ(a.keyframes, std::vector{replaced}) << "id, time and eases kept";
    a.setKeyframe(0.2, 3, kTolerance30fps);
    ASSERT_EQ(a.keyframes.size(), 2u);
    EXPECT_EQ(a.keyframes[0].time, 0.2);
    EXPECT_EQ(a.value, 0) << "the static value is not touched";

    Animatable<double> opacity{50, {}};
    opacity.toggleAnimation(2);
    ASSERT_EQ(opacity.keyframes.size(), 1u);
    EXPECT_EQ(opacity.keyframes[0].time, 2);
    EXPECT_EQ(opacity.keyframes[0].value, 50);
    opacity.setKeyframe(4, 100, kTolerance30fps);
    opacity.toggleAnimation(3);
    EXPECT_TRUE(opacity.keyframes.empty());
    EXPECT_EQ(opacity.value, 75);

    Animatable<double> toggled{0, {key(0, 0), key(2, 20)}};
    toggled.toggleKeyframe(1, kTolerance30fps);  // adds the value shown at 1
    EXPECT_EQ(toggled.keyframes.at(1).value, 10);
}

TEST(KeyframeEditing, RemoveInterpolationHandlesAndComponents) {
    Animatable<double> a{-1, {key(0, 0), key(1, 10)}};
    a.removeKeyframes({a.keyframes[0].id}, 0.5);
    EXPECT_EQ(a.value, -1) << "one keyframe left keeps the static value";
    Animatable<double> b{-1, {key(0, 0), key(1, 10)}};
    b.removeKeyframes({b.keyframes[0].id, b.keyframes[1].id}, 0.5);
    EXPECT_TRUE(b.keyframes.empty());
    EXPECT_EQ(b.value, 5);

    Animatable<double> c{0, {key(0, 0, KeyframeEase::linear, KeyframeEase::ease)}};
    const QSet<QUuid> ids{c.keyframes[0].id};
    c.applyInterpolation(KeyframeInterpolation::hold, ids);
    EXPECT_EQ(c.keyframes[0].easeOut, KeyframeEase::hold);
    c.applyInterpolation(KeyframeInterpolation::hold, ids);
    EXPECT_EQ(c.keyframes[0].easeOut, KeyframeEase::linear);
    c.keyframes[0].inVelocity = 2;
    c.applyInterpolation(KeyframeInterpolation::easyEaseOut, ids);
    EXPECT_EQ(c.keyframes[0].easeOut, KeyframeEase::ease);
    EXPECT_EQ(c.keyframes[0].easeIn, KeyframeEase::linear);
    EXPECT_EQ(c.keyframes[0].inVelocity, 2);

    const QUuid id = c.keyframes[0].id;
    c.setEaseHandle(id, true, 5, -10);
    EXPECT_EQ(c.keyframes[0].outInfluence, 1);
    EXPECT_EQ(c.keyframes[0].outVelocity, -3);
    c.setEaseHandle(id, false, kNaN, kNaN);  // NaN lands on the lower end
    EXPECT_EQ(c.keyframes[0].inInfluence, 0.01);
    EXPECT_EQ(c.keyframes[0].inVelocity, -3);
    c.keyframes[0].easeOut = KeyframeEase::hold;
    c.setEaseHandle(id, true, 0.5, 0.5);
    EXPECT_EQ(c.keyframes[0].outInfluence, 1) << "an outgoing edit on a hold changes nothing";

    Animatable<Vec2> v{{}, {Keyframe<Vec2>::make(0, {1, 2})}};
    v.setKeyframeComponent(v.keyframes[0].id, 0, 7);
    v.setKeyframeComponent(v.keyframes[0].id, 5, 9);
    EXPECT_EQ(v.keyframes[0].value, (Vec2{7, 9}));
}

TEST(KeyframeEditing, NonFiniteInputChangesNothing) {
    const Animatable<double> original{3, {key(0, 0), key(1, 10)}};
    const auto unchanged = [&](auto edit, const char* name) {
        Animatable<double> a = original;
        edit(a);
        EXPECT_EQ(a, original) << name;
    };
    unchanged([](auto& a) { a.setKeyframe(kNaN, 1, 0.1); }, "set at NaN");
    unchanged([](auto& a) { a.setKeyframe(5, INFINITY, 0.1); }, "set infinity");
    unchanged([](auto& a) { a.toggleKeyframe(kNaN, 0.1); }, "toggle at NaN");
    unchanged([](auto& a) { a.toggleAnimation(kNaN); }, "stopwatch at NaN");
    unchanged([](auto& a) { a.removeKeyframes({a.keyframes[0].id, a.keyframes[1].id}, kNaN); }, "remove at NaN");
    unchanged([](auto& a) { a.setKeyframeComponent(a.keyframes[0].id, 0, kNaN); }, "component NaN");
    unchanged([](auto& a) { a.mergeKeyframes({key(kNaN, 1)}, 0.1); }, "merge NaN time");

    ClipTransform t;
    t.opacity = original;
    const ClipTransform before = t;
    t.moveSelectedKeyframes({t.opacity.keyframes[0].id}, INFINITY);
    EXPECT_TRUE(t.pasteKeyframes(t.keyframes({t.opacity.keyframes[0].id}), kNaN, 0.1).isEmpty());
    EXPECT_EQ(t, before);
}

TEST(TransformKeyframes, MoveListCopyAndPaste) {
    ClipTransform t;
    t.position.setKeyframe(5, {1, 1}, kTolerance30fps);
    t.opacity.setKeyframe(1, 50, kTolerance30fps);
    const auto graph = t.graphKeyframes(TransformProperty::position);
    ASSERT_EQ(graph.size(), 1u);
    EXPECT_EQ(graph[0].values, (std::vector<double>{1, 1}));
    EXPECT_EQ(t.graphKeyframes(TransformProperty::opacity)[0].values, std::vector<double>{50});
    const auto listing = t.allKeyframes();
    ASSERT_EQ(listing.size(), 2u);
    EXPECT_EQ(listing[0].property, TransformProperty::position);
    EXPECT_EQ(listing[1].property, TransformProperty::opacity);

    ClipTransform m;
    m.rotation = {0, {key(0.5, 1), key(1, 2), key(2, 3)}};
    const QUuid first = m.rotation.keyframes[0].id, second = m.rotation.keyframes[1].id;
    m.moveSelectedKeyframes({first}, -2);
    EXPECT_EQ(m.rotation.keyframes[0].time, 0);
    m.moveSelectedKeyframes({first, second}, 2.5);
    EXPECT_EQ(m.rotation.keyframes[0].value, 3) << "moved past the third, the list is re-sorted";

    ClipTransform fresh = m.withFreshKeyframeIDs();
    EXPECT_NE(fresh.rotation.keyframes[2].id, m.rotation.keyframes[2].id);
    for (std::size_t i = 0; i < 3; ++i) fresh.rotation.keyframes[i].id = m.rotation.keyframes[i].id;
    EXPECT_EQ(fresh, m);

    ClipTransform source;
    source.opacity = {100, {key(2, 20), key(3, 30)}};
    source.position = {{}, {Keyframe<Vec2>::make(2, {4, 4})}};
    const auto clipboard = source.keyframes({source.opacity.keyframes[0].id, source.opacity.keyframes[1].id,
                                             source.position.keyframes[0].id});
    ASSERT_EQ(clipboard.size(), 3u);
    EXPECT_EQ(clipboard[0].property, TransformProperty::position);

    ClipTransform target;
    target.opacity = {100, {key(10.01, 1), key(10.5, 2)}};
    const QSet<QUuid> pasted = target.pasteKeyframes(clipboard, 10, kTolerance30fps);
    EXPECT_EQ(pasted.size(), 3);
    ASSERT_EQ(target.opacity.keyframes.size(), 3u);
    EXPECT_EQ(target.opacity.keyframes[0].time, 10);
    EXPECT_EQ(target.opacity.keyframes[0].value, 20);
    EXPECT_EQ(target.opacity.keyframes[1].value, 2) << "a keyframe half a second away stays";
    EXPECT_EQ(target.opacity.keyframes[2].time, 11);
    EXPECT_TRUE(pasted.contains(target.opacity.keyframes[0].id));
    EXPECT_EQ(target.position.keyframes.size(), 1u);

    // A mismatched kind is skipped; two entries inside the tolerance paste as the later one.
    std::vector<KeyframeClipboardEntry> close{{TransformProperty::rotation, key(0, 1)},
                                              {TransformProperty::rotation, key(0.01, 2)},
                                              {TransformProperty::scale, key(0, 3)}};
    ClipTransform into;
    into.pasteKeyframes(close, 4, kTolerance30fps);
    ASSERT_EQ(into.rotation.keyframes.size(), 1u);
    EXPECT_EQ(into.rotation.keyframes[0].value, 2);
    EXPECT_TRUE(into.scale.keyframes.empty());
}

// The step-40 parameter of bisection, bit for bit, including curves the handles' clamps rule out
// (a file may hold them), a flat middle (influence 1 on both sides) and roots on dyadic points.
TEST(KeyframeEvaluation, BisectedParameterIsThePlainBisectionBitForBit) {
    const auto plain = [](double ax, double bx, double cx, double u) {
        double lo = 0, s = 0;
        for (int i = 1; i <= 40; ++i) {
            s = lo + std::ldexp(1.0, -i);
            if (((ax * s + bx) * s + cx) * s < u) lo = s;
        }
        return s;
    };
    std::mt19937 random(4);
    std::uniform_real_distribution<double> influence(0.01, 1), wild(-2, 6), fraction(0, 1);
    for (int i = 0; i < 200000; ++i) {
        double p1x = i % 3 ? influence(random) : wild(random), p2x = 1 - (i % 5 ? influence(random) : wild(random));
        if (i % 7 == 0) p1x = 1, p2x = 0;
        if (i % 11 == 0) p1x = 1.0 / 3, p2x = 2.0 / 3;
        const double u = i % 4 ? fraction(random) : std::ldexp(std::floor(fraction(random) * 4096), -12);
        const double ax = 1 + 3 * p1x - 3 * p2x, bx = 3 * p2x - 6 * p1x, cx = 3 * p1x;
        ASSERT_EQ(detail::bisectedParameter(ax, bx, cx, u), plain(ax, bx, cx, u)) << i << " u=" << u;
    }
    EXPECT_EQ(detail::bisectedParameter(0, 0, 1, kNaN), plain(0, 0, 1, kNaN));
}

// The eased fraction of a 0-to-1 segment against the evaluation written out step by step: handles
// from the eases, influences and velocities, then forty bisection steps on the expanded x(s).
// Where no step of that bisection comes within 1e-14 of u, rounding cannot turn a step the other
// way, so the two agree bit for bit; nearer ties may end one step apart (2^-40 in s).
TEST(KeyframeEvaluation, EasedFractionIsTheFortyStepBisectionOverRandomHandles) {
    const auto literal = [](const Keyframe<double>& a, const Keyframe<double>& b, double u, double& closest) {
        const bool easeOut = a.easeOut == KeyframeEase::ease, easeIn = b.easeIn == KeyframeEase::ease;
        const double p1x = easeOut ? a.outInfluence : 1.0 / 3, p1y = easeOut ? a.outInfluence * a.outVelocity : 1.0 / 3;
        const double p2x = easeIn ? 1 - b.inInfluence : 2.0 / 3, p2y = easeIn ? 1 - b.inInfluence * b.inVelocity : 2.0 / 3;
        closest = INFINITY;
        if (std::abs(p1x - p1y) < 1e-12 && std::abs(p2x - p2y) < 1e-12) return u;
        const auto x = [&](double s) { return 3 * (1 - s) * (1 - s) * s * p1x + 3 * (1 - s) * s * s * p2x + s * s * s; };
        double lo = 0, hi = 1, s = 0;
        for (int step = 0; step < 40; ++step) {
            s = (lo + hi) * 0.5;
            closest = std::min(closest, std::abs(x(s) - u));
            if (x(s) < u) lo = s;
            else hi = s;
        }
        return 3 * (1 - s) * (1 - s) * s * p1y + 3 * (1 - s) * s * s * p2y + s * s * s;
    };
    std::mt19937 random(8104);
    std::uniform_real_distribution<double> influence(0.01, 1), velocity(-3, 6), fraction(0, 1);
    const KeyframeEase eases[] = {KeyframeEase::linear, KeyframeEase::ease, KeyframeEase::ease};
    int exact = 0;
    const int pairs = 4000;
    for (int i = 0; i < pairs; ++i) {
        Keyframe<double> a = key(0, 0, KeyframeEase::linear, eases[random() % 3]);
        Keyframe<double> b = key(1, 1, eases[random() % 3]);
        a.outInfluence = influence(random);
        a.outVelocity = i % 9 == 0 ? 1.0 : velocity(random);
        b.inInfluence = influence(random);
        b.inVelocity = velocity(random);
        const Animatable<double> segment{0, {a, b}};
        for (int j = 0; j < 4; ++j) {
            const double u = fraction(random);
            double closest = 0;
            const double expected = literal(a, b, u, closest);
            if (closest > 1e-14) {
                ASSERT_EQ(segment.valueAt(u), expected) << i << " u=" << u;
                ++exact;
            } else {
                // y' is a Bernstein quadratic whose coefficients stay within 3 x 11 for these handles.
                ASSERT_NEAR(segment.valueAt(u), expected, 33 * std::ldexp(1.0, -39)) << i << " u=" << u;
            }
        }
    }
    EXPECT_GT(exact, pairs * 4 * 9 / 10);
}

// The buckets beside a list give the segment the binary search gives, at every keyframe time,
// between them, on repeated times and after a write behind their back; the edits renew them.
TEST(KeyframeEvaluation, BucketsFollowTheListThroughEveryEdit) {
    std::mt19937 random(6);
    std::uniform_real_distribution<double> gap(0, 1);
    Animatable<double> a;
    std::vector<Keyframe<double>> keys;
    for (int i = 0; i < 300; ++i) keys.push_back(key(i < 100 ? i * 0.001 : 1 + i + (i % 3 ? gap(random) : 0.0), i));
    keys.push_back(keys[150]);  // a repeated time
    keys.back().value = -5;
    a.keyframes = keys;
    a.sortKeyframes();
    const auto fits = [](const Animatable<double>& x) {
        const auto* buckets = x.keyframes.companion<detail::KeyframeBuckets>();
        std::vector<double> times;
        for (const auto& k : x.keyframes) times.push_back(k.time);
        const auto fresh = detail::KeyframeBuckets::make(times);
        return buckets && fresh && buckets->count == fresh->count && buckets->before == fresh->before &&
               buckets->origin == fresh->origin && buckets->scale == fresh->scale;
    };
    const auto sameAsSearch = [](const Animatable<double>& x) {
        Animatable<double> bare{x.value, std::vector<Keyframe<double>>(x.keyframes)};  // no buckets
        std::vector<double> times{kNaN};
        for (const auto& k : x.keyframes) times.insert(times.end(), {k.time, k.time + 1e-4, std::nextafter(k.time, -1)});
        for (double t : times)
            if (bare.valueAt(t) != x.valueAt(t) && !std::isnan(t)) return false;
        return std::isnan(x.valueAt(kNaN)) == std::isnan(bare.valueAt(kNaN));
    };
    ASSERT_TRUE(fits(a));
    EXPECT_TRUE(sameAsSearch(a));
    a.setKeyframe(50.25, 7, 0.01);
    EXPECT_TRUE(fits(a) && sameAsSearch(a)) << "insert";
    a.removeKeyframes({a.keyframes[3].id, a.keyframes[120].id}, 0);
    EXPECT_TRUE(fits(a) && sameAsSearch(a)) << "remove";
    a.mergeKeyframes({key(400.5, 1)}, 0.01);
    EXPECT_TRUE(fits(a) && sameAsSearch(a)) << "merge";
    ClipTransform t;
    t.rotation = a;
    t.moveSelectedKeyframes({a.keyframes[10].id, a.keyframes[200].id}, 30.3);
    EXPECT_TRUE(fits(t.rotation) && sameAsSearch(t.rotation)) << "move";
    Animatable<double> copy = a;
    copy.keyframes[40].time = 77.7;  // a direct write keeps the old buckets
    std::stable_sort(copy.keyframes.begin(), copy.keyframes.end(), [](auto& x, auto& y) { return x.time < y.time; });
    EXPECT_FALSE(fits(copy));
    EXPECT_TRUE(sameAsSearch(copy)) << "outdated buckets";
    EXPECT_TRUE(fits(a)) << "the copy's write took a storage of its own";
}

}  // namespace
}  // namespace qm
