#include "credits/logo_keying.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <vector>

#include "platform/image/picture.h"
#include "platform/raster/compositing.h"
#include "platform/raster/dilation.h"
#include "platform/raster/key_out.h"
#include "platform/raster/sampling.h"

namespace qm {

namespace {

using KeyMode = CreditsSettings::KeyMode;

float modeNumber(KeyMode mode) {
    switch (mode) {
    case KeyMode::none:
    case KeyMode::automatic: return 0;
    case KeyMode::white: return 1;
    case KeyMode::black: return 2;
    case KeyMode::color: return 3;
    }
    return 0;
}

constexpr int64_t kMaskPixelLimit = 40'000'000;

}  // namespace

QImage loadImageFile(const std::filesystem::path& file) {
    const PictureRef picture = decodePictureFile(file);
    return picture ? picture->image() : QImage();
}

KeyEstimate estimateKeyColor(const QImage& image, double tolerance, double softness) {
    const double w = image.width();
    const double h = image.height();
    if (w < 8 || h < 8) return {KeyMode::none, {0, 0, 0}};
    const double s = std::min({w * 0.25, 8.0, h * 0.25});
    const QRectF corners[4] = {{0, 0, s, s}, {w - s, 0, s, s}, {0, h - s, s, s}, {w - s, h - s, s, s}};
    Rgba samples[4];
    double alpha = 0;
    for (int i = 0; i < 4; ++i) {
        samples[i] = areaAverage(image, corners[i]);
        alpha += samples[i].a / 4.0;
    }
    if (alpha < 0.5) return {KeyMode::none, {0, 0, 0}};
    RGBColor colours[4];
    RGBColor mean;
    for (int i = 0; i < 4; ++i) {
        const Rgba& p = samples[i];
        const double a = std::max(double(p.a), 0.0001);
        colours[i] = {p.r / a, p.g / a, p.b / a};
        mean.r += colours[i].r / 4.0, mean.g += colours[i].g / 4.0, mean.b += colours[i].b / 4.0;
    }
    // A logo sits on one plain ground; corners that differ by more than the colour key would call
    // one background are a photograph's, and keying their average would cut holes into it.
    const double band = tolerance + softness + 0.05;
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j) {
            const double dr = colours[i].r - colours[j].r, dg = colours[i].g - colours[j].g,
                         db = colours[i].b - colours[j].b;
            if (std::sqrt(dr * dr + dg * dg + db * db) / 1.7320508 > band) return {KeyMode::none, {0, 0, 0}};
        }
    if (std::min({mean.r, mean.g, mean.b}) > 0.85) return {KeyMode::white, mean};
    if (std::max({mean.r, mean.g, mean.b}) < 0.15) return {KeyMode::black, mean};
    return {KeyMode::color, mean};
}

std::optional<QImage> outerBackgroundMask(const QImage& image, KeyMode mode, RGBColor keyColor, double tolerance,
                                          double softness) {
    const int w = image.width();
    const int h = image.height();
    if (w < 3 || h < 3 || int64_t(w) * h > kMaskPixelLimit) return std::nullopt;
    const QImage pixels = image.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    if (pixels.isNull()) return std::nullopt;
    auto isBackground = [&](int x, int y) {
        const uint8_t* p = pixels.constScanLine(y) + 4 * x;
        const double alpha = p[3] / 255.0;
        if (alpha < 0.05) return true;
        const double r = p[0] / 255.0 / alpha, g = p[1] / 255.0 / alpha, b = p[2] / 255.0 / alpha;
        switch (mode) {
        case KeyMode::white: return std::max({1 - r, 1 - g, 1 - b}) < tolerance + 0.12;
        case KeyMode::black: return std::max({r, g, b}) < tolerance + 0.12;
        default: {
            const double dr = r - keyColor.r, dg = g - keyColor.g, db = b - keyColor.b;
            return std::sqrt(dr * dr + dg * dg + db * db) / 1.7320508 < tolerance + softness + 0.05;
        }
        }
    };
    FloatPlane marks(w, h);
    std::deque<std::pair<int, int>> queue;
    auto visit = [&](int x, int y) {
        float& m = marks.row(y)[x];
        if (m == 0.0f && isBackground(x, y)) {
            m = 1.0f;
            queue.emplace_back(x, y);
        }
    };
    for (int y : {0, h - 1})
        for (int x = 0; x < w; ++x) visit(x, y);
    for (int x : {0, w - 1})
        for (int y = 0; y < h; ++y) visit(x, y);
    while (!queue.empty()) {
        const auto [x, y] = queue.front();
        queue.pop_front();
        if (x > 0) visit(x - 1, y);
        if (x + 1 < w) visit(x + 1, y);
        if (y > 0) visit(x, y - 1);
        if (y + 1 < h) visit(x, y + 1);
    }
    dilateDisc(marks, 2.0);
    QImage mask(w, h, QImage::Format_Grayscale8);
    for (int y = 0; y < h; ++y) {
        uint8_t* out = mask.scanLine(y);
        const float* in = marks.row(y);
        for (int x = 0; x < w; ++x) out[x] = in[x] > 0.5f ? 255 : 0;
    }
    return mask;
}

QImage keyPicture(const QImage& image, KeyMode mode, KeyRecolor recolor, bool outerOnly, RGBColor keyColor,
                  double tolerance, double softness, RGBColor tint) {
    if (image.isNull()) return image;
    if (mode == KeyMode::automatic) {
        const KeyEstimate estimate = estimateKeyColor(image, tolerance, softness);
        mode = estimate.mode;
        keyColor = estimate.color;
    }
    if (outerOnly && mode != KeyMode::none) {
        if (const auto mask = outerBackgroundMask(image, mode, keyColor, tolerance, softness)) {
            const QImage keyed = keyPicture(image, mode, recolor, false, keyColor, tolerance, softness, tint);
            const QImage kept = keyPicture(image, KeyMode::none, recolor, false, {0, 1, 0}, 0.08, 0.1, tint);
            FloatPlane plane(mask->width(), mask->height());
            for (int y = 0; y < mask->height(); ++y)
                for (int x = 0; x < mask->width(); ++x) plane.row(y)[x] = mask->constScanLine(y)[x] / 255.0f;
            return blendWithMask(keyed, kept, plane);
        }
    }
    if (recolor == KeyRecolor::keep && (mode == KeyMode::none || mode == KeyMode::automatic)) return image;
    KeyOutParameters p;
    p.keyColor[0] = float(keyColor.r), p.keyColor[1] = float(keyColor.g), p.keyColor[2] = float(keyColor.b);
    p.mode = modeNumber(mode);
    p.tolerance = float(tolerance);
    p.softness = float(softness);
    p.recolor = float(static_cast<int>(recolor));
    p.tint[0] = float(tint.r), p.tint[1] = float(tint.g), p.tint[2] = float(tint.b);
    return keyOut(image, p);
}

QImage keySlotPicture(const QImage& picture, const CreditsSettings::ImageSlot& slot) {
    return keyPicture(picture, slot.key, KeyRecolor::keep, slot.outerOnly, slot.keyColor, slot.tolerance / 100.0,
                      slot.softness / 100.0, {1, 1, 1});
}

}  // namespace qm
