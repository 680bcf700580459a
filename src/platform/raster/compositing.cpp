#include "platform/raster/compositing.h"

#include <QPainter>
#include <QRectF>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/raster/parallel_rows.h"

namespace qm {

namespace {

constexpr int kPainterBandRows = 64;

// Four floats or integers as one value (one SSE register).
typedef float Quad __attribute__((vector_size(16)));
typedef int32_t Quad32 __attribute__((vector_size(16)));
typedef uint32_t QuadU __attribute__((vector_size(16)));

uint16_t* layerRow(QImage& layer, int y) { return reinterpret_cast<uint16_t*>(layer.scanLine(y)); }
const uint16_t* layerRow(const QImage& layer, int y) { return reinterpret_cast<const uint16_t*>(layer.constScanLine(y)); }

bool isWhole(double v) { return std::abs(v - std::round(v)) < 1e-9; }

// Source-over of one premultiplied 16-bit pixel onto another, in integers. Items are mostly
// transparent and are drawn onto cleared layers, so both shortcuts are taken in long runs.
inline void over16(uint16_t* __restrict dst, uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    if ((a | r | g | b) == 0) return;
    if (a == 65535 || (dst[0] | dst[1] | dst[2] | dst[3]) == 0) {
        dst[0] = uint16_t(r), dst[1] = uint16_t(g), dst[2] = uint16_t(b), dst[3] = uint16_t(a);
        return;
    }
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
    // 8-bit premultiplied items (strip tiles, thousands of rows) are read where they are, each
    // channel widened as a layer holds it (times 257); other formats are converted first.
    const bool shallow = item.format() == QImage::Format_ARGB32_Premultiplied;
    const QImage src = item.format() == kLayerFormat || shallow ? item : item.convertToFormat(kLayerFormat);
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
    // R, G, B, A of an item pixel as a layer holds them, 0…1; 0 outside the item.
    constexpr float k16 = 1.0f / 65535.0f;
    const int itemWidth = src.width();
    auto sample = [&](const uchar* row, int x) -> Quad {
        if (!row || x < 0 || x >= itemWidth) return Quad{};
        if (shallow) {
            const uint8_t* p = row + 4 * x;  // B, G, R, A
            return __builtin_convertvector(Quad32{p[2], p[1], p[0], p[3]} * 257, Quad) * k16;
        }
        const uint16_t* p = reinterpret_cast<const uint16_t*>(row) + 4 * x;
        return __builtin_convertvector(Quad32{p[0], p[1], p[2], p[3]}, Quad) * k16;
    };
    // A sample with no weight adds nothing (0 + v is v), so it is not read: a position whole in
    // one direction reads two pixels, not four.
    auto rowSample = [&](const uchar* row, int ix) -> Quad {
        const Quad right = sample(row, ix) * (1.0f - fx);
        return fx != 0.0f ? sample(row, ix - 1) * fx + right : right;
    };
    // Whether the item pixel is transparent (or outside the item): such pixels add nothing, and
    // most of a text tile is transparent.
    const size_t pixelBytes = shallow ? 4 : 8;
    auto clear = [&](const uchar* row, int x) {
        if (!row || x < 0 || x >= itemWidth) return true;
        uint64_t bits = 0;
        std::memcpy(&bits, row + pixelBytes * size_t(x), pixelBytes);
        return bits == 0;
    };
    forEachRowBand(bottom - top, [&](int begin, int end) {
        for (int y = top + begin; y < top + end; ++y) {
            const int iy = y - oy;  // item rows iy − 1 (weight fy) and iy (weight 1 − fy)
            const uchar* upper = fy != 0.0f && iy >= 1 && iy - 1 < src.height() ? src.constScanLine(iy - 1) : nullptr;
            const uchar* below = iy >= 0 && iy < src.height() ? src.constScanLine(iy) : nullptr;
            uint16_t* dst = layerRow(layer, y) + 4 * left;
            for (int x = left; x < right; ++x, dst += 4) {
                const int ix = x - ox;
                // Runs of transparent 8-bit pixels are passed over four at a time.
                if (shallow && !upper && below && ix >= 1 && ix + 4 <= itemWidth && x + 4 <= right) {
                    uint32_t words[5];
                    std::memcpy(words, below + 4 * size_t(ix - 1), sizeof words);
                    if ((words[0] | words[1] | words[2] | words[3] | words[4]) == 0) {
                        x += 3, dst += 12;
                        continue;
                    }
                }
                if (clear(below, ix) && (fx == 0.0f || clear(below, ix - 1)) && clear(upper, ix) &&
                    (fx == 0.0f || clear(upper, ix - 1)))
                    continue;
                const Quad lower = rowSample(below, ix) * (1.0f - fy);
                const Quad p = fy != 0.0f ? rowSample(upper, ix) * fy + lower : lower;
                if (p[3] <= 0.0f && p[0] <= 0.0f && p[1] <= 0.0f && p[2] <= 0.0f) continue;
                // Source-over the layer pixel.
                const Quad under = __builtin_convertvector(Quad32{dst[0], dst[1], dst[2], dst[3]}, Quad) * k16;
                const Quad out = p + under * (1.0f - p[3]);
                dst[0] = to16(out[0]), dst[1] = to16(out[1]), dst[2] = to16(out[2]), dst[3] = to16(out[3]);
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

void clearPlaneArea(FloatPlane& plane, Area area, Area keep) {
    const Area a = clippedArea(area, plane.width, plane.height);
    if (a.empty()) return;
    forEachRowBand(a.bottom - a.top, [&](int begin, int end) {
        for (int y = a.top + begin; y < a.top + end; ++y) {
            float* row = plane.row(y);
            if (keep.empty() || y < keep.top || y >= keep.bottom) {
                std::fill(row + a.left, row + a.right, 0.0f);
                continue;
            }
            std::fill(row + a.left, row + std::clamp(keep.left, a.left, a.right), 0.0f);
            std::fill(row + std::clamp(keep.right, a.left, a.right), row + a.right, 0.0f);
        }
    });
}

namespace {

// Alpha times k of `count` pixels into `out`, four at a time: 16-bit layer pixels, or 8-bit BGRA
// ones widened as a layer holds them (times 257). Returns the first and one past the last
// non-zero position ([count, 0) when there is none).
template <typename T>
std::pair<int, int> alphaRow(const T* src, int count, float k, float* out) {
    constexpr bool deep = sizeof(T) == 2;
    int lo = count, hi = 0;
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        Quad32 alpha;
        if constexpr (deep) {
            QuadU words[2];
            std::memcpy(words, src + 4 * i, sizeof words);
#if defined(__clang__)
            const QuadU ba = __builtin_shufflevector(words[0], words[1], 1, 3, 5, 7);
#else
            const QuadU ba = __builtin_shuffle(words[0], words[1], QuadU{1, 3, 5, 7});
#endif
            alpha = Quad32(ba >> 16);
        } else {
            QuadU px;
            std::memcpy(&px, src + 4 * i, sizeof px);
            alpha = Quad32(px >> 24) * 257;
        }
        const Quad v = __builtin_convertvector(alpha, Quad) * k;
        std::memcpy(out + i, &v, sizeof v);
        if ((alpha[0] | alpha[1] | alpha[2] | alpha[3]) != 0) {
            if (lo == count) lo = i + (alpha[0] ? 0 : alpha[1] ? 1 : alpha[2] ? 2 : 3);
            hi = i + (alpha[3] ? 4 : alpha[2] ? 3 : alpha[1] ? 2 : 1);
        }
    }
    for (; i < count; ++i) {
        const uint32_t alpha = deep ? uint32_t(src[4 * i + 3]) : uint32_t(src[4 * i + 3]) * 257u;
        out[i] = float(alpha) * k;
        if (alpha != 0) lo = std::min(lo, i), hi = i + 1;
    }
    return {lo, hi};
}

}  // namespace

Area alphaPlane(const std::vector<PlacedImage>& images, float scale, FloatPlane& into, Area area) {
    const Area a = clippedArea(area, into.width, into.height);
    if (a.empty()) return {0, 0, 0, 0};
    // Layer values are 8-bit ones times 257, so both depths give the same numbers.
    const float k = scale / 65535.0f;
    // The non-zero columns of each row, [first, last).
    std::vector<int> first(static_cast<size_t>(a.bottom - a.top)), last(first.size());
    forEachRowBand(a.bottom - a.top, [&](int begin, int end) {
        for (int y = a.top + begin; y < a.top + end; ++y) {
            float* out = into.row(y);
            int x = a.left;
            int& lo = first[static_cast<size_t>(y - a.top)];
            int& hi = last[static_cast<size_t>(y - a.top)];
            lo = a.right, hi = a.left;
            // Images are taken left to right; a row shares no pixel between two of them.
            for (;;) {
                const PlacedImage* next = nullptr;
                int x0 = a.right;
                for (const PlacedImage& p : images) {
                    if (!p.image || y < p.y || y >= p.y + p.image->height()) continue;
                    const int from = std::max(p.x, x);
                    if (from < std::min(p.x + p.image->width(), a.right) && from < x0) x0 = from, next = &p;
                }
                std::fill(out + x, out + x0, 0.0f);
                if (!next) break;
                const int x1 = std::min(next->x + next->image->width(), a.right);
                const uchar* line = next->image->constScanLine(y - next->y);
                const auto [first, last] =
                    next->image->format() == kLayerFormat
                        ? alphaRow(reinterpret_cast<const uint16_t*>(line) + 4 * (x0 - next->x), x1 - x0, k, out + x0)
                        : alphaRow(line + 4 * (x0 - next->x), x1 - x0, k, out + x0);
                if (first < last) lo = std::min(lo, x0 + first), hi = std::max(hi, x0 + last);
                x = x1;
            }
        }
    });
    Area ink{a.bottom, a.top, a.right, a.left};
    for (int y = a.top; y < a.bottom; ++y) {
        const size_t i = static_cast<size_t>(y - a.top);
        if (first[i] >= last[i]) continue;
        ink.top = std::min(ink.top, y), ink.bottom = y + 1;
        ink.left = std::min(ink.left, first[i]), ink.right = std::max(ink.right, last[i]);
    }
    return ink.empty() ? Area{0, 0, 0, 0} : ink;
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
