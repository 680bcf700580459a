// The clip effect chain against the formulas written out here in double precision: chroma key
// with spill, exposure in linear light, saturation, contrast and the tone curve, on single
// pixels and on a whole layer.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "editor/model/clip_effects.h"

namespace qm {
namespace {

struct Px {
    double r, g, b, a;
};

double decode(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }
double encode(double l) { return l <= 0.0031308 ? l * 12.92 : 1.055 * std::pow(l, 1 / 2.4) - 0.055; }
double clamp1(double v) { return std::clamp(v, 0.0, 1.0); }

// The chain for a straight pixel, premultiplied.
Px reference(const ClipTransform& t, Px c, bool preview) {
    const ClipEffects& fx = t.effects;
    if (fx.keyEnabled) {
        auto chroma = [](double r, double g, double b) {
            return std::pair{-0.1146 * r - 0.3854 * g + 0.5 * b, 0.5 * r - 0.4542 * g - 0.0458 * b};
        };
        const auto [u, v] = chroma(c.r, c.g, c.b);
        const auto [uk, vk] = chroma(fx.keyColor.r, fx.keyColor.g, fx.keyColor.b);
        const double tol = t.keyTolerance.value / 100 * 0.45, soft = t.keySoftness.value / 100 * 0.3;
        const double x = clamp1((std::hypot(u - uk, v - vk) - tol) / (soft + 0.0001));
        const double alpha = c.a * x * x * (3 - 2 * x);
        if (preview && fx.showMatte) return {alpha, alpha, alpha, 1};
        double* ch[3] = {&c.r, &c.g, &c.b};
        const RGBColor k = fx.keyColor;
        const int d = (k.g >= k.r && k.g >= k.b) ? 1 : (k.b >= k.r ? 2 : 0);
        double limit = 0;
        for (int i = 0; i < 3; ++i)
            if (i != d) limit = std::max(limit, *ch[i]);
        *ch[d] -= std::max(*ch[d] - limit, 0.0) * t.keySpill.value / 100;
        c = {clamp1(c.r), clamp1(c.g), clamp1(c.b), alpha};
    }
    if (fx.colorEnabled) {
        const double e = t.exposure.value, s = t.saturation.value / 100, k = t.contrast.value / 100 + 1;
        double* ch[3] = {&c.r, &c.g, &c.b};
        for (double* p : ch) *p = encode(decode(*p) * std::exp2(e));
        const double l = 0.2125 * c.r + 0.7154 * c.g + 0.0721 * c.b;
        for (double* p : ch) *p = clamp1(((l + s * (*p - l)) - 0.5) * k + 0.5);
        for (double* p : ch) *p = fx.curve.value(*p);
    }
    return {c.r * c.a, c.g * c.a, c.b * c.a, c.a};
}

void expectNear(Rgba got, Px want, const char* what) {
    constexpr double tol = 1.0 / 255;
    EXPECT_NEAR(got.r, want.r, tol) << what;
    EXPECT_NEAR(got.g, want.g, tol) << what;
    EXPECT_NEAR(got.b, want.b, tol) << what;
    EXPECT_NEAR(got.a, want.a, tol) << what;
}

ClipTransform keyed(RGBColor key) {
    ClipTransform t = ClipTransform::makeDefault({0, 0}, {0, 0}, 100);
    t.effects.keyEnabled = true;
    t.effects.keyColor = key;
    return t;
}

TEST(ClipEffects, KeyColourDominantChannelTiesGoToGreenThenBlue) {
    const struct {
        RGBColor key;
        std::array<float, 3> dominant;
    } cases[] = {{{0.1, 0.75, 0.25}, {0, 1, 0}}, {{0.5, 0.5, 0.5}, {0, 1, 0}}, {{0.8, 0.2, 0.8}, {0, 0, 1}}, {{0.9, 0.2, 0.3}, {1, 0, 0}}};
    for (const auto& c : cases) EXPECT_EQ(ClipEffectSettings::make(keyed(c.key), 0, false).dominant, c.dominant);
}

TEST(ClipEffects, PixelsAgainstTheFormulas) {
    ClipTransform key = keyed({0.1, 0.75, 0.25});
    key.keySpill.value = 100;
    ClipTransform graded = ClipTransform::makeDefault({0, 0}, {0, 0}, 100);
    graded.effects.colorEnabled = true;
    graded.exposure.value = 0.7;
    graded.saturation.value = 140;
    graded.contrast.value = -25;
    graded.effects.curve.points = {{0, 0.05}, {0.3, 0.2}, {0.6, 0.7}, {1, 0.95}};
    ClipTransform both = key;
    both.effects.colorEnabled = true;
    both.exposure.value = -1.3;
    both.keyTolerance.value = 5;
    both.keySoftness.value = 60;
    // The spill example (green lowered to the larger of red and blue) and the key colour itself first.
    const Px pixels[] = {{0.2, 0.9, 0.8, 1}, {0.1, 0.75, 0.25, 1}, {0.12, 0.7, 0.3, 0.6}, {0.9, 0.4, 0.1, 1},
                         {0.5, 0.5, 0.5, 0.25}, {0.02, 0.01, 0.03, 1}, {1, 1, 1, 1},          {0.3, 0.6, 0.35, 0.9}};
    for (const ClipTransform* t : {&key, &graded, &both})
        for (bool preview : {false, true}) {
            const ClipEffectChain chain(ClipEffectSettings::make(*t, 0, preview));
            for (const Px& p : pixels)
                expectNear(chain.pixel({float(p.r), float(p.g), float(p.b), float(p.a)}), reference(*t, p, preview), "pixel");
        }
}

TEST(ClipEffects, MatteOnlyInPreviewAndNeverGraded) {
    ClipTransform t = keyed({0.1, 0.75, 0.25});
    t.effects.showMatte = true;
    t.effects.colorEnabled = true;
    t.exposure.value = 2;
    const Rgba p{0.1f, 0.75f, 0.25f, 1};
    expectNear(ClipEffectChain(ClipEffectSettings::make(t, 0, true)).pixel(p), {0, 0, 0, 1}, "matte");
    const ClipEffectSettings exported = ClipEffectSettings::make(t, 0, false);
    EXPECT_FALSE(exported.showMatte);
    EXPECT_TRUE(exported.exposure);
}

TEST(ClipEffects, NeutralStepsAreLeftOut) {
    ClipTransform t = ClipTransform::makeDefault({0, 0}, {0, 0}, 100);
    QImage picture(4, 3, kLayerFormat);
    // Nothing enabled: the very picture comes back.
    EXPECT_EQ(applyClipEffects(picture, t, 0, false).cacheKey(), picture.cacheKey());
    t.effects.colorEnabled = true;
    t.exposure.value = 0.00005;
    ClipEffectSettings s = ClipEffectSettings::make(t, 0, false);
    EXPECT_FALSE(s.exposure || s.controls || !s.curve.empty());
    t.effects.curve.points[2].y += 0.001;
    EXPECT_EQ(ClipEffectSettings::make(t, 0, false).curve.size(), 1024u);
    // A layer runs through the same chain as single pixels, from premultiplied colour.
    picture.fill(QColor::fromRgbF(0.2f, 0.9f, 0.8f, 0.5f));
    const Rgba want = ClipEffectChain(ClipEffectSettings::make(t, 0, false)).pixel({0.2f, 0.9f, 0.8f, 0.5f});
    EXPECT_NEAR(applyClipEffects(picture, t, 0, false).pixelColor(3, 2).greenF(), want.g / want.a, 1.0 / 255);
}

TEST(ClipEffects, AnimatedValuesAreTakenAtTheClipTime) {
    ClipTransform t = ClipTransform::makeDefault({0, 0}, {0, 0}, 100);
    t.effects.colorEnabled = true;
    t.exposure.keyframes = {Keyframe<double>::make(0, 0), Keyframe<double>::make(2, 2)};
    EXPECT_FLOAT_EQ(ClipEffectSettings::make(t, 1, false).exposureGain, 2.0f);
    EXPECT_FALSE(ClipEffectSettings::make(t, 0, false).exposure);
}

// Numbers far past the inspector's limits, as a project file or the graph editor may hold them:
// the formulas' pixels where the formulas stay finite, never a pixel that is not a number.
TEST(ClipEffects, NumbersOfAnySizeGiveTheFormulasPixels) {
    const double big = 1e308;
    const auto with = [](bool key, const std::function<void(ClipTransform&)>& set) {
        ClipTransform t = keyed({0.1, 0.75, 0.25});
        t.effects.keyEnabled = key, t.effects.colorEnabled = !key;
        set(t);
        return t;
    };
    const ClipTransform cases[] = {
        with(false, [](ClipTransform& t) { t.exposure.value = 7.5, t.saturation.value = 640, t.contrast.value = -260; }),
        with(false, [&](ClipTransform& t) { t.exposure.value = 1000, t.effects.curve.points = {{-big, 7}, {0.4, 0.8}, {big, -3}}; }),
        with(false, [](ClipTransform& t) { t.exposure.value = -1000; }), with(false, [&](ClipTransform& t) { t.saturation.value = big; }),
        with(true, [&](ClipTransform& t) { t.keySpill.value = big, t.keySoftness.value = 180; }),
        with(true, [&](ClipTransform& t) { t.effects.keyColor = {big, big, -2}, t.keyTolerance.value = 130; }),
    };
    // No grey: a float's luma of one misses it by an ulp, which a saturation of 1e306 makes 0 or 1.
    const Px pixels[] = {{0.2, 0.9, 0.8, 1}, {0, 0.5, 1, 1}, {0.9, 0.4, 0.1, 0.7}, {0.02, 0.01, 0.03, 1}, {0, 0, 0, 1}};
    for (const ClipTransform& t : cases)
        for (bool preview : {false, true}) {
            const ClipEffectChain chain(ClipEffectSettings::make(t, 0, preview));
            for (const Px& p : pixels)
                expectNear(chain.pixel({float(p.r), float(p.g), float(p.b), float(p.a)}), reference(t, p, preview), "pixel");
        }

    // An eased segment between huge keyframes gives no number at all: the chain takes the lowest
    // tolerance then.
    ClipTransform wild = with(true, [&](ClipTransform& t) {
        t.keyTolerance.keyframes = {Keyframe<double>::make(0, -big), Keyframe<double>::make(2, big)};
        auto& k = t.keyTolerance.keyframes;
        k[0].easeOut = k[1].easeIn = KeyframeEase::ease;
        k[0].outInfluence = k[0].outVelocity = k[1].inInfluence = k[1].inVelocity = big;
    });
    ASSERT_TRUE(std::isnan(wild.keyTolerance.valueAt(1)));
    for (const Px& p : pixels)
        expectNear(ClipEffectChain(ClipEffectSettings::make(wild, 1, false)).pixel({float(p.r), float(p.g), float(p.b), float(p.a)}),
                   reference(with(true, [](ClipTransform& t) { t.keyTolerance.value = 0; }), p, false), "no number");
}

}  // namespace
}  // namespace qm
