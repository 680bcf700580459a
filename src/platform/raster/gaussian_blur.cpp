#include "platform/raster/gaussian_blur.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
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
        plan.radius = std::max(1, static_cast<int>(std::ceil(3.0 * sigma)));
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

// Four floats as one value (one SSE register); a line step of kLanes floats is kQuads of them.
typedef float Quad __attribute__((vector_size(4 * sizeof(float))));
constexpr int kQuads = kLanes / 4;

inline Quad load(const float* p) {
    Quad v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(float* p, Quad v) { std::memcpy(p, &v, sizeof v); }

// One pass over lines of kLanes interleaved floats; outputs [lo, hi), reading at most `reach`
// beyond on each side. Weights and sums stay in registers.
void directPass(const float* in, float* out, int lo, int hi, const BlurPlan& plan) {
    const int r = plan.radius;
    const float* weights = plan.weights.data();
    for (int i = lo; i < hi; ++i) {
        Quad acc[kQuads] = {};
        const float* src = in + static_cast<ptrdiff_t>(i - r) * kLanes;
        for (int j = 0; j <= 2 * r; ++j) {
            const float w = weights[j];
            for (int q = 0; q < kQuads; ++q) acc[q] += w * load(src + static_cast<ptrdiff_t>(j) * kLanes + 4 * q);
        }
        for (int q = 0; q < kQuads; ++q) store(out + static_cast<ptrdiff_t>(i) * kLanes + 4 * q, acc[q]);
    }
}

void boxPass(const float* in, float* out, int lo, int hi, const BlurPlan& plan) {
    const int r = plan.radius;
    const float norm = plan.norm;
    const float alpha = plan.alpha;
    Quad sum[kQuads] = {};
    for (int j = lo - r; j <= lo + r; ++j)
        for (int q = 0; q < kQuads; ++q) sum[q] += load(in + static_cast<ptrdiff_t>(j) * kLanes + 4 * q);
    for (int i = lo; i < hi; ++i) {
        const float* before = in + static_cast<ptrdiff_t>(i - r - 1) * kLanes;
        const float* after = in + static_cast<ptrdiff_t>(i + r + 1) * kLanes;
        const float* leaving = in + static_cast<ptrdiff_t>(i - r) * kLanes;
        float* dst = out + static_cast<ptrdiff_t>(i) * kLanes;
        for (int q = 0; q < kQuads; ++q) {
            const Quad a = load(after + 4 * q);
            store(dst + 4 * q, norm * (sum[q] + alpha * (load(before + 4 * q) + a)));
            sum[q] += a - load(leaving + 4 * q);
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

// Whether all values are 0 (or −0), looking at blocks of values at once.
bool isZero(const float* values, int count) {
    constexpr int kBlock = 64;
    for (int start = 0; start < count; start += kBlock) {
        uint32_t bits = 0;
        const int end = std::min(count, start + kBlock);
        for (int i = start; i < end; ++i) {
            uint32_t v;
            std::memcpy(&v, values + i, sizeof v);
            bits |= v << 1;  // the sign bit does not count
        }
        if (bits != 0) return false;
    }
    return true;
}

}  // namespace

void gaussianBlur(FloatPlane& plane, double sigma, std::optional<RowRange> used) {
    if (!std::isfinite(sigma) || sigma <= 0 || plane.width <= 0 || plane.height <= 0) return;
    const BlurPlan plan = planFor(sigma);
    const int pad = plan.reach();
    const int w = plane.width;
    const int h = plane.height;

    // Rows and column groups that hold only zeros stay zero and are skipped (most of a credits
    // text layer is empty).
    std::vector<char> rowUsed(static_cast<size_t>(h));
    const RowRange scan = used.value_or(RowRange{});
    const int scanTop = std::max(0, scan.top);
    forEachRowBand(std::min(h, scan.bottom) - scanTop, [&](int begin, int end) {
        for (int y = scanTop + begin; y < scanTop + end; ++y) rowUsed[static_cast<size_t>(y)] = !isZero(plane.row(y), w);
    });

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
            // Whole groups copy a fixed width, which compiles to a few vector moves.
            auto copyLanes = [lanes](const float* from, float* to) {
                if (lanes == kLanes)
                    std::copy_n(from, kLanes, to);
                else
                    std::copy_n(from, lanes, to);
            };
            for (int i = 0; i < n; ++i)
                copyLanes(plane.row(std::clamp(lo - pad + i, 0, h - 1)) + x0, a + static_cast<size_t>(i) * kLanes);
            const float* result = blurLines(a, b, n, plan);
            for (int y = lo; y < hi; ++y) copyLanes(result + static_cast<size_t>(y - lo + pad) * kLanes, plane.row(y) + x0);
        }
    });
}

}  // namespace qm
