#include "platform/raster/key_out.h"

#include <algorithm>
#include <cmath>

#include "platform/raster/compositing.h"
#include "platform/raster/parallel_rows.h"

namespace qm {

namespace {

float smoothstep(float e0, float e1, float x) {
    const float t = std::clamp((x - e0) / (e1 - e0), 0.0f, 1.0f);
    return t * t * (3.0f - 2.0f * t);
}

Rgba keyPixel(Rgba premul, const KeyOutParameters& p) {
    const Rgba s = unpremultiplied(premul);
    float c[3] = {s.r, s.g, s.b};
    float rgb[3] = {c[0], c[1], c[2]};
    float a = 1.0f;
    if (p.mode > 0.5f && p.mode < 2.5f) {
        const bool white = p.mode < 1.5f;
        const float d = white ? std::max({1 - c[0], 1 - c[1], 1 - c[2]}) : std::max({c[0], c[1], c[2]});
        if (d > 0.0001f)
            for (int i = 0; i < 3; ++i) rgb[i] = white ? (c[i] - (1 - d)) / d : c[i] / d;
        a = std::clamp((d - p.tolerance) / std::max(0.0001f, 1 - p.tolerance), 0.0f, 1.0f);
    } else if (p.mode > 2.5f) {
        const float dr = c[0] - p.keyColor[0], dg = c[1] - p.keyColor[1], db = c[2] - p.keyColor[2];
        const float d = std::sqrt(dr * dr + dg * dg + db * db) / 1.7320508f;
        a = smoothstep(p.tolerance, p.tolerance + p.softness + 0.0001f, d);
    }
    if (p.recolor > 1.5f) {
        const float saturation = std::max({rgb[0], rgb[1], rgb[2]}) - std::min({rgb[0], rgb[1], rgb[2]});
        const float neutral = 1.0f - smoothstep(0.10f, 0.22f, saturation);
        for (int i = 0; i < 3; ++i) rgb[i] += (p.tint[i] - rgb[i]) * neutral;
    } else if (p.recolor > 0.5f) {
        for (int i = 0; i < 3; ++i) rgb[i] = p.tint[i];
    }
    const float alpha = s.a * a;
    return {std::clamp(rgb[0], 0.0f, 1.0f) * alpha, std::clamp(rgb[1], 0.0f, 1.0f) * alpha,
            std::clamp(rgb[2], 0.0f, 1.0f) * alpha, alpha};
}

}  // namespace

QImage keyOut(const QImage& image, const KeyOutParameters& parameters) {
    QImage out = image.convertToFormat(kLayerFormat);
    if (out.isNull()) return out;
    out.bits();
    forEachRowBand(out.height(), [&](int begin, int end) {
        for (int y = begin; y < end; ++y) {
            auto* row = reinterpret_cast<uint16_t*>(out.scanLine(y));
            for (int x = 0; x < out.width(); ++x) {
                uint16_t* px = row + 4 * x;
                const Rgba k = keyPixel(loadRgba64(px), parameters);
                px[0] = static_cast<uint16_t>(std::lround(k.r * 65535.0f));
                px[1] = static_cast<uint16_t>(std::lround(k.g * 65535.0f));
                px[2] = static_cast<uint16_t>(std::lround(k.b * 65535.0f));
                px[3] = static_cast<uint16_t>(std::lround(k.a * 65535.0f));
            }
        }
    });
    return out;
}

}  // namespace qm
