#include "platform/raster/compositing.h"

#include <QPainter>
#include <QRectF>

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/raster/parallel_rows.h"

namespace qm {

namespace {

constexpr int kPainterBandRows = 64;

uint16_t* layerRow(QImage& layer, int y) { return reinterpret_cast<uint16_t*>(layer.scanLine(y)); }
const uint16_t* layerRow(const QImage& layer, int y) { return reinterpret_cast<const uint16_t*>(layer.constScanLine(y)); }

uint16_t to16(float v) { return static_cast<uint16_t>(std::clamp(v, 0.0f, 1.0f) * 65535.0f + 0.5f); }

bool isWhole(double v) { return std::abs(v - std::round(v)) < 1e-9; }

// Source-over of one premultiplied 16-bit pixel onto another, in integers, without branches so
// that whole rows vectorise.
inline void over16(uint16_t* __restrict dst, uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    const uint32_t k = 65535 - a;
    dst[0] = uint16_t(std::min<uint32_t>(65535, r + (dst[0] * k + 32767) / 65535));
    dst[1] = uint16_t(std::min<uint32_t>(65535, g + (dst[1] * k + 32767) / 65535));
    dst[2] = uint16_t(std::min<uint32_t>(65535, b + (dst[2] * k + 32767) / 65535));
    dst[3] = uint16_t(std::min<uint32_t>(65535, a + (dst[3] * k + 32767) / 65535));
}

void copyRowsOver(QImage& layer, const QImage& item, int x0, int y0) {
    const int top = std::max(0, y0);
    const int bottom = std::min(layer.height(), y0 + item.height());
    const int left = std::max(0, x0);
    const int right = std::min(layer.width(), x0 + item.width());
    if (top >= bottom || left >= right) return;
    const bool deep = item.format() == kLayerFormat;
    layer.bits();  // detach once, before the bands write
    forEachRowBand(bottom - top, [&](int begin, int end) {
        for (int y = top + begin; y < top + end; ++y) {
            uint16_t* dst = layerRow(layer, y) + 4 * left;
            if (deep) {
                const uint16_t* __restrict src = layerRow(item, y - y0) + 4 * (left - x0);
                for (int x = 0; x < right - left; ++x) over16(dst + 4 * x, src[4 * x], src[4 * x + 1], src[4 * x + 2], src[4 * x + 3]);
            } else {
                // 8-bit premultiplied ARGB: B, G, R, A bytes in memory.
                const uint8_t* __restrict src = item.constScanLine(y - y0) + 4 * (left - x0);
                for (int x = 0; x < right - left; ++x)
                    over16(dst + 4 * x, src[4 * x + 2] * 257u, src[4 * x + 1] * 257u, src[4 * x] * 257u, src[4 * x + 3] * 257u);
            }
        }
    });
}

// Source-over of an unscaled item whose top-left corner lies between pixels: each layer pixel
// takes the bilinear sample of the item at its own position (0 outside the item).
void shiftOver(QImage& layer, const QImage& item, double x0, double y0) {
    const QImage src = item.format() == kLayerFormat ? item : item.convertToFormat(kLayerFormat);
    const int ox = static_cast<int>(std::floor(x0));
    const int oy = static_cast<int>(std::floor(y0));
    // Layer pixel X samples the item at X − x0 = (X − ox − 1) + (1 − fx).
    const float fx = static_cast<float>(x0 - ox);
    const float fy = static_cast<float>(y0 - oy);
    const int top = std::max(0, oy);
    const int bottom = std::min(layer.height(), oy + src.height() + 1);
    const int left = std::max(0, ox);
    const int right = std::min(layer.width(), ox + src.width() + 1);
    if (top >= bottom || left >= right) return;
    layer.bits();
    auto sample = [&](int x, int y) -> Rgba {
        if (x < 0 || y < 0 || x >= src.width() || y >= src.height()) return {};
        return loadRgba64(layerRow(src, y) + 4 * x);
    };
    forEachRowBand(bottom - top, [&](int begin, int end) {
        for (int y = top + begin; y < top + end; ++y) {
            const int iy = y - oy;  // item rows iy − 1 (weight fy) and iy (weight 1 − fy)
            uint16_t* dst = layerRow(layer, y) + 4 * left;
            for (int x = left; x < right; ++x, dst += 4) {
                const int ix = x - ox;
                const Rgba p = (sample(ix - 1, iy - 1) * fx + sample(ix, iy - 1) * (1.0f - fx)) * fy +
                               (sample(ix - 1, iy) * fx + sample(ix, iy) * (1.0f - fx)) * (1.0f - fy);
                if (p.a <= 0.0f && p.r <= 0.0f && p.g <= 0.0f && p.b <= 0.0f) continue;
                const Rgba out = sourceOver(p, loadRgba64(dst));
                dst[0] = to16(out.r), dst[1] = to16(out.g), dst[2] = to16(out.b), dst[3] = to16(out.a);
            }
        }
    });
}

}  // namespace

QImage makeLayer(int width, int height) {
    QImage layer(std::max(width, 1), std::max(height, 1), kLayerFormat);
    clearLayerArea(layer, {});
    return layer;
}

void clearLayerArea(QImage& layer, Area area) {
    const int top = std::max(area.top, 0), bottom = std::min(area.bottom, layer.height());
    const int left = std::max(area.left, 0), right = std::min(area.right, layer.width());
    if (top >= bottom || left >= right) return;
    layer.bits();
    forEachRowBand(bottom - top, [&](int begin, int end) {
        for (int y = top + begin; y < top + end; ++y) std::fill_n(layer.scanLine(y) + 8 * left, size_t(right - left) * 8, uint8_t(0));
    });
}

void drawOver(QImage& layer, const QImage& item, QPointF topLeft, QSizeF size) {
    if (item.isNull() || layer.isNull() || size.width() <= 0 || size.height() <= 0) return;
    const bool sameSize = size.width() == item.width() && size.height() == item.height();
    const bool direct = item.format() == kLayerFormat || item.format() == QImage::Format_ARGB32_Premultiplied;
    if (sameSize && isWhole(topLeft.x()) && isWhole(topLeft.y())) {
        const QImage usable = direct ? item : item.convertToFormat(kLayerFormat);
        copyRowsOver(layer, usable, static_cast<int>(std::lround(topLeft.x())), static_cast<int>(std::lround(topLeft.y())));
        return;
    }
    // QPainter rounds an unscaled image's position to whole pixels.
    if (sameSize) {
        shiftOver(layer, item, topLeft.x(), topLeft.y());
        return;
    }
    const QRectF target(topLeft, size);
    const int top = std::max(0, static_cast<int>(std::floor(target.top())));
    const int bottom = std::min(layer.height(), static_cast<int>(std::ceil(target.bottom())));
    if (top >= bottom || target.right() <= 0 || target.left() >= layer.width()) return;
    uchar* bits = layer.bits();
    const qsizetype stride = layer.bytesPerLine();
    const int bands = (bottom - top + kPainterBandRows - 1) / kPainterBandRows;
    forEachRowBand(bands, [&](int begin, int end) {
        for (int band = begin; band < end; ++band) {
            const int y0 = top + band * kPainterBandRows;
            const int rows = std::min(kPainterBandRows, bottom - y0);
            QImage view(bits + y0 * stride, layer.width(), rows, stride, kLayerFormat);
            QPainter painter(&view);
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.translate(0, -y0);
            painter.drawImage(target, item, QRectF(item.rect()));
        }
    });
}

namespace {

RowRange clipped(RowRange rows, int height) { return {std::max(rows.top, 0), std::min(rows.bottom, height)}; }

}  // namespace

void addPlane(FloatPlane& into, const FloatPlane& other, RowRange rows) {
    const RowRange r = clipped(rows, std::min(into.height, other.height));
    const int w = std::min(into.width, other.width);
    forEachRowBand(r.bottom - r.top, [&](int begin, int end) {
        for (int y = r.top + begin; y < r.top + end; ++y) {
            float* dst = into.row(y);
            const float* src = other.row(y);
            for (int x = 0; x < w; ++x) dst[x] += src[x];
        }
    });
}

void copyPlaneRows(const FloatPlane& from, FloatPlane& into, RowRange rows) {
    const RowRange r = clipped(rows, std::min(into.height, from.height));
    forEachRowBand(r.bottom - r.top, [&](int begin, int end) {
        for (int y = r.top + begin; y < r.top + end; ++y) std::copy_n(from.row(y), std::min(into.width, from.width), into.row(y));
    });
}

void clearPlaneRows(FloatPlane& plane, RowRange rows) {
    const RowRange r = clipped(rows, plane.height);
    forEachRowBand(r.bottom - r.top, [&](int begin, int end) {
        for (int y = r.top + begin; y < r.top + end; ++y) std::fill_n(plane.row(y), plane.width, 0.0f);
    });
}

void alphaPlane(const QImage& layer, float scale, FloatPlane& into, RowRange rows) {
    const int w = layer.width();
    const int h = layer.height();
    if (into.width != w || into.height != h) into = FloatPlane(w, h);
    const RowRange r = clipped(rows, h);
    const float k = scale / 65535.0f;
    forEachRowBand(r.bottom - r.top, [&](int begin, int end) {
        for (int y = r.top + begin; y < r.top + end; ++y) {
            float* out = into.row(y);
            const uint16_t* src = layerRow(layer, y);
            for (int x = 0; x < w; ++x) out[x] = float(src[4 * x + 3]) * k;
        }
    });
}

namespace {

// One row of a layer stack in planar float, each step a loop of its own so that it vectorises.
struct LayerSpan {
    const uint16_t* row = nullptr;  // the layer's row, or null
    int left = 0, right = 0;        // columns that may hold something
};

// Columns [first, last) of one row.
void composeRow(const float* __restrict v, LayerSpan base, LayerSpan top, const ColoredPlane& under, float fade, Rgba bg,
                float bgKeep, int first, int last, float* __restrict r, float* __restrict g, float* __restrict b,
                float* __restrict a) {
    const float ur = under.r, ug = under.g, ub = under.b;
    if (v) {
        for (int x = first; x < last; ++x) r[x] = ur * v[x], g[x] = ug * v[x], b[x] = ub * v[x], a[x] = v[x];
    } else {
        for (int x = first; x < last; ++x) r[x] = g[x] = b[x] = a[x] = 0.0f;
    }
    constexpr float k16 = 1.0f / 65535.0f;
    for (const LayerSpan& span : {base, top}) {
        const uint16_t* __restrict layer = span.row;
        if (!layer) continue;
        for (int x = span.left; x < span.right; ++x) {
            const float sa = float(layer[4 * x + 3]) * k16;
            const float keep = 1.0f - sa;
            r[x] = float(layer[4 * x]) * k16 + r[x] * keep;
            g[x] = float(layer[4 * x + 1]) * k16 + g[x] * keep;
            b[x] = float(layer[4 * x + 2]) * k16 + b[x] * keep;
            a[x] = sa + a[x] * keep;
        }
    }
    const float br = bg.r * bgKeep, bgg = bg.g * bgKeep, bb = bg.b * bgKeep, ba = bg.a * bgKeep;
    for (int x = first; x < last; ++x) {
        const float ra = r[x] * fade, ga = g[x] * fade, bl = b[x] * fade, al = a[x] * fade;
        const float keep = 1.0f - al;
        r[x] = ra + br * keep, g[x] = ga + bgg * keep, b[x] = bl + bb * keep, a[x] = al + ba * keep;
    }
}

inline uint8_t byteOf(float v) { return static_cast<uint8_t>(std::min(std::max(v, 0.0f), 1.0f) * 255.0f + 0.5f); }

// 0…255 of a value clamped to 0…1 (NaN gives 0), written so that it maps onto min/max instructions.
inline uint32_t channel(float v) {
    v = v > 0.0f ? v : 0.0f;
    v = v < 1.0f ? v : 1.0f;
    return static_cast<uint32_t>(static_cast<int32_t>(v * 255.0f + 0.5f));
}

// Whole pixels as 32-bit words (little-endian: byte i is bits 8i…8i+7), so the loop vectorises.
template <int R, int B, bool Straight>
void packRow(const float* __restrict r, const float* __restrict g, const float* __restrict b, const float* __restrict a,
             int width, uint8_t* out) {
    auto* __restrict words = reinterpret_cast<uint32_t*>(out);
    for (int x = 0; x < width; ++x) {
        float k = 1.0f;
        if constexpr (Straight) k = a[x] > 0.0f ? 1.0f / a[x] : 0.0f;
        words[x] = channel(r[x] * k) << (8 * R) | channel(g[x] * k) << 8 | channel(b[x] * k) << (8 * B) | channel(a[x]) << 24;
    }
}

LayerSpan spanOf(const QImage* layer, const Area& area, int y, int width) {
    if (!layer || y < area.top || y >= area.bottom) return {};
    const int left = std::max(area.left, 0), right = std::min({area.right, width, layer->width()});
    if (left >= right) return {};
    return {layerRow(*layer, y), left, right};
}

using PackRow = void (*)(const float*, const float*, const float*, const float*, int, uint8_t*);

}  // namespace

void storeLayerStack(const LayerStack& stack, int width, int height, uint8_t* pixels, size_t bytesPerRow,
                     StoreOrder order, StoreAlpha alpha) {
    const FloatPlane* plane = stack.under.plane;
    // The plane's shift splits into whole pixels and one bilinear fraction shared by all pixels.
    const double sx = -static_cast<double>(stack.under.dx);
    const double sy = -static_cast<double>(stack.under.dy);
    const int shiftX = static_cast<int>(std::floor(sx));
    const int shiftY = static_cast<int>(std::floor(sy));
    const float fx = static_cast<float>(sx - shiftX);
    const float fy = static_cast<float>(sy - shiftY);
    const bool unshifted = shiftX == 0 && shiftY == 0 && fx == 0.0f && fy == 0.0f;
    const bool straight = alpha == StoreAlpha::straight;
    const bool bgra = order == StoreOrder::bgra;
    const PackRow pack = bgra ? (straight ? packRow<2, 0, true> : packRow<2, 0, false>)
                              : (straight ? packRow<0, 2, true> : packRow<0, 2, false>);
    const Rgba bg = stack.background.value_or(Rgba{});
    const float bgKeep = stack.background ? 1.0f : 0.0f;
    // An empty row is the background alone (or transparent).
    uint8_t empty[4];
    empty[bgra ? 2 : 0] = byteOf(bg.r), empty[1] = byteOf(bg.g), empty[bgra ? 0 : 2] = byteOf(bg.b), empty[3] = byteOf(bg.a);
    const uint32_t emptyPixel = uint32_t(empty[0]) | uint32_t(empty[1]) << 8 | uint32_t(empty[2]) << 16 | uint32_t(empty[3]) << 24;

    forEachRowBand(height, [&](int begin, int end) {
        const size_t n = static_cast<size_t>(width);
        std::vector<float> work(n * 5);
        float* r = work.data();
        float* g = r + n;
        float* b = g + n;
        float* a = b + n;
        float* shifted = a + n;
        auto planeRow = [&](int y) -> const float* { return y >= 0 && y < plane->height ? plane->row(y) : nullptr; };
        for (int y = begin; y < end; ++y) {
            uint8_t* out = pixels + static_cast<size_t>(y) * bytesPerRow;
            const float* v = nullptr;
            int first = width, last = 0;
            if (plane && y >= stack.underArea.top && y < stack.underArea.bottom) {
                first = std::clamp(stack.underArea.left, 0, width);
                last = std::clamp(stack.underArea.right, 0, width);
                if (unshifted && plane->width >= width) {
                    v = plane->row(y);
                } else {
                    // v(x) = bilinear sample of the plane at (x + sx, y + sy), 0 outside.
                    std::fill_n(shifted, n, 0.0f);
                    const float* rows[2] = {planeRow(y + shiftY), planeRow(y + shiftY + 1)};
                    const float wy[2] = {1.0f - fy, fy};
                    for (int k = 0; k < 2; ++k) {
                        if (!rows[k] || wy[k] == 0.0f) continue;
                        const float w0 = wy[k] * (1.0f - fx), w1 = wy[k] * fx;
                        const float* src = rows[k];
                        const int a0 = std::max(0, -shiftX), a1 = std::min(width, plane->width - shiftX);
                        for (int x = a0; x < a1; ++x) shifted[x] += w0 * src[x + shiftX];
                        if (w1 == 0.0f) continue;
                        const int b0 = std::max(0, -shiftX - 1), b1 = std::min(width, plane->width - shiftX - 1);
                        for (int x = b0; x < b1; ++x) shifted[x] += w1 * src[x + shiftX + 1];
                    }
                    v = shifted;
                }
            }
            const LayerSpan base = spanOf(stack.base, stack.baseArea, y, width);
            const LayerSpan top = spanOf(stack.top, stack.topArea, y, width);
            for (const LayerSpan& span : {base, top})
                if (span.row) first = std::min(first, span.left), last = std::max(last, span.right);
            // Outside the columns anything was drawn into lies the background alone.
            auto* words = reinterpret_cast<uint32_t*>(out);
            if (first >= last) {
                std::fill_n(words, n, emptyPixel);
                continue;
            }
            std::fill_n(words, first, emptyPixel);
            std::fill_n(words + last, width - last, emptyPixel);
            composeRow(v, base, top, stack.under, stack.fade, bg, bgKeep, first, last, r, g, b, a);
            pack(r + first, g + first, b + first, a + first, last - first, out + 4 * static_cast<size_t>(first));
        }
    });
}

QImage blendWithMask(const QImage& over, const QImage& under, const FloatPlane& mask) {
    const QImage o = over.convertToFormat(kLayerFormat);
    const QImage u = under.convertToFormat(kLayerFormat);
    QImage out(o.size(), kLayerFormat);
    out.bits();
    const int w = std::min({o.width(), u.width(), mask.width});
    const int h = std::min({o.height(), u.height(), mask.height});
    forEachRowBand(h, [&](int begin, int end) {
        for (int y = begin; y < end; ++y) {
            const uint16_t* po = layerRow(o, y);
            const uint16_t* pu = layerRow(u, y);
            uint16_t* dst = layerRow(out, y);
            const float* m = mask.row(y);
            for (int x = 0; x < w; ++x) {
                const Rgba p = maskBlend(loadRgba64(po + 4 * x), loadRgba64(pu + 4 * x), m[x]);
                dst[4 * x] = to16(p.r), dst[4 * x + 1] = to16(p.g), dst[4 * x + 2] = to16(p.b), dst[4 * x + 3] = to16(p.a);
            }
        }
    });
    return out;
}

}  // namespace qm
