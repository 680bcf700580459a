#include "editor/sync/audio_aligner.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

namespace qm::AudioAligner {

namespace {

// FFTW's planner is not thread-safe: planning and destroying plans share one lock process-wide.
std::mutex& plannerMutex() {
    static std::mutex mutex;
    return mutex;
}

struct FloatBuffer {
    float* data = nullptr;
    explicit FloatBuffer(size_t count) : data(static_cast<float*>(fftwf_malloc(count * sizeof(float)))) {}
    ~FloatBuffer() { fftwf_free(data); }
    FloatBuffer(const FloatBuffer&) = delete;
    FloatBuffer& operator=(const FloatBuffer&) = delete;
};

struct Plan {
    fftwf_plan plan = nullptr;
    explicit Plan(fftwf_plan p) : plan(p) {}
    ~Plan() {
        if (!plan) return;
        std::lock_guard lock(plannerMutex());
        fftwf_destroy_plan(plan);
    }
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
};

float rms(const float* x, size_t n) {
    if (n == 0) return 0;
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += double(x[i]) * double(x[i]);
    return float(std::sqrt(sum / double(n)));
}

// Transforms beyond 2^27 points (over 18 hours at 2000 Hz) would need gigabytes; no caller comes near.
constexpr int kMaxLog2 = 27;

}  // namespace

std::optional<Match> correlate(const std::vector<float>& a, const std::vector<float>& b, int64_t minOverlap) {
    return correlate(a.data(), a.size(), b.data(), b.size(), minOverlap);
}

std::optional<Match> correlate(const float* a, size_t na, const float* b, size_t nb, int64_t minOverlap) {
    if (na == 0 || nb == 0) return std::nullopt;
    const int log2n = int(std::ceil(std::log2(double(na) + double(nb))));
    if (log2n > kMaxLog2) return std::nullopt;
    const int64_t n = int64_t(1) << log2n;
    const int64_t bins = n / 2 + 1;

    // In-place real transforms: each buffer holds n reals or n/2 + 1 complex values.
    FloatBuffer bufA(size_t(2 * bins)), bufB(size_t(2 * bins));
    if (!bufA.data || !bufB.data) return std::nullopt;
    std::copy(a, a + na, bufA.data);
    std::fill(bufA.data + na, bufA.data + 2 * bins, 0.0f);
    std::copy(b, b + nb, bufB.data);
    std::fill(bufB.data + nb, bufB.data + 2 * bins, 0.0f);
    auto* specA = reinterpret_cast<fftwf_complex*>(bufA.data);
    auto* specB = reinterpret_cast<fftwf_complex*>(bufB.data);

    fftwf_plan forwardRaw, inverseRaw;
    {
        std::lock_guard lock(plannerMutex());
        forwardRaw = fftwf_plan_dft_r2c_1d(int(n), bufA.data, specA, FFTW_ESTIMATE);
        inverseRaw = fftwf_plan_dft_c2r_1d(int(n), specA, bufA.data, FFTW_ESTIMATE);
    }
    Plan forward(forwardRaw), inverse(inverseRaw);
    if (!forward.plan || !inverse.plan) return std::nullopt;
    fftwf_execute_dft_r2c(forward.plan, bufA.data, specA);
    fftwf_execute_dft_r2c(forward.plan, bufB.data, specB);

    // Phase transform: every frequency weighs the same, so the peak is sharp whatever the sound's colour.
    specA[0][0] = specA[0][0] * specB[0][0] >= 0 ? 1.0f : -1.0f;
    specA[0][1] = 0;
    specA[bins - 1][0] = specA[bins - 1][0] * specB[bins - 1][0] >= 0 ? 1.0f : -1.0f;
    specA[bins - 1][1] = 0;
    for (int64_t k = 1; k < bins - 1; ++k) {
        const float ar = specA[k][0], ai = specA[k][1], br = specB[k][0], bi = specB[k][1];
        const float re = ar * br + ai * bi;
        const float im = ai * br - ar * bi;
        const float norm = std::sqrt(re * re + im * im) + 1e-12f;
        specA[k][0] = re / norm;
        specA[k][1] = im / norm;
    }
    fftwf_execute_dft_c2r(inverse.plan, specA, bufA.data);
    const float* r = bufA.data;
    auto at = [&](int64_t lag) { return r[((lag % n) + n) % n]; };

    int64_t first, last;
    if (minOverlap >= 1) {
        const int64_t m = std::min({minOverlap, int64_t(na), int64_t(nb)});
        first = m - int64_t(nb);
        last = int64_t(na) - m;
    } else {
        first = 1 - int64_t(nb);
        last = int64_t(na) - 1;
    }
    double sum = 0, sumSquares = 0, best = -std::numeric_limits<double>::infinity();
    int64_t count = 0, bestLag = 0;
    for (int64_t lag = first; lag <= last; ++lag) {
        const double v = at(lag);
        sum += v;
        sumSquares += v * v;
        ++count;
        if (v > best) {
            best = v;
            bestLag = lag;
        }
    }
    if (count <= 2) return std::nullopt;
    const double mean = sum / double(count);
    const double deviation = std::max(std::sqrt(std::max(sumSquares / double(count) - mean * mean, 0.0)), 1e-12);
    const double y0 = best, ym = at(bestLag - 1), yp = at(bestLag + 1);
    const double den = ym - 2 * y0 + yp;
    double d = 0;
    if (den < 0) d = std::clamp((ym - yp) * 0.5 / den, -0.5, 0.5);
    return Match{double(bestLag) + d, (y0 - mean) / deviation};
}

Consistency align(const std::vector<float>& reference, const std::vector<float>& clip, double lag, double rate,
                  double tolerance) {
    if (!std::isfinite(rate) || !(rate > 0) || !std::isfinite(lag) || std::abs(lag) > 9e15 || rate > 1e9)
        return Consistency::unconfirmed();
    const int64_t nr = int64_t(reference.size()), nc = int64_t(clip.size());
    const int64_t L = std::llround(lag);
    const int64_t s0 = std::max<int64_t>(-L, 0);
    const int64_t e0 = std::min<int64_t>(nr - L, nc);
    const int64_t span = e0 - s0;
    const int64_t W = int64_t(rate * 4.0);
    if (W < 1 || span < 2 * W) return Consistency::tooShort();
    const int64_t K = std::min<int64_t>(span / W, 6);
    const int64_t M = int64_t(rate * 2.0);
    const int64_t H = W / 2;
    const float threshold = 0.2f * rms(clip.data() + s0, size_t(span));

    std::vector<std::pair<double, double>> found;  // (clip time, offset), seconds
    for (int64_t i = 0; i < K; ++i) {
        const int64_t pos = s0 + ((span - W) * i) / (K - 1);
        const float* window = clip.data() + pos;
        if (!(rms(window, size_t(W)) > threshold)) continue;  // quiet: nothing to match
        const int64_t rs = std::max<int64_t>(pos + L - M, 0);
        const int64_t re = std::min<int64_t>(pos + L + W + M, nr);
        if (re - rs <= H) continue;
        const auto match = correlate(reference.data() + rs, size_t(re - rs), window, size_t(W), H);
        if (!match || match->score < 8.0) continue;
        found.emplace_back(double(pos) / rate, (double(rs) + match->lag - double(pos)) / rate);
    }
    if (found.size() < 2) return Consistency::unconfirmed();

    const double center = lag / rate;
    double lo = found[0].second, hi = found[0].second, farthest = 0;
    for (const auto& [t, offset] : found) {
        lo = std::min(lo, offset);
        hi = std::max(hi, offset);
        farthest = std::max(farthest, std::abs(offset - center));
    }
    const double spread = std::max(hi - lo, farthest);
    if (spread <= tolerance) return Consistency::consistent();

    double tm = 0, om = 0;
    for (const auto& [t, offset] : found) {
        tm += t;
        om += offset;
    }
    tm /= double(found.size());
    om /= double(found.size());
    double sxx = 0, sxy = 0;
    for (const auto& [t, offset] : found) {
        sxx += (t - tm) * (t - tm);
        sxy += (t - tm) * (offset - om);
    }
    return Consistency::drifting(spread, sxx > 0 ? sxy / sxx * 100.0 : 0.0);
}

}  // namespace qm::AudioAligner
