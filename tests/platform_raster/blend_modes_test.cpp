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

TEST(BlendModes, OnePassOverSeveralLayersIsEachLayerInTurn) {
    // Layers partly outside the backdrop, overlapping, faded, invisible, in every mode, inside an
    // area: the fused pass differs from blending one layer after another only by the 16-bit
    // rounding it leaves out in between.
    const auto colour = [](int k, int x, int y) {
        const float a = float((x * 7 + y * 3 + k * 11) % 17) / 16.0f;
        return Rgba{a * float((x + k) % 5) / 4.0f, a * float((y * 2 + k) % 7) / 6.0f, a * float((x + y) % 3) / 2.0f, a};
    };
    QImage backdrop(40, 30, kLayerFormat);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            const Rgba c = colour(9, x, y);
            backdrop.setPixelColor(x, y, QColor::fromRgbF(c.a > 0 ? c.r / c.a : 0, c.a > 0 ? c.g / c.a : 0, c.a > 0 ? c.b / c.a : 0, c.a));
        }
    const QRect rects[] = {{-5, -3, 30, 20}, {10, 8, 40, 30}, {0, 0, 40, 30}, {12, 2, 8, 25}};
    const float opacities[] = {1.0f, 0.6f, 0.0f, 0.85f};
    const Area area{2, 27, 1, 38};
    for (int m = 0; m < 9; ++m) {
        std::vector<RowLayer> layers;
        for (int k = 0; k < 4; ++k)
            layers.push_back({rects[k],
                              [k, colour](int y, int x0, int x1, Rgba* out) {
                                  for (int x = x0; x < x1; ++x) *out++ = colour(k, x, y);
                              },
                              SeparableBlend((m + k) % 9), opacities[k]});
        QImage oneByOne = backdrop.copy(), together = backdrop.copy();
        for (const RowLayer& l : layers) blendLayerRows(oneByOne, l.rect, l.source, l.mode, l.opacity, area);
        blendLayersRows(together, layers, area);
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x) {
                const auto* a = reinterpret_cast<const uint16_t*>(oneByOne.constScanLine(y)) + 4 * x;
                const auto* b = reinterpret_cast<const uint16_t*>(together.constScanLine(y)) + 4 * x;
                const auto* before = reinterpret_cast<const uint16_t*>(backdrop.constScanLine(y)) + 4 * x;
                const bool inside = y >= area.top && y < area.bottom && x >= area.left && x < area.right;
                for (int c = 0; c < 4; ++c) {
                    EXPECT_NEAR(a[c], b[c], 4) << "mode " << m << " at " << x << "," << y;
                    if (!inside) {
                        EXPECT_EQ(b[c], before[c]) << x << "," << y;
                    }
                }
            }
    }
}

}  // namespace
}  // namespace qm
