#include "platform/raster/gaussian_blur.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "platform/raster/parallel_rows.h"

namespace qm {

namespace {

// Lines are processed kLanes at a time (rows for the horizontal pass, columns for the vertical
// one), interleaved so that the inner loops run over neighbouring floats.
constexpr int kLanes = 16;
// Up to this sigma the sampled kernel is cheap enough and exact; above, six extended boxes stay
// within 1 % of it.
constexpr double kDirectKernelLimit = 3.0;
constexpr int kBoxPasses = 6;

struct BlurPlan {
    bool direct = true;
    int radius = 0;
    std::vector<float> weights;  // direct: 2 × radius + 1 taps
    float alpha = 0;             // box: weight of the two samples just outside the box
    float norm = 1;
    int reach() const { return direct ? radius : kBoxPasses * (radius + 1); }
};

BlurPlan planFor(double sigma) {
    BlurPlan plan;
    if (sigma <= kDirectKernelLimit) {
        plan.radius = std::max(1, static_cast<int>(std::ceil(4.0 * sigma)));
        double sum = 0;
        for (int j = -plan.radius; j <= plan.radius; ++j) sum += std::exp(-double(j) * j / (2.0 * sigma * sigma));
        for (int j = -plan.radius; j <= plan.radius; ++j)
            plan.weights.push_back(static_cast<float>(std::exp(-double(j) * j / (2.0 * sigma * sigma)) / sum));
        return plan;
    }
    // Extended box (a box of radius r plus fractional end samples) whose variance is sigma² / K.
    plan.direct = false;
    const double s2 = sigma * sigma / kBoxPasses;
    const int r = static_cast<int>(std::floor(0.5 * std::sqrt(12.0 * s2 + 1.0) - 0.5));
    const double alpha = (2.0 * r + 1.0) * (3.0 * s2 - double(r) * (r + 1)) / (6.0 * ((r + 1.0) * (r + 1.0) - s2));
    plan.radius = r;
    plan.alpha = static_cast<float>(alpha);
    plan.norm = static_cast<float>(1.0 / (2.0 * r + 1.0 + 2.0 * alpha));
    return plan;
}

// One pass over lines of kLanes interleaved floats; outputs [lo, hi), reading at most `reach`
// beyond on each side.
void directPass(const float* in, float* out, int lo, int hi, const BlurPlan& plan) {
    const int r = plan.radius;
    for (int i = lo; i < hi; ++i) {
        float acc[kLanes] = {};
        for (int j = -r; j <= r; ++j) {
            const float w = plan.weights[static_cast<size_t>(j + r)];
            const float* src = in + static_cast<ptrdiff_t>(i + j) * kLanes;
            for (int l = 0; l < kLanes; ++l) acc[l] += w * src[l];
        }
        std::copy_n(acc, kLanes, out + static_cast<ptrdiff_t>(i) * kLanes);
    }
}

void boxPass(const float* in, float* out, int lo, int hi, const BlurPlan& plan) {
    const int r = plan.radius;
    float sum[kLanes] = {};
    for (int j = lo - r; j <= lo + r; ++j)
        for (int l = 0; l < kLanes; ++l) sum[l] += in[static_cast<ptrdiff_t>(j) * kLanes + l];
    for (int i = lo; i < hi; ++i) {
        const float* before = in + static_cast<ptrdiff_t>(i - r - 1) * kLanes;
        const float* after = in + static_cast<ptrdiff_t>(i + r + 1) * kLanes;
        const float* leaving = in + static_cast<ptrdiff_t>(i - r) * kLanes;
        float* dst = out + static_cast<ptrdiff_t>(i) * kLanes;
        for (int l = 0; l < kLanes; ++l) {
            dst[l] = plan.norm * (sum[l] + plan.alpha * (before[l] + after[l]));
            sum[l] += after[l] - leaving[l];
        }
    }
}

// Blurs `count` padded lines of length n (the line plus reach() repeated samples on both sides)
// held in `a`; returns the buffer holding the result, valid in [reach, n - reach).
float* blurLines(float* a, float* b, int n, const BlurPlan& plan) {
    if (plan.direct) {
        directPass(a, b, plan.radius, n - plan.radius, plan);
        return b;
    }
    const int step = plan.radius + 1;
    for (int k = 1; k <= kBoxPasses; ++k) {
        boxPass(a, b, k * step, n - k * step, plan);
        std::swap(a, b);
    }
    return a;
}

// Two working lines of n × kLanes floats; every pass writes what the next one reads.
struct LineBuffers {
    explicit LineBuffers(int n)
        : a(std::make_unique_for_overwrite<float[]>(static_cast<size_t>(n) * kLanes)),
          b(std::make_unique_for_overwrite<float[]>(static_cast<size_t>(n) * kLanes)) {}
    std::unique_ptr<float[]> a, b;
};

}  // namespace

void gaussianBlur(FloatPlane& plane, double sigma) {
    if (!std::isfinite(sigma) || sigma <= 0 || plane.width <= 0 || plane.height <= 0) return;
    const BlurPlan plan = planFor(sigma);
    const int pad = plan.reach();
    const int w = plane.width;
    const int h = plane.height;

    // Rows and column groups that hold only zeros stay zero and are skipped (most of a credits
    // text layer is empty).
    std::vector<char> rowUsed(static_cast<size_t>(h));
    for (int y = 0; y < h; ++y) {
        const float* row = plane.row(y);
        rowUsed[static_cast<size_t>(y)] = std::any_of(row, row + w, [](float v) { return v != 0.0f; });
    }

    // Horizontal: kLanes rows at a time.
    const int rowGroups = (h + kLanes - 1) / kLanes;
    forEachRowBand(rowGroups, [&](int begin, int end) {
        const int n = w + 2 * pad;
        LineBuffers lines(n);
        float* a = lines.a.get();
        float* b = lines.b.get();
        const float* rows[kLanes];
        for (int g = begin; g < end; ++g) {
            const int y0 = g * kLanes;
            const int lanes = std::min(kLanes, h - y0);
            if (std::none_of(rowUsed.begin() + y0, rowUsed.begin() + y0 + lanes, [](char c) { return c != 0; })) continue;
            for (int l = 0; l < kLanes; ++l) rows[l] = plane.row(y0 + std::min(l, lanes - 1));
            for (int i = 0; i < n; ++i) {
                const int x = std::clamp(i - pad, 0, w - 1);
                float* dst = a + static_cast<size_t>(i) * kLanes;
                for (int l = 0; l < kLanes; ++l) dst[l] = rows[l][x];
            }
            const float* result = blurLines(a, b, n, plan);
            for (int x = 0; x < w; ++x) {
                const float* src = result + static_cast<size_t>(x + pad) * kLanes;
                for (int l = 0; l < lanes; ++l) plane.row(y0 + l)[x] = src[l];
            }
        }
    });

    // Vertical: kLanes columns at a time, over the rows within reach of a used row only (the
    // others stay 0).
    const auto firstUsed = std::find(rowUsed.begin(), rowUsed.end(), char(1));
    if (firstUsed == rowUsed.end()) return;
    const int first = int(firstUsed - rowUsed.begin());
    const int last = h - 1 - int(std::find(rowUsed.rbegin(), rowUsed.rend(), char(1)) - rowUsed.rbegin());
    const int lo = std::max(0, first - pad);
    const int hi = std::min(h, last + 1 + pad);
    const int columnGroups = (w + kLanes - 1) / kLanes;
    forEachRowBand(columnGroups, [&](int begin, int end) {
        const int n = hi - lo + 2 * pad;
        LineBuffers lines(n);
        float* a = lines.a.get();
        float* b = lines.b.get();
        for (int g = begin; g < end; ++g) {
            const int x0 = g * kLanes;
            const int lanes = std::min(kLanes, w - x0);
            bool used = false;
            for (int y = first; y <= last && !used; ++y) {
                const float* src = plane.row(y) + x0;
                used = std::any_of(src, src + lanes, [](float v) { return v != 0.0f; });
            }
            if (!used) continue;
            for (int i = 0; i < n; ++i) {
                const float* src = plane.row(std::clamp(lo - pad + i, 0, h - 1)) + x0;
                std::copy_n(src, lanes, a + static_cast<size_t>(i) * kLanes);
            }
            const float* result = blurLines(a, b, n, plan);
            for (int y = lo; y < hi; ++y)
                std::copy_n(result + static_cast<size_t>(y - lo + pad) * kLanes, lanes, plane.row(y) + x0);
        }
    });
}

}  // namespace qm
