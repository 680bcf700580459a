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

bool isFinite(const QTransform& t) {
    for (double v : {t.m11(), t.m12(), t.m13(), t.m21(), t.m22(), t.m23(), t.m31(), t.m32(), t.m33()})
        if (!std::isfinite(v)) return false;
    return true;
}

// The pixels of the layer within `area` that `placed` (layer pixels) touches, a pixel to spare for
// the antialiased edges. Worked out in double, so that a far-off corner never meets an int.
Area touchedBy(const PlacedEdges& placed, const QImage& layer, Area area) {
    const double left = std::floor(placed.left) - 1, right = std::ceil(placed.right) + 1;
    const double top = std::floor(placed.top) - 1, bottom = std::ceil(placed.bottom) + 1;
    const double W = layer.width(), H = layer.height();
    if (!(left < W && right > 0 && top < H && bottom > 0)) return {0, 0, 0, 0};  // off the layer, or not a number
    const Area a{std::max({area.top, 0, int(std::max(top, 0.0))}), std::min({area.bottom, layer.height(), int(std::min(bottom, H))}),
                 std::max({area.left, 0, int(std::max(left, 0.0))}), std::min({area.right, layer.width(), int(std::min(right, W))})};
    return a.empty() ? Area{0, 0, 0, 0} : a;
}

// back[i] = layer[i] × opacity blended over back[i]; a plain loop, so that it vectorises.
template <SeparableBlend M>
void blendSpan(const Rgba* layer, Rgba* back, size_t n, float opacity) {
    for (size_t i = 0; i < n; ++i) back[i] = blendOne<M>(layer[i] * opacity, back[i]);
}

void blendSpan(SeparableBlend mode, const Rgba* layer, Rgba* back, size_t n, float opacity) {
    using B = SeparableBlend;
    switch (mode) {
        case B::normal: return blendSpan<B::normal>(layer, back, n, opacity);
        case B::add: return blendSpan<B::add>(layer, back, n, opacity);
        case B::screen: return blendSpan<B::screen>(layer, back, n, opacity);
        case B::multiply: return blendSpan<B::multiply>(layer, back, n, opacity);
        case B::overlay: return blendSpan<B::overlay>(layer, back, n, opacity);
        case B::softLight: return blendSpan<B::softLight>(layer, back, n, opacity);
        case B::lighten: return blendSpan<B::lighten>(layer, back, n, opacity);
        case B::darken: return blendSpan<B::darken>(layer, back, n, opacity);
        case B::difference: return blendSpan<B::difference>(layer, back, n, opacity);
    }
}

}  // namespace

bool PlacedEdges::meets(double width, double height) const {
    return right > 0 && left < width && bottom > 0 && top < height;
}

bool PlacedEdges::within(double width, double height, double margin) const {
    return left > -margin && top > -margin && right < width + margin && bottom < height + margin;
}

PlacedEdges placedEdges(const QTransform& t, double w, double h) {
    if (!isFinite(t)) return {qQNaN(), qQNaN(), qQNaN(), qQNaN()};
    const QPointF c[] = {t.map(QPointF(0, 0)), t.map(QPointF(w, 0)), t.map(QPointF(w, h)), t.map(QPointF(0, h))};
    PlacedEdges e{c[0].x(), c[0].y(), c[0].x(), c[0].y()};
    for (const QPointF& p : c) {
        e.left = std::min(e.left, p.x()), e.right = std::max(e.right, p.x());
        e.top = std::min(e.top, p.y()), e.bottom = std::max(e.bottom, p.y());
    }
    return e;
}

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
    blendLayersRows(backdrop, {{rect, source, mode, opacity}}, area);
}

