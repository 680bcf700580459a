#include "platform/raster/dilation.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/raster/parallel_rows.h"

namespace qm {

namespace {

// Sliding maximum over [x − half, x + half] of one row (van Herk / Gil-Werman: three
// comparisons a value whatever the width). Values beyond the row count as 0.
void slidingMax(const float* row, int w, int half, float* out, std::vector<float>& padded,
                std::vector<float>& prefix, std::vector<float>& suffix) {
    if (half == 0) {
        std::copy_n(row, w, out);
        return;
    }
    const int block = 2 * half + 1;
    const int n = w + 2 * half;
    const int blocks = (n + block - 1) / block;
    const size_t size = static_cast<size_t>(blocks) * static_cast<size_t>(block);
    padded.assign(size, 0.0f);
    std::copy_n(row, w, padded.begin() + half);
    prefix.resize(size);
    suffix.resize(size);
    for (size_t start = 0; start < size; start += static_cast<size_t>(block)) {
        prefix[start] = padded[start];
        for (size_t i = 1; i < static_cast<size_t>(block); ++i)
            prefix[start + i] = std::max(prefix[start + i - 1], padded[start + i]);
        suffix[start + block - 1] = padded[start + block - 1];
        for (size_t i = static_cast<size_t>(block) - 1; i-- > 0;)
            suffix[start + i] = std::max(suffix[start + i + 1], padded[start + i]);
    }
    // out[x] covers padded[x, x + 2 half].
    for (int x = 0; x < w; ++x) out[x] = std::max(suffix[static_cast<size_t>(x)], prefix[static_cast<size_t>(x + 2 * half)]);
}

}  // namespace

void dilateDisc(FloatPlane& plane, double radius) {
    if (!std::isfinite(radius) || radius < 1.0 || plane.width <= 0 || plane.height <= 0) return;
    const int w = plane.width;
    const int h = plane.height;
    const int reach = static_cast<int>(std::floor(radius));
    std::vector<int> halfWidth(static_cast<size_t>(reach) + 1);
    for (int dy = 0; dy <= reach; ++dy)
        halfWidth[static_cast<size_t>(dy)] = static_cast<int>(std::floor(std::sqrt(radius * radius - double(dy) * dy) + 1e-9));
    // Empty rows (most of a credits layer) contribute nothing and are skipped.
    std::vector<char> occupied(static_cast<size_t>(h));
    forEachRowBand(h, [&](int begin, int end) {
        for (int y = begin; y < end; ++y) {
            const float* row = plane.row(y);
            occupied[static_cast<size_t>(y)] = std::any_of(row, row + w, [](float v) { return v != 0.0f; });
        }
    });
    const FloatPlane source = plane;
    forEachRowBand(h, [&](int begin, int end) {
        std::vector<float> spread(static_cast<size_t>(w)), padded, prefix, suffix;
        for (int y = begin; y < end; ++y) {
            float* out = plane.row(y);
            std::fill_n(out, w, 0.0f);
            for (int dy = -reach; dy <= reach; ++dy) {
                const int sy = y + dy;
                if (sy < 0 || sy >= h || !occupied[static_cast<size_t>(sy)]) continue;
                slidingMax(source.row(sy), w, halfWidth[static_cast<size_t>(std::abs(dy))], spread.data(), padded, prefix, suffix);
                for (int x = 0; x < w; ++x) out[x] = std::max(out[x], spread[static_cast<size_t>(x)]);
            }
        }
    });
}

}  // namespace qm
