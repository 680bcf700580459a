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

// A rectangle of pixels: rows [top, bottom), columns [left, right); the default holds everything.
struct Area {
    int top = 0;
    int bottom = 1 << 30;
    int left = 0;
    int right = 1 << 30;
    bool empty() const { return top >= bottom || left >= right; }
    bool operator==(const Area&) const = default;
};

// The area clipped to a width × height picture.
inline Area clippedArea(Area a, int width, int height) {
    return {a.top < 0 ? 0 : a.top, a.bottom > height ? height : a.bottom, a.left < 0 ? 0 : a.left,
            a.right > width ? width : a.right};
}

// The area grown by `by` pixels on every side (not clipped); an empty area stays empty.
inline Area grownArea(Area a, int by) {
    if (a.empty()) return a;
    return {a.top - by, a.bottom + by, a.left - by, a.right + by};
}

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
