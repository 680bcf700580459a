#include "platform/raster/sampling.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/raster/parallel_rows.h"

namespace qm {

namespace {

struct Tap {
    int index;
    float weight;
};

// For each of `outCount` output cells over `inCount` input pixels, the pixels it covers and how
// much of each, normalised to sum 1.
std::vector<std::vector<Tap>> coverage(int inCount, int outCount) {
    std::vector<std::vector<Tap>> taps(static_cast<size_t>(outCount));
    const double scale = double(inCount) / double(outCount);
    for (int o = 0; o < outCount; ++o) {
        const double start = o * scale;
        const double end = (o + 1) * scale;
        auto& list = taps[static_cast<size_t>(o)];
        for (int i = static_cast<int>(std::floor(start)); i < std::min(inCount, static_cast<int>(std::ceil(end))); ++i) {
            const double w = std::min(end, i + 1.0) - std::max(start, double(i));
            if (w > 0) list.push_back({i, static_cast<float>(w / scale)});
        }
    }
    return taps;
}

}  // namespace

Rgba areaAverage(const QImage& image, const QRectF& rect) {
    const QRectF inside = rect.intersected(QRectF(image.rect()));
    if (inside.isEmpty()) return {};
    const QRect cells = inside.toAlignedRect();
    const QImage part = image.copy(cells).convertToFormat(kLayerFormat);
    double sum[4] = {0, 0, 0, 0};
    double total = 0;
    for (int y = 0; y < part.height(); ++y) {
        const double py = cells.top() + y;
        const double wy = std::min(inside.bottom(), py + 1) - std::max(inside.top(), py);
        const auto* row = reinterpret_cast<const uint16_t*>(part.constScanLine(y));
        for (int x = 0; x < part.width(); ++x) {
            const double px = cells.left() + x;
            const double w = wy * (std::min(inside.right(), px + 1) - std::max(inside.left(), px));
            if (w <= 0) continue;
            const Rgba p = loadRgba64(row + 4 * x);
            sum[0] += w * p.r, sum[1] += w * p.g, sum[2] += w * p.b, sum[3] += w * p.a;
            total += w;
        }
    }
    if (total <= 0) return {};
    return {float(sum[0] / total), float(sum[1] / total), float(sum[2] / total), float(sum[3] / total)};
}

namespace {

// The averaging pass over 8- or 16-bit premultiplied RGBA, kept at its depth.
template <typename Channel>
void averageInto(const QImage& src, QImage& out) {
    constexpr float top = float(Channel(~Channel(0)));
    const auto columns = coverage(src.width(), out.width());
    const auto rows = coverage(src.height(), out.height());
    out.bits();
    forEachRowBand(out.height(), [&](int begin, int end) {
        std::vector<float> line(static_cast<size_t>(src.width()) * 4);
        for (int y = begin; y < end; ++y) {
            std::fill(line.begin(), line.end(), 0.0f);
            for (const Tap& ty : rows[static_cast<size_t>(y)]) {
                const auto* s = reinterpret_cast<const Channel*>(src.constScanLine(ty.index));
                for (size_t i = 0; i < line.size(); ++i) line[i] += ty.weight * float(s[i]);
            }
            auto* dst = reinterpret_cast<Channel*>(out.scanLine(y));
            for (int x = 0; x < out.width(); ++x) {
                float acc[4] = {0, 0, 0, 0};
                for (const Tap& tx : columns[static_cast<size_t>(x)])
                    for (int c = 0; c < 4; ++c) acc[c] += tx.weight * line[static_cast<size_t>(tx.index) * 4 + static_cast<size_t>(c)];
                for (int c = 0; c < 4; ++c) dst[4 * x + c] = static_cast<Channel>(std::clamp(acc[c], 0.0f, top) + 0.5f);
            }
        }
    });
}

}  // namespace

QImage downscaleArea(const QImage& image, int width, int height) {
    const bool deep = image.format() == kLayerFormat;
    const QImage::Format format = deep ? kLayerFormat : QImage::Format_RGBA8888_Premultiplied;
    const QImage src = image.format() == format ? image : image.convertToFormat(format);
    if (width >= src.width() && height >= src.height()) return src;
    width = std::clamp(width, 1, src.width());
    height = std::clamp(height, 1, src.height());
    QImage out(width, height, format);
    if (deep)
        averageInto<uint16_t>(src, out);
    else
        averageInto<uint8_t>(src, out);
    return out;
}

}  // namespace qm
