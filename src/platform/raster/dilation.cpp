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

void dilateDisc(FloatPlane& plane, double radius, std::optional<Area> used, std::vector<float>* work) {
    if (!std::isfinite(radius) || radius < 1.0 || plane.width <= 0 || plane.height <= 0) return;
    const int w = plane.width;
    const int h = plane.height;
    const Area u = clippedArea(used.value_or(Area{}), w, h);
    if (u.empty()) return;
    const int reach = static_cast<int>(std::floor(radius));
    std::vector<int> halfWidth(static_cast<size_t>(reach) + 1);
    for (int dy = 0; dy <= reach; ++dy)
        halfWidth[static_cast<size_t>(dy)] = static_cast<int>(std::floor(std::sqrt(radius * radius - double(dy) * dy) + 1e-9));
    // The used rows are copied aside with `reach` zeros on both sides: columns u.left − reach
    // onwards, so that every output column within reach reads a whole window.
    const int sourceWidth = u.right - u.left + 2 * reach;
    const int rows = u.bottom - u.top;
    std::vector<float> own;
    std::vector<float>& source = work ? *work : own;
    source.assign(static_cast<size_t>(sourceWidth) * static_cast<size_t>(rows), 0.0f);
    // Empty rows (most of a credits layer) contribute nothing and are skipped.
    std::vector<char> occupied(static_cast<size_t>(rows));
    forEachRowBand(rows, [&](int begin, int end) {
        for (int i = begin; i < end; ++i) {
            const float* row = plane.row(u.top + i) + u.left;
            occupied[static_cast<size_t>(i)] = std::any_of(row, row + (u.right - u.left), [](float v) { return v != 0.0f; });
            std::copy(row, row + (u.right - u.left), source.begin() + static_cast<ptrdiff_t>(i) * sourceWidth + reach);
        }
    });
    const int top = std::max(0, u.top - reach), bottom = std::min(h, u.bottom + reach);
    const int left = std::max(0, u.left - reach), right = std::min(w, u.right + reach);
    forEachRowBand(bottom - top, [&](int begin, int end) {
        std::vector<float> out(static_cast<size_t>(sourceWidth)), spread(static_cast<size_t>(sourceWidth)), padded, prefix, suffix;
        for (int y = top + begin; y < top + end; ++y) {
            std::fill(out.begin(), out.end(), 0.0f);
            for (int dy = -reach; dy <= reach; ++dy) {
                const int i = y + dy - u.top;
                if (i < 0 || i >= rows || !occupied[static_cast<size_t>(i)]) continue;
                slidingMax(source.data() + static_cast<ptrdiff_t>(i) * sourceWidth, sourceWidth,
                           halfWidth[static_cast<size_t>(std::abs(dy))], spread.data(), padded, prefix, suffix);
                for (int x = 0; x < sourceWidth; ++x) out[static_cast<size_t>(x)] = std::max(out[static_cast<size_t>(x)], spread[static_cast<size_t>(x)]);
            }
            // Source column x stands for plane column u.left − reach + x.
            std::copy_n(out.begin() + (left - (u.left - reach)), right - left, plane.row(y) + left);
        }
    });
}

}  // namespace qm
