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
