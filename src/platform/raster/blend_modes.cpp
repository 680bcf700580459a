#include "platform/raster/blend_modes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include <QPainter>

#include "platform/raster/parallel_rows.h"

namespace qm {

namespace {

// as·ab·B(Cb, Cs) of one channel, from premultiplied s, b and the alphas.
template <SeparableBlend M>
inline float mixed(float s, float b, float as, float ab) {
    if constexpr (M == SeparableBlend::normal) {
        return s * ab;
    } else if constexpr (M == SeparableBlend::multiply) {
        return s * b;
    } else if constexpr (M == SeparableBlend::screen) {
        return s * ab + b * as - s * b;
    } else if constexpr (M == SeparableBlend::overlay) {
        return 2.0f * b <= ab ? 2.0f * s * b : as * ab - 2.0f * (ab - b) * (as - s);
    } else if constexpr (M == SeparableBlend::lighten) {
        return std::max(s * ab, b * as);
    } else if constexpr (M == SeparableBlend::darken) {
        return std::min(s * ab, b * as);
    } else if constexpr (M == SeparableBlend::difference) {
        return std::abs(s * ab - b * as);
    } else {  // soft light works on the straight colours
        if (as <= 0.0f || ab <= 0.0f) return 0.0f;
        const float cs = s / as, cb = b / ab;
        float r;
        if (cs <= 0.5f) {
            r = cb - (1.0f - 2.0f * cs) * cb * (1.0f - cb);
        } else {
            const float d = cb <= 0.25f ? ((16.0f * cb - 12.0f) * cb + 4.0f) * cb : std::sqrt(std::max(cb, 0.0f));
            r = cb + (2.0f * cs - 1.0f) * (d - cb);
        }
        return as * ab * r;
    }
}

template <SeparableBlend M>
inline Rgba blendOne(Rgba s, Rgba b) {
    if constexpr (M == SeparableBlend::add) {
        return {std::min(s.r + b.r, 1.0f), std::min(s.g + b.g, 1.0f), std::min(s.b + b.b, 1.0f), std::min(s.a + b.a, 1.0f)};
    } else {
        const float ks = 1.0f - b.a, kb = 1.0f - s.a;
        return {s.r * ks + b.r * kb + mixed<M>(s.r, b.r, s.a, b.a), s.g * ks + b.g * kb + mixed<M>(s.g, b.g, s.a, b.a),
                s.b * ks + b.b * kb + mixed<M>(s.b, b.b, s.a, b.a), s.a + b.a - s.a * b.a};
    }
}

inline uint16_t to16(float v) { return static_cast<uint16_t>(std::clamp(v, 0.0f, 1.0f) * 65535.0f + 0.5f); }

template <SeparableBlend M>
void blendRows(QImage& backdrop, QPoint offset, const LayerRowSource& source, float opacity, Area a) {
    constexpr float u = 1.0f / 65535.0f;
    const size_t n = size_t(a.right - a.left);
    forEachRowBand(a.bottom - a.top, [&](int begin, int end) {
        // Three plain loops a row (load, blend, store), so that each one vectorises.
        std::vector<Rgba> layer(n), back(n);
        for (int y = a.top + begin; y < a.top + end; ++y) {
            source(y - offset.y(), a.left - offset.x(), a.right - offset.x(), layer.data());
            uint16_t* dst = reinterpret_cast<uint16_t*>(backdrop.scanLine(y)) + 4 * a.left;
            for (size_t i = 0; i < n; ++i)
                back[i] = {float(dst[4 * i]) * u, float(dst[4 * i + 1]) * u, float(dst[4 * i + 2]) * u, float(dst[4 * i + 3]) * u};
            for (size_t i = 0; i < n; ++i) back[i] = blendOne<M>(layer[i] * opacity, back[i]);
            for (size_t i = 0; i < n; ++i) {
                dst[4 * i] = to16(back[i].r), dst[4 * i + 1] = to16(back[i].g);
                dst[4 * i + 2] = to16(back[i].b), dst[4 * i + 3] = to16(back[i].a);
            }
        }
    });
}

}  // namespace

Rgba blendPixel(Rgba s, Rgba b, SeparableBlend mode) {
    switch (mode) {
        case SeparableBlend::normal: return blendOne<SeparableBlend::normal>(s, b);
        case SeparableBlend::add: return blendOne<SeparableBlend::add>(s, b);
        case SeparableBlend::screen: return blendOne<SeparableBlend::screen>(s, b);
        case SeparableBlend::multiply: return blendOne<SeparableBlend::multiply>(s, b);
        case SeparableBlend::overlay: return blendOne<SeparableBlend::overlay>(s, b);
        case SeparableBlend::softLight: return blendOne<SeparableBlend::softLight>(s, b);
        case SeparableBlend::lighten: return blendOne<SeparableBlend::lighten>(s, b);
        case SeparableBlend::darken: return blendOne<SeparableBlend::darken>(s, b);
        case SeparableBlend::difference: return blendOne<SeparableBlend::difference>(s, b);
    }
    return b;
}

void blendLayerRows(QImage& backdrop, QRect rect, const LayerRowSource& source, SeparableBlend mode, float opacity,
                    Area area) {
    if (backdrop.format() != kLayerFormat || !(opacity > 0.0f)) return;
    const Area a{std::max({area.top, 0, rect.top()}), std::min({area.bottom, backdrop.height(), rect.top() + rect.height()}),
                 std::max({area.left, 0, rect.left()}), std::min({area.right, backdrop.width(), rect.left() + rect.width()})};
    if (a.empty()) return;
    opacity = std::min(opacity, 1.0f);
    backdrop.bits();  // detach once, before the bands write
    const QPoint o = rect.topLeft();
    using B = SeparableBlend;
    switch (mode) {
        case B::normal: return blendRows<B::normal>(backdrop, o, source, opacity, a);
        case B::add: return blendRows<B::add>(backdrop, o, source, opacity, a);
        case B::screen: return blendRows<B::screen>(backdrop, o, source, opacity, a);
        case B::multiply: return blendRows<B::multiply>(backdrop, o, source, opacity, a);
        case B::overlay: return blendRows<B::overlay>(backdrop, o, source, opacity, a);
        case B::softLight: return blendRows<B::softLight>(backdrop, o, source, opacity, a);
        case B::lighten: return blendRows<B::lighten>(backdrop, o, source, opacity, a);
        case B::darken: return blendRows<B::darken>(backdrop, o, source, opacity, a);
        case B::difference: return blendRows<B::difference>(backdrop, o, source, opacity, a);
    }
}

void blendLayer(QImage& backdrop, const QImage& layer, QPoint offset, SeparableBlend mode, float opacity, Area area) {
    if (layer.format() != kLayerFormat) return;
    blendLayerRows(
        backdrop, QRect(offset, layer.size()),
        [&layer](int y, int x0, int x1, Rgba* out) {
            const auto* p = reinterpret_cast<const uint16_t*>(layer.constScanLine(y)) + 4 * x0;
            for (int x = x0; x < x1; ++x, p += 4) *out++ = loadRgba64(p);
        },
        mode, opacity, area);
}

Area drawTransformed(QImage& layer, const QImage& item, const QTransform& transform, Area area) {
    if (item.isNull() || layer.isNull() || !transform.isInvertible()) return {0, 0, 0, 0};
    const QRect bounds = transform.mapRect(QRectF(item.rect())).toAlignedRect().adjusted(-1, -1, 1, 1);
    const Area touched{std::max({area.top, 0, bounds.top()}), std::min({area.bottom, layer.height(), bounds.bottom() + 1}),
                       std::max({area.left, 0, bounds.left()}), std::min({area.right, layer.width(), bounds.right() + 1})};
    if (touched.empty()) return {0, 0, 0, 0};
    constexpr int kBandRows = 64;
    uchar* bits = layer.bits();
    const qsizetype stride = layer.bytesPerLine();
    const int rows = touched.bottom - touched.top;
    forEachRowBand((rows + kBandRows - 1) / kBandRows, [&](int begin, int end) {
        for (int band = begin; band < end; ++band) {
            const int y0 = touched.top + band * kBandRows;
            QImage view(bits + y0 * stride, layer.width(), std::min(kBandRows, touched.bottom - y0), stride, kLayerFormat);
            QPainter painter(&view);
            painter.setRenderHints(QPainter::SmoothPixmapTransform | QPainter::Antialiasing);
            painter.setClipRect(QRect(touched.left, 0, touched.right - touched.left, view.height()));
            painter.setTransform(transform * QTransform::fromTranslate(0, -y0));
            painter.drawImage(0, 0, item);
        }
    });
    return touched;
}

}  // namespace qm
