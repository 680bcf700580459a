// Raster operations against direct computations: the blur against a double-precision Gaussian,
// the dilation against brute force, compositing and sampling against their formulas.
#include <gtest/gtest.h>

#include <QPainter>

#include <cmath>
#include <limits>
#include <random>

#include "platform/raster/compositing.h"
#include "platform/raster/dilation.h"
#include "platform/raster/gaussian_blur.h"
#include "platform/raster/sampling.h"
#include "support/raster_reference.h"

namespace qm {
namespace {

// Cells of 0 and 1 with single-pixel detail: edges at every scale.
FloatPlane pattern(int w, int h, unsigned seed) {
    std::mt19937 random(seed);
    FloatPlane p(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) p.row(y)[x] = ((x / 7 + y / 5) % 3 == 0) ? 1.0f : (random() % 11 == 0 ? 1.0f : 0.0f);
    return p;
}

std::vector<double> values(const FloatPlane& p) { return {p.pixels.begin(), p.pixels.end()}; }

TEST(RasterBlur, MatchesADirectGaussianWithinOnePercent) {
    for (double sigma : {0.6, 1.0, 2.5, 3.0, 3.01, 4.0, 5.0, 8.0, 13.0, 40.0}) {
        SCOPED_TRACE(sigma);
        // Odd sizes, narrower than the kernel at the largest sigma.
        FloatPlane plane = pattern(91, 53, 7);
        const auto expected = test::directGaussian(values(plane), plane.width, plane.height, sigma);
        gaussianBlur(plane, sigma);
        double worst = 0;
        for (size_t i = 0; i < expected.size(); ++i) worst = std::max(worst, std::abs(plane.pixels[i] - expected[i]));
        EXPECT_LE(worst, 0.01);
    }
    // A constant plane stays constant (edges repeat, nothing leaks in); no sigma leaves it alone.
    FloatPlane flat(40, 30);
    std::fill(flat.pixels.begin(), flat.pixels.end(), 0.75f);
    gaussianBlur(flat, 25);
    for (float v : flat.pixels) ASSERT_NEAR(v, 0.75f, 1e-5);
    FloatPlane same = pattern(9, 9, 1);
    const FloatPlane before = same;
    gaussianBlur(same, 0);
    gaussianBlur(same, std::nan(""));
    EXPECT_EQ(same, before);
}

TEST(RasterDilation, DiscMatchesBruteForce) {
    for (double radius : {1.0, 2.0, 2.5, 6.0, 11.3}) {
        SCOPED_TRACE(radius);
        FloatPlane plane(37, 29);
        std::mt19937 random(3);
        for (float& v : plane.pixels) v = random() % 23 == 0 ? float(random() % 100) / 100.0f : 0.0f;
        const auto expected = test::bruteDilate(values(plane), plane.width, plane.height, radius);
        dilateDisc(plane, radius);
        EXPECT_EQ(values(plane), expected);
    }
}

QImage layerOf(int w, int h, Rgba fill) {
    QImage layer = makeLayer(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            auto* p = reinterpret_cast<uint16_t*>(layer.scanLine(y)) + 4 * x;
            p[0] = uint16_t(std::lround(fill.r * 65535)), p[1] = uint16_t(std::lround(fill.g * 65535));
            p[2] = uint16_t(std::lround(fill.b * 65535)), p[3] = uint16_t(std::lround(fill.a * 65535));
        }
    return layer;
}

TEST(RasterCompositing, FusedStoreFollowsTheFormulas) {
    const Rgba base{0.2f, 0.1f, 0.0f, 0.4f}, top{0.0f, 0.3f, 0.3f, 0.5f}, background{0.0f, 0.0f, 1.0f, 1.0f};
    const float v = 1.5f, ec[3] = {1.0f, 0.5f, 0.25f}, fade = 0.6f;
    FloatPlane plane(4, 2);
    std::fill(plane.pixels.begin(), plane.pixels.end(), v);
    const QImage baseLayer = layerOf(4, 2, base), topLayer = layerOf(4, 2, top);
    struct Case { bool withBackground; StoreAlpha alpha; StoreOrder order; };
    for (const Case c : {Case{true, StoreAlpha::premultiplied, StoreOrder::bgra}, Case{false, StoreAlpha::straight, StoreOrder::rgba},
                         Case{false, StoreAlpha::premultiplied, StoreOrder::rgba}}) {
        LayerStack stack;
        stack.under = {&plane, ec[0], ec[1], ec[2], 0, 0};
        stack.base = &baseLayer;
        stack.top = &topLayer;
        stack.fade = fade;
        if (c.withBackground) stack.background = background;
        // halo = (ec v, v); base over halo; top over that; × fade; over background; unclamped until the store.
        double p[4] = {ec[0] * v, ec[1] * v, ec[2] * v, v};
        for (const Rgba& l : {base, top}) {
            const double in[4] = {l.r, l.g, l.b, l.a};
            for (int i = 3; i >= 0; --i) p[i] = in[i] + p[i] * (1 - l.a);
        }
        for (double& x : p) x *= fade;
        if (c.withBackground) {
            const double bg[4] = {0, 0, 1, 1};
            const double keep = 1 - p[3];
            for (int i = 0; i < 4; ++i) p[i] += bg[i] * keep;
        }
        if (c.alpha == StoreAlpha::straight)
            for (int i = 0; i < 3; ++i) p[i] /= p[3];
        uint8_t out[2][16];
        storeLayerStack(stack, 4, 2, &out[0][0], 16, c.order, c.alpha);
        const int ri = c.order == StoreOrder::bgra ? 2 : 0, bi = 2 - ri;
        const int expected[4] = {int(std::lround(std::clamp(p[0], 0.0, 1.0) * 255)), int(std::lround(std::clamp(p[1], 0.0, 1.0) * 255)),
                                 int(std::lround(std::clamp(p[2], 0.0, 1.0) * 255)), int(std::lround(std::clamp(p[3], 0.0, 1.0) * 255))};
        EXPECT_NEAR(out[1][12 + ri], expected[0], 1);
        EXPECT_NEAR(out[1][12 + 1], expected[1], 1);
        EXPECT_NEAR(out[1][12 + bi], expected[2], 1);
        EXPECT_NEAR(out[1][12 + 3], expected[3], 1);
    }
}

TEST(RasterCompositing, ShiftedPlaneIsSampledBilinearly) {
    FloatPlane dot(6, 6);
    dot.row(2)[2] = 1.0f;
    LayerStack stack;
    stack.under = {&dot, 1, 1, 1, 1.5f, 2.0f};
    uint8_t out[6][24];
    storeLayerStack(stack, 6, 6, &out[0][0], 24, StoreOrder::rgba, StoreAlpha::premultiplied);
    EXPECT_EQ(out[4][3 * 4 + 3], 128);  // half of the dot at x = 3 and x = 4, two rows down
    EXPECT_EQ(out[4][4 * 4 + 3], 128);
    EXPECT_EQ(out[2][2 * 4 + 3], 0);
    int total = 0;
    for (auto& row : out)
        for (int x = 0; x < 6; ++x) total += row[4 * x + 3];
    EXPECT_EQ(total, 256);
}

TEST(RasterCompositing, ItemsAreCopiedOrDrawnOverTheLayer) {
    QImage item(3, 2, QImage::Format_ARGB32_Premultiplied);
    item.fill(qRgba(0, 100, 0, 200));
    QImage layer = layerOf(8, 6, {0.0f, 0.0f, 0.5f, 0.5f});
    drawOver(layer, item, {2, 3}, QSizeF(3, 2));
    auto px = [&](int x, int y) { return reinterpret_cast<const uint16_t*>(layer.constScanLine(y)) + 4 * x; };
    EXPECT_EQ(px(2, 3)[1], 100 * 257);
    EXPECT_NEAR(px(2, 3)[2], 0.5 * 65535 * (1 - 200 / 255.0), 1);
    EXPECT_NEAR(px(2, 3)[3], 200 * 257 + 0.5 * 65535 * (1 - 200 / 255.0), 1);
    EXPECT_EQ(px(1, 3)[3], 32768);
    EXPECT_EQ(px(5, 4)[3], 32768);
    // Stretched to twice its size.
    QImage dot(1, 1, QImage::Format_ARGB32_Premultiplied);
    dot.fill(Qt::white);
    QImage big = makeLayer(4, 4);
    drawOver(big, dot, {1, 1}, QSizeF(2, 2));
    EXPECT_EQ(reinterpret_cast<const uint16_t*>(big.constScanLine(2))[4 * 2 + 3], 65535);
    EXPECT_EQ(reinterpret_cast<const uint16_t*>(big.constScanLine(3))[4 * 3 + 3], 0);
    // Placement beyond the layer clips.
    drawOver(big, item, {-2, 3}, QSizeF(3, 2));
    drawOver(big, item, {10, 10}, QSizeF(3, 2));
    EXPECT_EQ(reinterpret_cast<const uint16_t*>(big.constScanLine(3))[3], 200 * 257);
}

TEST(RasterSampling, AreaAverageMaskBlendAndDownscale) {
    QImage image(4, 2, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::black);
    for (int y = 0; y < 2; ++y) image.setPixel(3, y, qRgba(255, 255, 255, 255));
    // Columns 2.5 … 4: half of column 2 (black) and all of column 3 (white): 2/3 white.
    const Rgba mean = areaAverage(image, QRectF(2.5, 0, 1.5, 2));
    EXPECT_NEAR(mean.r, 2.0 / 3.0, 1e-4);
    EXPECT_NEAR(mean.a, 1.0, 1e-4);
    EXPECT_EQ(areaAverage(image, QRectF(10, 10, 2, 2)), Rgba{});

    const QImage half = downscaleArea(image, 2, 1);
    EXPECT_EQ(half.size(), QSize(2, 1));
    EXPECT_EQ(half.pixelColor(0, 0), QColor(Qt::black));
    EXPECT_NEAR(half.pixelColor(1, 0).red(), 128, 1);
    EXPECT_EQ(downscaleArea(image, 8, 8).size(), image.size());

    FloatPlane mask(4, 2);
    mask.row(0)[1] = 1.0f;
    mask.row(1)[1] = 0.25f;
    mask.row(1)[2] = std::numeric_limits<float>::quiet_NaN();  // never cast to an integer as it stands
    const QImage white = layerOf(4, 2, {1, 1, 1, 1}), clear = makeLayer(4, 2);
    const QImage blended = blendWithMask(white, clear, mask);
    auto a = [&](int x, int y) { return reinterpret_cast<const uint16_t*>(blended.constScanLine(y))[4 * x + 3]; };
    EXPECT_EQ(a(1, 0), 65535);
    EXPECT_EQ(a(1, 1), 16384);
    EXPECT_EQ(a(0, 0), 0);
    EXPECT_EQ(a(2, 1), 0);
}

// An item between pixels: each layer pixel is the bilinear sample of the item over what was there,
// whether the item is 8-bit (read in place, transparent runs passed over) or 16-bit.
TEST(RasterCompositing, FractionalPlacementIsBilinearOverTheLayer) {
    std::mt19937 random(5);
    QImage item(23, 5, QImage::Format_ARGB32_Premultiplied);
    item.fill(Qt::transparent);
    for (int i = 0; i < 20; ++i) {
        const int a = int(random() % 256);
        item.setPixel(int(random() % 23), int(random() % 5), qRgba(int(random() % (a + 1)), 0, a, a));
    }
    const QImage deep = item.convertToFormat(kLayerFormat);
    auto itemAt = [&](int x, int y, int c) -> double {
        if (x < 0 || y < 0 || x >= 23 || y >= 5) return 0;
        return reinterpret_cast<const uint16_t*>(deep.constScanLine(y))[4 * x + c] / 65535.0;
    };
    for (const QPointF at : {QPointF(2.5, 1), QPointF(1, 2.25), QPointF(-1.3, 0.6), QPointF(3.75, -1.5)}) {
        SCOPED_TRACE(testing::Message() << at.x() << "," << at.y());
        const QImage under = layerOf(30, 9, {0.1f, 0.2f, 0.0f, 0.25f});
        QImage shallow = under, wide = under;
        drawOver(shallow, item, at, QSizeF(23, 5));
        drawOver(wide, deep, at, QSizeF(23, 5));
        EXPECT_EQ(shallow, wide);
        const int ox = int(std::floor(at.x())), oy = int(std::floor(at.y()));
        const double fx = at.x() - ox, fy = at.y() - oy;
        for (int y = 0; y < 9; ++y)
            for (int x = 0; x < 30; ++x) {
                double p[4];
                for (int c = 0; c < 4; ++c)
                    p[c] = (itemAt(x - ox - 1, y - oy - 1, c) * fx + itemAt(x - ox, y - oy - 1, c) * (1 - fx)) * fy +
                           (itemAt(x - ox - 1, y - oy, c) * fx + itemAt(x - ox, y - oy, c) * (1 - fx)) * (1 - fy);
                const auto* got = reinterpret_cast<const uint16_t*>(shallow.constScanLine(y)) + 4 * x;
                const auto* before = reinterpret_cast<const uint16_t*>(under.constScanLine(y)) + 4 * x;
                for (int c = 0; c < 4; ++c)
                    ASSERT_NEAR(got[c], (p[c] + before[c] / 65535.0 * (1 - p[3])) * 65535, 1) << x << "," << y << " " << c;
            }
    }
}

// The work limited to an area (what a credits frame's text covers) gives what the whole plane gives:
// equal but for the rounding residue running sums leave far from anything (zero instead).
TEST(RasterAreas, BlurDilationAndGlowSumWithinAnAreaMatchTheWholePlane) {
    const Area areas[] = {{30, 60, 40, 71}, {0, 20, 0, 25}, {75, 90, 100, 120}};
    const std::pair<double, double> sigmas[] = {{1.5, 0.5}, {8, 8 / 3.0}, {20, 6.5}, {0.6, 5}};
    for (const Area& area : areas)
        for (const auto& [a, b] : sigmas) {
            SCOPED_TRACE(testing::Message() << area.top << "," << area.left << " sigma " << a << "/" << b);
            FloatPlane plane(120, 90);
            const FloatPlane cells = pattern(120, 90, 5);
            for (int y = area.top; y < area.bottom; ++y)
                for (int x = area.left; x < area.right; ++x) plane.row(y)[x] = 0.8f * cells.at(x, y);
            FloatPlane wide = plane, tight = plane, limited = plane, sum = plane, work(120, 90);
            gaussianBlur(wide, a);
            gaussianBlur(tight, b);
            gaussianBlur(limited, a, area);
            gaussianBlurSum(sum, a, b, work, area);
            for (size_t i = 0; i < plane.pixels.size(); ++i) {
                ASSERT_NEAR(limited.pixels[i], wide.pixels[i], 1e-6) << i;
                ASSERT_NEAR(sum.pixels[i], wide.pixels[i] + tight.pixels[i], 1e-6) << i;
            }
            EXPECT_EQ(work, FloatPlane(120, 90));
            FloatPlane whole = plane, dilated = plane;
            dilateDisc(whole, a + 1);
            dilateDisc(dilated, a + 1, area);
            EXPECT_EQ(dilated, whole);
        }
}

// Whole-pixel images used in place of the layer they would be drawn into give the same alpha,
// the same covered area and the same stored frame, byte for byte.
TEST(RasterAreas, ImagesInPlaceComposeAsTheirLayer) {
    std::mt19937 random(11);
    auto picture = [&](int w, int h, QImage::Format format) {
        QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        for (int y = 1; y < h - 1; ++y)
            for (int x = 2; x < w - 3; ++x) {
                const int a = random() % 3 == 0 ? 0 : int(random() % 256);
                image.setPixel(x, y, qRgba(int(random() % (a + 1)), int(random() % (a + 1)), int(random() % (a + 1)), a));
            }
        return image.convertToFormat(format);
    };
    const QImage first = picture(23, 9, QImage::Format_ARGB32_Premultiplied);
    const QImage second = picture(31, 12, kLayerFormat);
    const std::vector<PlacedImage> images = {{&first, 5, -3}, {&second, -4, 8}, {&first, 20, 20}};
    QImage layer = makeLayer(40, 30);
    for (const PlacedImage& p : images) drawOver(layer, *p.image, QPointF(p.x, p.y), QSizeF(p.image->size()));
    const Area area{0, 30, 0, 40};
    FloatPlane fromImages(40, 30), fromLayer(40, 30);
    std::fill(fromImages.pixels.begin(), fromImages.pixels.end(), 7.0f);  // every pixel of the area is written
    const Area ink = alphaPlane(images, 0.8f, fromImages, area);
    EXPECT_EQ(alphaPlane({{&layer, 0, 0}}, 0.8f, fromLayer, area), ink);
    EXPECT_EQ(fromImages, fromLayer);
    Area expected{30, 0, 40, 0};
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            if (fromLayer.at(x, y) != 0.0f)
                expected = {std::min(expected.top, y), y + 1, std::min(expected.left, x), std::max(expected.right, x + 1)};
    EXPECT_EQ(ink, expected);

    gaussianBlur(fromLayer, 2.0);
    const QImage top = layerOf(40, 30, {0.1f, 0.0f, 0.2f, 0.3f});
    for (const StoreAlpha alpha : {StoreAlpha::straight, StoreAlpha::premultiplied}) {
        LayerStack drawn;
        drawn.under = {&fromLayer, 1.0f, 0.5f, 0.25f, 0, 0};
        drawn.base = &layer;
        drawn.top = &top;
        drawn.topArea = {10, 14, 3, 30};
        drawn.fade = 0.7f;
        LayerStack inPlace = drawn;
        inPlace.base = nullptr;
        inPlace.baseImages = images;
        std::vector<uint8_t> a(40 * 30 * 4), b(a.size());
        storeLayerStack(drawn, 40, 30, a.data(), 160, StoreOrder::bgra, alpha);
        storeLayerStack(inPlace, 40, 30, b.data(), 160, StoreOrder::bgra, alpha);
        EXPECT_EQ(a, b);
    }
}

}  // namespace
}  // namespace qm
