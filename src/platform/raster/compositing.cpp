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

uint16_t to16(float v) { return static_cast<uint16_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 65535.0f)); }
uint8_t to8(float v) { return static_cast<uint8_t>(std::clamp(v, 0.0f, 1.0f) * 255.0f + 0.5f); }

bool isWhole(double v) { return std::abs(v - std::round(v)) < 1e-9; }

// Source-over of one premultiplied 16-bit pixel onto another, in integers.
void over16(uint16_t* dst, uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    if (a == 0 && r == 0 && g == 0 && b == 0) return;
    if (a == 65535) {
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
                const uint16_t* src = layerRow(item, y - y0) + 4 * (left - x0);
                for (int x = left; x < right; ++x, dst += 4, src += 4) over16(dst, src[0], src[1], src[2], src[3]);
            } else {
                // 8-bit premultiplied ARGB: B, G, R, A bytes in memory.
                const uint8_t* src = item.constScanLine(y - y0) + 4 * (left - x0);
                for (int x = left; x < right; ++x, dst += 4, src += 4)
                    over16(dst, src[2] * 257u, src[1] * 257u, src[0] * 257u, src[3] * 257u);
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
    clearLayerRows(layer, 0, layer.height());
    return layer;
}

void clearLayerRows(QImage& layer, int top, int bottom) {
    top = std::max(top, 0);
    bottom = std::min(bottom, layer.height());
    if (top >= bottom) return;
    layer.bits();
    const size_t bytes = static_cast<size_t>(layer.width()) * 8;
    forEachRowBand(bottom - top, [&](int begin, int end) {
        for (int y = top + begin; y < top + end; ++y) std::fill_n(layer.scanLine(y), bytes, uint8_t(0));
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

void addPlane(FloatPlane& into, const FloatPlane& other) {
    forEachRowBand(std::min(into.height, other.height), [&](int begin, int end) {
        const int w = std::min(into.width, other.width);
        for (int y = begin; y < end; ++y) {
            float* dst = into.row(y);
            const float* src = other.row(y);
            for (int x = 0; x < w; ++x) dst[x] += src[x];
        }
    });
}

void alphaPlane(const QImage& layer, float scale, FloatPlane& into, int top, int bottom) {
    const int w = layer.width();
    const int h = layer.height();
    if (into.width != w || into.height != h) into = FloatPlane(w, h);
    if (bottom < 0 || bottom > h) bottom = h;
    top = std::clamp(top, 0, h);
    const float k = scale / 65535.0f;
    forEachRowBand(h, [&](int begin, int end) {
        for (int y = begin; y < end; ++y) {
            float* out = into.row(y);
            if (y < top || y >= bottom) {
                std::fill_n(out, w, 0.0f);
                continue;
            }
            const uint16_t* src = layerRow(layer, y);
            for (int x = 0; x < w; ++x) out[x] = float(src[4 * x + 3]) * k;
        }
    });
}

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
    const bool straight = alpha == StoreAlpha::straight;
    const int ri = order == StoreOrder::bgra ? 2 : 0;
    const int bi = order == StoreOrder::bgra ? 0 : 2;
    forEachRowBand(height, [&](int begin, int end) {
        std::vector<float> r(static_cast<size_t>(width)), g(r.size()), b(r.size()), a(r.size()), v(r.size());
        auto planeRow = [&](int y) -> const float* {
            return plane && y >= 0 && y < plane->height ? plane->row(y) : nullptr;
        };
        for (int y = begin; y < end; ++y) {
            std::fill(v.begin(), v.end(), 0.0f);
            if (plane) {
                // v(x) = bilinear sample of the plane at (x + sx, y + sy).
                const float* rows[2] = {planeRow(y + shiftY), planeRow(y + shiftY + 1)};
                const float wy[2] = {1.0f - fy, fy};
                for (int k = 0; k < 2; ++k) {
                    if (!rows[k] || wy[k] == 0.0f) continue;
                    for (int x = 0; x < width; ++x) {
                        const int x0 = x + shiftX;
                        float s = 0;
                        if (x0 >= 0 && x0 < plane->width) s += (1.0f - fx) * rows[k][x0];
                        if (fx != 0.0f && x0 + 1 >= 0 && x0 + 1 < plane->width) s += fx * rows[k][x0 + 1];
                        v[static_cast<size_t>(x)] += wy[k] * s;
                    }
                }
            }
            for (int x = 0; x < width; ++x) {
                const size_t i = static_cast<size_t>(x);
                r[i] = stack.under.r * v[i], g[i] = stack.under.g * v[i], b[i] = stack.under.b * v[i], a[i] = v[i];
            }
            for (const QImage* layer : {stack.base, stack.top}) {
                if (!layer) continue;
                const uint16_t* src = layerRow(*layer, y);
                constexpr float k = 1.0f / 65535.0f;
                for (int x = 0; x < width; ++x) {
                    const size_t i = static_cast<size_t>(x);
                    const float sa = float(src[4 * i + 3]) * k;
                    const float keep = 1.0f - sa;
                    r[i] = float(src[4 * i]) * k + r[i] * keep;
                    g[i] = float(src[4 * i + 1]) * k + g[i] * keep;
                    b[i] = float(src[4 * i + 2]) * k + b[i] * keep;
                    a[i] = sa + a[i] * keep;
                }
            }
            uint8_t* out = pixels + static_cast<size_t>(y) * bytesPerRow;
            const float fade = stack.fade;
            const Rgba bg = stack.background.value_or(Rgba{});
            const bool hasBackground = stack.background.has_value();
            for (int x = 0; x < width; ++x, out += 4) {
                const size_t i = static_cast<size_t>(x);
                Rgba p{r[i] * fade, g[i] * fade, b[i] * fade, a[i] * fade};
                if (hasBackground) p = sourceOver(p, bg);
                if (straight) p = unpremultiplied(p);
                out[ri] = to8(p.r);
                out[1] = to8(p.g);
                out[bi] = to8(p.b);
                out[3] = to8(p.a);
            }
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