void blendLayersRows(QImage& backdrop, const std::vector<RowLayer>& layers, Area area) {
    if (backdrop.format() != kLayerFormat) return;
    // Each layer's part of the backdrop, and the rows and columns they cover together.
    std::vector<Area> parts;
    Area all{1 << 30, 0, 1 << 30, 0};
    for (const RowLayer& l : layers) {
        const QRect& r = l.rect;
        const Area a{std::max({area.top, 0, r.top()}), std::min({area.bottom, backdrop.height(), r.top() + r.height()}),
                     std::max({area.left, 0, r.left()}), std::min({area.right, backdrop.width(), r.left() + r.width()})};
        parts.push_back(l.opacity > 0.0f ? a : Area{0, 0, 0, 0});
        if (parts.back().empty()) continue;
        all = {std::min(all.top, a.top), std::max(all.bottom, a.bottom), std::min(all.left, a.left), std::max(all.right, a.right)};
    }
    if (all.empty()) return;
    backdrop.bits();  // detach once, before the bands write
    constexpr float u = 1.0f / 65535.0f;
    const size_t n = size_t(all.right - all.left);
    forEachRowBand(all.bottom - all.top, [&](int begin, int end) {
        // The backdrop's row is read and stored once; the layers are blended into it as floats.
        std::vector<Rgba> layer(n), back(n);
        for (int y = all.top + begin; y < all.top + end; ++y) {
            uint16_t* dst = reinterpret_cast<uint16_t*>(backdrop.scanLine(y)) + 4 * all.left;
            for (size_t i = 0; i < n; ++i)
                back[i] = {float(dst[4 * i]) * u, float(dst[4 * i + 1]) * u, float(dst[4 * i + 2]) * u, float(dst[4 * i + 3]) * u};
            for (size_t k = 0; k < layers.size(); ++k) {
                const Area& a = parts[k];
                if (y < a.top || y >= a.bottom || a.empty()) continue;
                const QPoint o = layers[k].rect.topLeft();
                layers[k].source(y - o.y(), a.left - o.x(), a.right - o.x(), layer.data());
                blendSpan(layers[k].mode, layer.data(), back.data() + (a.left - all.left), size_t(a.right - a.left),
                          std::min(layers[k].opacity, 1.0f));
            }
            for (size_t i = 0; i < n; ++i) {
                dst[4 * i] = to16(back[i].r), dst[4 * i + 1] = to16(back[i].g);
                dst[4 * i + 2] = to16(back[i].b), dst[4 * i + 3] = to16(back[i].a);
            }
        }
    });
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
    const PlacedEdges placed = placedEdges(transform, item.width(), item.height());
    const Area touched = touchedBy(placed, layer, area);
    if (touched.empty()) return {0, 0, 0, 0};
    if (!placed.within(layer.width(), layer.height(), kPainterReach))
        return drawSampled(layer, item, transform.inverted(), touched);
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

Area drawSampled(QImage& layer, const QImage& item, const QTransform& inverse, Area area) {
    if (item.isNull() || layer.isNull() || layer.format() != kLayerFormat || !isFinite(inverse)) return {0, 0, 0, 0};
    const Area touched = clippedArea(area, layer.width(), layer.height());
    if (touched.empty()) return {0, 0, 0, 0};
    const QImage source = item.format() == kLayerFormat ? item : item.convertToFormat(kLayerFormat);
    const int iw = source.width(), ih = source.height();
    const double w = iw, h = ih;
    const auto texel = [&](int x, int y) {
        return loadRgba64(reinterpret_cast<const uint16_t*>(source.constScanLine(y)) + 4 * x);
    };
    layer.bits();  // detach once, before the bands write
    forEachRowBand(touched.bottom - touched.top, [&](int begin, int end) {
        for (int y = touched.top + begin; y < touched.top + end; ++y) {
            auto* out = reinterpret_cast<uint16_t*>(layer.scanLine(y)) + 4 * touched.left;
            for (int x = touched.left; x < touched.right; ++x, out += 4) {
                const QPointF p = inverse.map(QPointF(x + 0.5, y + 0.5));
                // Outside the item, or not a number: the layer stays transparent there.
                if (!(p.x() >= 0 && p.x() < w && p.y() >= 0 && p.y() < h)) continue;
                // Bilinear between pixel centres, the edge pixels held, as the painter samples.
                const double fx = p.x() - 0.5, fy = p.y() - 0.5;
                const double x0 = std::floor(fx), y0 = std::floor(fy);
                const float ax = float(fx - x0), ay = float(fy - y0);
                const int xa = std::max(int(x0), 0), xb = std::min(int(x0) + 1, iw - 1);
                const int ya = std::max(int(y0), 0), yb = std::min(int(y0) + 1, ih - 1);
                const Rgba top = texel(xa, ya) * (1 - ax) + texel(xb, ya) * ax;
                const Rgba bottom = texel(xa, yb) * (1 - ax) + texel(xb, yb) * ax;
                const Rgba c = top * (1 - ay) + bottom * ay;
                out[0] = to16(c.r), out[1] = to16(c.g), out[2] = to16(c.b), out[3] = to16(c.a);
            }
        }
    });
    return touched;
}

}  // namespace qm
