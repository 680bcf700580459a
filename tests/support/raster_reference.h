#pragma once
// Direct, double-precision forms of the raster filters, the references of the raster and credits
// frame tests. Pictures are width × height values, row by row.

#include <algorithm>
#include <cmath>
#include <vector>

namespace qm::test {

// The sampled Gaussian (reaching 6 sigma, normalised) along rows, then columns; edges repeated.
inline std::vector<double> directGaussian(const std::vector<double>& in, int w, int h, double sigma) {
    const int r = int(std::ceil(6 * sigma));
    std::vector<double> k(size_t(2 * r + 1));
    double sum = 0;
    for (int i = -r; i <= r; ++i) sum += k[size_t(i + r)] = std::exp(-i * i / (2 * sigma * sigma));
    for (double& v : k) v /= sum;
    std::vector<double> tmp(in.size()), out(in.size());
    for (int pass = 0; pass < 2; ++pass) {
        const std::vector<double>& src = pass == 0 ? in : tmp;
        std::vector<double>& dst = pass == 0 ? tmp : out;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                double acc = 0;
                for (int i = -r; i <= r; ++i) {
                    const int sx = pass == 0 ? std::clamp(x + i, 0, w - 1) : x;
                    const int sy = pass == 0 ? y : std::clamp(y + i, 0, h - 1);
                    acc += k[size_t(i + r)] * src[size_t(sy) * size_t(w) + size_t(sx)];
                }
                dst[size_t(y) * size_t(w) + size_t(x)] = acc;
            }
    }
    return out;
}

// Each value the largest within dx² + dy² ≤ radius²; nothing lies beyond the edges.
inline std::vector<double> bruteDilate(const std::vector<double>& in, int w, int h, double radius) {
    std::vector<double> out(in.size());
    const int reach = int(radius);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int dy = -reach; dy <= reach; ++dy)
                for (int dx = -reach; dx <= reach; ++dx)
                    if (dx * dx + dy * dy <= radius * radius && x + dx >= 0 && x + dx < w && y + dy >= 0 && y + dy < h)
                        out[size_t(y * w + x)] = std::max(out[size_t(y * w + x)], in[size_t((y + dy) * w + x + dx)]);
    return out;
}

}  // namespace qm::test
