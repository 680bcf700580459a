// Blend modes with alpha against the W3C compositing formula written on straight colours.

#include <gtest/gtest.h>

#include <cmath>

#include "platform/raster/blend_modes.h"

namespace qm {
namespace {

// B(Cb, Cs) of each separable mode on straight colours.
double separable(SeparableBlend mode, double cb, double cs) {
    switch (mode) {
        case SeparableBlend::normal: return cs;
        case SeparableBlend::multiply: return cb * cs;
        case SeparableBlend::screen: return cb + cs - cb * cs;
        case SeparableBlend::overlay: return cb <= 0.5 ? 2 * cb * cs : 1 - 2 * (1 - cb) * (1 - cs);
        case SeparableBlend::lighten: return std::max(cb, cs);
        case SeparableBlend::darken: return std::min(cb, cs);
        case SeparableBlend::difference: return std::abs(cb - cs);
        case SeparableBlend::softLight: {
            if (cs <= 0.5) return cb - (1 - 2 * cs) * cb * (1 - cb);
            const double d = cb <= 0.25 ? ((16 * cb - 12) * cb + 4) * cb : std::sqrt(cb);
            return cb + (2 * cs - 1) * (d - cb);
        }
        case SeparableBlend::add: return 0;
    }
    return 0;
}

TEST(BlendModes, SeparableModesWithAlphaFollowTheW3CFormula) {
    const double straight[][4] = {{0.9, 0.2, 0.6, 0.5}, {0.1, 0.7, 0.3, 0.8}, {0.4, 0.4, 0.95, 1}, {0.2, 0.6, 0.1, 0.3}};
    for (auto mode : {SeparableBlend::normal, SeparableBlend::multiply, SeparableBlend::screen, SeparableBlend::overlay,
                      SeparableBlend::lighten, SeparableBlend::darken, SeparableBlend::difference, SeparableBlend::softLight})
        for (const auto& s : straight)
            for (const auto& b : straight) {
                const double as = s[3], ab = b[3];
                const Rgba got = blendPixel(premultiplied({float(s[0]), float(s[1]), float(s[2]), float(as)}),
                                            premultiplied({float(b[0]), float(b[1]), float(b[2]), float(ab)}), mode);
                const float channels[3] = {got.r, got.g, got.b};
                for (int c = 0; c < 3; ++c) {
                    const double want = s[c] * as * (1 - ab) + b[c] * ab * (1 - as) + as * ab * separable(mode, b[c], s[c]);
                    EXPECT_NEAR(channels[c], want, 1e-5) << int(mode);
                }
                EXPECT_NEAR(got.a, as + ab - as * ab, 1e-6);
            }
    // Addition is the clamped sum of the premultiplied values.
    const Rgba sum = blendPixel({0.6f, 0.2f, 0.1f, 0.7f}, {0.5f, 0.1f, 0.0f, 0.6f}, SeparableBlend::add);
    EXPECT_FLOAT_EQ(sum.r, 1.0f);
    EXPECT_FLOAT_EQ(sum.g, 0.3f);
    EXPECT_FLOAT_EQ(sum.a, 1.0f);
}

}  // namespace
}  // namespace qm
