#include "platform/raster/gaussian_blur.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// A sigma that cannot blur gives the one-tap kernel that keeps every value as it is.
BlurPlan planFor(double sigma) {
    BlurPlan plan;
    if (!std::isfinite(sigma) || sigma <= 0) {
        plan.weights = {1.0f};
        return plan;
    }
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
// Two working lines of n × kLanes floats for one of the two blurs; every pass writes what the
// next one reads. Each worker thread keeps its lines between calls: lines of a 4K frame are
// large enough that fresh ones would be mapped and zeroed by the system on every frame. Lanes
// of a partial group are computed too but never stored; they hold ordinary numbers.
struct LineBuffers {
    LineBuffers(int slot, int n) {
        thread_local std::vector<float> kept[4];
        const size_t size = static_cast<size_t>(n) * kLanes;
        for (int i = 0; i < 2; ++i)
            if (kept[2 * slot + i].size() < size) kept[2 * slot + i].resize(size);
        a = kept[2 * slot].data(), b = kept[2 * slot + 1].data();
    }
    float* a;
    float* b;
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

// Copies `lanes` floats; whole groups go through registers as a few vector moves (a library
// call per group cost more than the copy).
inline void copyLanes(const float* from, float* to, int lanes) {
    if (lanes == kLanes) {
        Quad group[kQuads];
        std::memcpy(group, from, sizeof group);
        std::memcpy(to, group, sizeof group);
    } else {
        std::copy_n(from, lanes, to);
    }
}

// Blurs `plane` with plans[0] and, when `count` is 2, adds `work` blurred with plans[1], where
// the horizontal pass puts the second blur of the same rows. Only `used` may hold anything.
void blurPlanes(FloatPlane& plane, FloatPlane* work, const BlurPlan* plans, int count, Area used) {
    const int w = plane.width;
    const int h = plane.height;
    const Area u = clippedArea(used, w, h);
    if (u.empty()) return;
    const int pads[2] = {plans[0].reach(), count > 1 ? plans[1].reach() : 0};
    const int pad = std::max(pads[0], pads[1]);

    // Rows that hold only zeros stay zero and are skipped (most of a credits text layer is empty).
    std::vector<char> rowUsed(static_cast<size_t>(h));
    forEachRowBand(u.bottom - u.top, [&](int begin, int end) {
        for (int y = u.top + begin; y < u.top + end; ++y)
            rowUsed[static_cast<size_t>(y)] = !isZero(plane.row(y) + u.left, u.right - u.left);
    });
    const auto firstUsed = std::find(rowUsed.begin(), rowUsed.end(), char(1));
    if (firstUsed == rowUsed.end()) return;
    const int first = int(firstUsed - rowUsed.begin());
    const int last = h - 1 - int(std::find(rowUsed.rbegin(), rowUsed.rend(), char(1)) - rowUsed.rbegin());
    // Columns and rows the blur reaches; beyond them everything stays 0.
    const int left = std::max(0, u.left - pad), right = std::min(w, u.right + pad);
    const int lo = std::max(0, first - pad), hi = std::min(h, last + 1 + pad);
    FloatPlane* targets[2] = {&plane, work};

    // Horizontal: kLanes rows at a time. A line position i stands for column left − pad + i,
    // clamped into the plane; the second blur's shorter line is the middle of the first one.
    const int rowGroups = (last - first) / kLanes + 1;
    forEachRowBand(rowGroups, [&](int begin, int end) {
        const int n = right - left + 2 * pad;
        LineBuffers lines[2] = {LineBuffers(0, n), LineBuffers(1, count > 1 ? n : 1)};
        const float* rows[kLanes];
        for (int g = begin; g < end; ++g) {
            const int y0 = first + g * kLanes;
            const int lanes = std::min(kLanes, last + 1 - y0);
            if (std::none_of(rowUsed.begin() + y0, rowUsed.begin() + y0 + lanes, [](char c) { return c != 0; })) continue;
            for (int l = 0; l < kLanes; ++l) rows[l] = plane.row(y0 + std::min(l, lanes - 1));
            float* a = lines[0].a;
            for (int i = 0; i < n; ++i) {
                const int x = std::clamp(left - pad + i, 0, w - 1);
                float* dst = a + static_cast<size_t>(i) * kLanes;
                for (int l = 0; l < kLanes; ++l) dst[l] = rows[l][x];
            }
            for (int k = count - 1; k >= 0; --k) {
                const int m = right - left + 2 * pads[k];
                float* in = lines[k].a;
                if (in != a || pads[k] < pad)
                    std::memmove(in, a + static_cast<size_t>(pad - pads[k]) * kLanes, static_cast<size_t>(m) * kLanes * sizeof(float));
                const float* result = blurLines(in, lines[k].b, m, plans[k]);
                for (int x = left; x < right; ++x) {
                    const float* src = result + static_cast<size_t>(x - left + pads[k]) * kLanes;
                    for (int l = 0; l < lanes; ++l) targets[k]->row(y0 + l)[x] = src[l];
                }
            }
        }
    });

    // Vertical: kLanes columns at a time, over the rows within reach of a used row only.
    const int columnGroups = (right - left + kLanes - 1) / kLanes;
    forEachRowBand(columnGroups, [&](int begin, int end) {
        const int n = hi - lo + 2 * pad;
        LineBuffers lines[2] = {LineBuffers(0, n), LineBuffers(1, count > 1 ? n : 1)};
        const float* results[2] = {};
        for (int g = begin; g < end; ++g) {
            const int x0 = left + g * kLanes;
            const int lanes = std::min(kLanes, right - x0);
            bool any = false;
            for (int k = 0; k < count && !any; ++k)
                for (int y = first; y <= last && !any; ++y) {
                    const float* src = targets[k]->row(y) + x0;
                    any = std::any_of(src, src + lanes, [](float v) { return v != 0.0f; });
                }
            if (!any) continue;
            for (int k = 0; k < count; ++k) {
                const int m = hi - lo + 2 * pads[k];
                float* a = lines[k].a;
                for (int i = 0; i < m; ++i)
                    copyLanes(targets[k]->row(std::clamp(lo - pads[k] + i, 0, h - 1)) + x0, a + static_cast<size_t>(i) * kLanes,
                              lanes);
                results[k] = blurLines(a, lines[k].b, m, plans[k]);
            }
            // Row y of blur k lies at line position y − lo + pads[k].
            auto at = [&](int k, int y) { return results[k] + static_cast<size_t>(y - lo + pads[k]) * kLanes; };
            if (count == 1) {
                for (int y = lo; y < hi; ++y) copyLanes(at(0, y), plane.row(y) + x0, lanes);
                continue;
            }
            // The work plane goes back to 0 where the horizontal pass wrote into it.
            for (int y = first; y <= last; ++y) std::fill_n(work->row(y) + x0, lanes, 0.0f);
            for (int y = lo; y < hi; ++y) {
                const float* p = at(0, y);
                const float* q = at(1, y);
                float* dst = plane.row(y) + x0;
                for (int l = 0; l < lanes; ++l) dst[l] = p[l] + q[l];
            }
        }
    });
}

}  // namespace

void gaussianBlur(FloatPlane& plane, double sigma, std::optional<Area> used) {
    if (!std::isfinite(sigma) || sigma <= 0 || plane.width <= 0 || plane.height <= 0) return;
    const BlurPlan plan = planFor(sigma);
    blurPlanes(plane, nullptr, &plan, 1, used.value_or(Area{}));
}

void gaussianBlurSum(FloatPlane& plane, double sigmaA, double sigmaB, FloatPlane& work, std::optional<Area> used) {
    if (plane.width <= 0 || plane.height <= 0) return;
    if (work.width != plane.width || work.height != plane.height) work = FloatPlane(plane.width, plane.height);
    const BlurPlan plans[2] = {planFor(sigmaA), planFor(sigmaB)};
    blurPlanes(plane, &work, plans, 2, used.value_or(Area{}));
}

}  // namespace qm
