#include "editor/model/clip_effects.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "platform/media/pixel_buffer.h"
#include "platform/raster/parallel_rows.h"

namespace qm {

namespace {

constexpr int kCurveSamples = 1024;
constexpr int kExposureSteps = 4096;

// IEC 61966-2-1, mirrored for negative values.
double srgbToLinear(double c) {
    const double a = std::abs(c);
    const double l = a <= 0.04045 ? a / 12.92 : std::pow((a + 0.055) / 1.055, 2.4);
    return std::copysign(l, c);
}
double linearToSrgb(double l) {
    const double a = std::abs(l);
    const double c = a <= 0.0031308 ? a * 12.92 : 1.055 * std::pow(a, 1.0 / 2.4) - 0.055;
    return std::copysign(c, l);
}

// Linear interpolation in a table of samples spread over 0…1.
inline float lookUp(const float* table, int steps, float v) {
    const float p = clampUnit(v) * float(steps);
    const int i = std::min(int(p), steps - 1);
    const float f = p - float(i);
    return table[i] + (table[i + 1] - table[i]) * f;
}

// Four planes of one row, per thread, kept between rows.
struct Planes {
    float *r, *g, *b, *a;
    explicit Planes(int count) {
        thread_local std::vector<float> storage;
        storage.resize(size_t(count) * 4);
        r = storage.data(), g = r + count, b = g + count, a = b + count;
    }
};

inline void store(uint16_t* d, Rgba p) { d[0] = to16(p.r), d[1] = to16(p.g), d[2] = to16(p.b), d[3] = to16(p.a); }

// The chain works in floats on pixels of 0…1 (at most about 1e8 after an exposure gain of 2^64),
// so its numbers are bounded where a larger one draws the same picture: 64 stops already turn the
// darkest 16-bit step white or black, and a factor of 1e12 already drives any colour difference a
// float can hold past 0…1. Within these bounds no product of the chain overflows a float.
constexpr double kMostStops = 64, kMostPercent = 1e14, kMostColour = 1e15;

// A number held to ±most; NaN (an eased segment between huge keyframes) goes to `otherwise`.
double bounded(double v, double most, double otherwise) { return std::isnan(v) ? otherwise : std::clamp(v, -most, most); }

// A property's value at ts for the chain, bounded as above; NaN goes to the property's lower limit.
double boundedValue(const ClipTransform& transform, TransformProperty property, double ts, double most) {
    return bounded(transform.scalar(property).valueAt(ts), most, propertyLimits(property).low);
}

}  // namespace

ClipEffectChain::ClipEffectChain(ClipEffectSettings settings) : s_(std::move(settings)) {
    if (s_.exposure) {
        exposure_.resize(kExposureSteps + 1);
        for (int i = 0; i <= kExposureSteps; ++i)
            exposure_[size_t(i)] = float(linearToSrgb(srgbToLinear(double(i) / kExposureSteps) * s_.exposureGain));
    }
    uk_ = -0.1146f * s_.keyColor[0] - 0.3854f * s_.keyColor[1] + 0.5f * s_.keyColor[2];
    vk_ = 0.5f * s_.keyColor[0] - 0.4542f * s_.keyColor[1] - 0.0458f * s_.keyColor[2];
}

Rgba ClipEffectChain::pixel(Rgba c) const {
    float r = c.r, g = c.g, b = c.b, a = c.a;
    Rgba out;
    run(&r, &g, &b, &a, 1, &out);
    return out;
}

void ClipEffectChain::frameRow(const uint8_t* s, int count, Rgba* out) const {
    constexpr float k = 1.0f / 255.0f;
    if (!s_.any()) {
        for (int x = 0; x < count; ++x, s += 4) {
            const float a = float(s[3]) * k, ka = a * k;
            out[x] = {float(s[2]) * ka, float(s[1]) * ka, float(s[0]) * ka, a};
        }
        return;
    }
    Planes p(count);
    for (int x = 0; x < count; ++x, s += 4)
        p.r[x] = float(s[2]) * k, p.g[x] = float(s[1]) * k, p.b[x] = float(s[0]) * k, p.a[x] = float(s[3]) * k;
    run(p.r, p.g, p.b, p.a, count, out);
}

void ClipEffectChain::layerRow(const uint16_t* s, int count, Rgba* out) const {
    Planes p(count);
    for (int x = 0; x < count; ++x, s += 4) {
        const Rgba c = unpremultiplied(loadRgba64(s));
        p.r[x] = c.r, p.g[x] = c.g, p.b[x] = c.b, p.a[x] = c.a;
    }
    run(p.r, p.g, p.b, p.a, count, out);
}

// Stage by stage over planes of the row, so that each loop vectorises.
void ClipEffectChain::run(float* __restrict r, float* __restrict g, float* __restrict b, float* __restrict a, int count,
                          Rgba* out) const {
    if (s_.key) {
        const float lo = s_.tolerance, span = s_.softness + 0.0001f, uk = uk_, vk = vk_;
        const float dr = s_.dominant[0], dg = s_.dominant[1], db = s_.dominant[2], spill = s_.spill;
        for (int x = 0; x < count; ++x) {
            const float u = -0.1146f * r[x] - 0.3854f * g[x] + 0.5f * b[x] - uk;
            const float v = 0.5f * r[x] - 0.4542f * g[x] - 0.0458f * b[x] - vk;
            const float t = clampUnit((std::sqrt(u * u + v * v) - lo) / span);
            a[x] *= t * t * (3.0f - 2.0f * t);
        }
        if (s_.showMatte) {
            for (int x = 0; x < count; ++x) out[x] = {a[x], a[x], a[x], 1.0f};
            return;
        }
        for (int x = 0; x < count; ++x) {
            const float limit = std::max(std::max(r[x] * (1.0f - dr), g[x] * (1.0f - dg)), b[x] * (1.0f - db));
            const float excess = std::max(r[x] * dr + g[x] * dg + b[x] * db - limit, 0.0f) * spill;
            r[x] = clampUnit(r[x] - excess * dr), g[x] = clampUnit(g[x] - excess * dg), b[x] = clampUnit(b[x] - excess * db);
        }
    }
    if (s_.color) {
        if (s_.exposure)
            for (float* p : {r, g, b})
                for (int x = 0; x < count; ++x) p[x] = lookUp(exposure_.data(), kExposureSteps, p[x]);
        if (s_.controls) {
            const float sat = s_.saturation, con = s_.contrast;
            for (int x = 0; x < count; ++x) {
                const float l = 0.2125f * r[x] + 0.7154f * g[x] + 0.0721f * b[x];
                r[x] = (l + sat * (r[x] - l) - 0.5f) * con + 0.5f;
                g[x] = (l + sat * (g[x] - l) - 0.5f) * con + 0.5f;
                b[x] = (l + sat * (b[x] - l) - 0.5f) * con + 0.5f;
            }
        }
        for (int x = 0; x < count; ++x) r[x] = clampUnit(r[x]), g[x] = clampUnit(g[x]), b[x] = clampUnit(b[x]);
        if (!s_.curve.empty())
            for (float* p : {r, g, b})
                for (int x = 0; x < count; ++x) p[x] = lookUp(s_.curve.data(), kCurveSamples - 1, p[x]);
    }
    for (int x = 0; x < count; ++x) out[x] = {r[x] * a[x], g[x] * a[x], b[x] * a[x], a[x]};
}

ClipEffectSettings ClipEffectSettings::make(const ClipTransform& transform, double ts, bool preview) {
    ClipEffectSettings s;
    const ClipEffects& fx = transform.effects;
    s.key = fx.keyEnabled;
    s.color = fx.colorEnabled;
    if (s.key) {
        const RGBColor k = fx.keyColor;
        s.keyColor = {float(bounded(k.r, kMostColour, 0)), float(bounded(k.g, kMostColour, 0)), float(bounded(k.b, kMostColour, 0))};
        if (k.g >= k.r && k.g >= k.b)
            s.dominant = {0, 1, 0};
        else if (k.b >= k.r)
            s.dominant = {0, 0, 1};
        else
            s.dominant = {1, 0, 0};
        s.tolerance = float(boundedValue(transform, TransformProperty::keyTolerance, ts, kMostPercent) / 100.0 * 0.45);
        s.softness = float(boundedValue(transform, TransformProperty::keySoftness, ts, kMostPercent) / 100.0 * 0.3);
        s.spill = float(boundedValue(transform, TransformProperty::keySpill, ts, kMostPercent) / 100.0);
        s.showMatte = preview && fx.showMatte;
    }
    // The colour steps never run on a matte.
    if (s.showMatte) s.color = false;
    if (s.color) {
        const double e = boundedValue(transform, TransformProperty::exposure, ts, kMostStops);
        const double c = boundedValue(transform, TransformProperty::contrast, ts, kMostPercent);
        const double sat = boundedValue(transform, TransformProperty::saturation, ts, kMostPercent);
        s.exposure = std::abs(e) > 0.0001;
        s.exposureGain = float(std::exp2(e));
        s.controls = std::abs(c) > 0.0001 || std::abs(sat - 100) > 0.0001;
        s.saturation = float(sat / 100.0);
        s.contrast = float(c / 100.0 + 1.0);
        const bool bent = std::any_of(fx.curve.points.begin(), fx.curve.points.end(),
                                      [](const Vec2& p) { return std::abs(p.x - p.y) >= 0.000001; });
        if (bent) {
            const std::vector<float> triples = toneCurveSamples(kCurveSamples, fx.curve);
            s.curve.resize(kCurveSamples);
            for (int i = 0; i < kCurveSamples; ++i) s.curve[size_t(i)] = triples[size_t(i) * 3];
        }
    }
    return s;
}

QImage applyClipEffects(const QImage& picture, const ClipTransform& transform, double ts, bool preview) {
    ClipEffectSettings settings = ClipEffectSettings::make(transform, ts, preview);
    if (!settings.any() || picture.isNull()) return picture;
    const QImage src = picture.format() == kLayerFormat ? picture : picture.convertToFormat(kLayerFormat);
    QImage out(src.size(), kLayerFormat);
    const ClipEffectChain chain(std::move(settings));
    forEachRowBand(src.height(), [&](int begin, int end) {
        std::vector<Rgba> row(static_cast<size_t>(src.width()));
        for (int y = begin; y < end; ++y) {
            const auto* s = reinterpret_cast<const uint16_t*>(src.constScanLine(y));
            auto* d = reinterpret_cast<uint16_t*>(out.scanLine(y));
            chain.layerRow(s, src.width(), row.data());
            for (int x = 0; x < src.width(); ++x, d += 4) store(d, row[size_t(x)]);
        }
    });
    return out;
}

QImage layerFromFrame(const PixelBuffer& frame, const ClipEffectChain& chain) {
    QImage out(frame.width(), frame.height(), kLayerFormat);
    if (out.isNull()) return out;
    const int w = frame.width();
    forEachRowBand(frame.height(), [&](int begin, int end) {
        std::vector<Rgba> row(static_cast<size_t>(w));
        for (int y = begin; y < end; ++y) {
            chain.frameRow(frame.data() + size_t(y) * frame.bytesPerRow(), w, row.data());
            auto* d = reinterpret_cast<uint16_t*>(out.scanLine(y));
            for (int x = 0; x < w; ++x, d += 4) store(d, row[size_t(x)]);
        }
    });
    return out;
}

}  // namespace qm
