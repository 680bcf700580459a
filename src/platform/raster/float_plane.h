#pragma once
// One float channel of a picture (a silhouette's coverage, a mask). Values are not clamped: sums
// of blurred planes may pass 1.

#include <cstddef>
#include <vector>

namespace qm {

// Rows [top, bottom) of a span of rows, clipped to a picture's height by the users.
struct RowRange {
    int top = 0;
    int bottom = 1 << 30;
    bool contains(int y) const { return y >= top && y < bottom; }
    bool operator==(const RowRange&) const = default;
};

struct FloatPlane {
    int width = 0;
    int height = 0;
    std::vector<float> pixels;  // rows from the top, `width` values a row

    FloatPlane() = default;
    FloatPlane(int w, int h) : width(w), height(h), pixels(static_cast<size_t>(w) * static_cast<size_t>(h), 0.0f) {}
    bool operator==(const FloatPlane&) const = default;

    float* row(int y) { return pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width); }
    const float* row(int y) const { return pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width); }
    float at(int x, int y) const { return row(y)[x]; }
};

}  // namespace qm
