#include "editor/model/keyframe.h"

#include <algorithm>
#include <bit>
#include <limits>

namespace qm {

namespace {

// A clamp whose NaN lands on the lower end, so a bad number from a field never reaches a file.
double clampedOrLow(double v, double low, double high) { return std::isnan(v) ? low : std::clamp(v, low, high); }

typedef double Pair __attribute__((vector_size(16)));
typedef std::int64_t PairBits __attribute__((vector_size(16)));

}  // namespace

namespace detail {

double bisectedParameter(double ax, double bx, double cx, double u) {
    const auto x = [&](auto s) { return ((ax * s + bx) * s + cx) * s; };
    // Plain bisection is forty dependent steps. Its path, though, is just the bits of s: step j
    // compares x at a point fixed by the j - 1 bits before it. So a close guess gives all forty
    // points at once, independent of each other, and the comparisons there confirm the guess's
    // bits or show the first step where the bisection turns the other way; from there on it
    // bisects. Either way the result is that of the plain bisection, bit for bit.
    //
    // The guess: x at sixteen even points brackets the root, a chord across the bracket starts
    // Halley's method, and a step or two of it come within rounding of the root.
    constexpr int kGrid = 16;
    double grid[kGrid + 1];
    PairBits lowerCount{};
#pragma GCC unroll 8
    for (int k = 0; k < kGrid; k += 2) {
        const Pair xs = x(Pair{double(k), double(k + 1)} * (1.0 / kGrid));
        lowerCount -= xs < u;
        grid[k] = xs[0];
        grid[k + 1] = xs[1];
    }
    grid[kGrid] = x(1.0);
    const int below = static_cast<int>(std::max<std::int64_t>(lowerCount[0] + lowerCount[1], 1) - 1);
    const double rise = grid[below + 1] - grid[below];
    const double chord = rise > 0.0 ? (u - grid[below]) / rise : 0.5;
    double s = (below + std::min(std::max(0.0, chord), 1.0)) * (1.0 / kGrid);  // NaN: the bracket's start
    for (int i = 0; i < 3; ++i) {  // Halley's method: the error cubes each step
        const double f = x(s) - u, slope = (3.0 * ax * s + 2.0 * bx) * s + cx, bend = 6.0 * ax * s + 2.0 * bx;
        const double denominator = 2.0 * slope * slope - f * bend;
        if (!(std::abs(denominator) > 1e-18)) break;
        const double step = 2.0 * f * slope / denominator;
        s = std::min(std::max(0.0, s - step), 1.0);
        if (!(std::abs(step) > 0x1p-45)) break;
    }
    // Points in units of 2^-40 sit in the mantissa of 1 + point (52 bits, 12 to spare), where
    // masking the bits below a step and setting its own bit makes that step's midpoint.
    constexpr int kSteps = 40;
    constexpr std::int64_t kOne = 0x3FF0000000000000;  // the bits of 1.0
    // The bisection closes in on the root from below (x < u moves up): its 39th interval starts at
    // the last grid point below the root, not at one the root lies on. A few ulps below the
    // guessed root keep an exact dyadic root (u = 0.5 on a straight x) on the right side.
    const double scaled = std::max(0.0, s - 0x1p-50) * 0x1p39;
    std::int64_t start = static_cast<std::int64_t>(scaled);
    start -= static_cast<double>(start) == scaled;
    const std::int64_t guess = std::clamp<std::int64_t>(start, 0, (std::int64_t{1} << (kSteps - 1)) - 1) << 1;
    const PairBits path = PairBits{} + (kOne | guess << 12);
    PairBits lower{};  // bit p + 12 set when x < u at the midpoint of the step with bit p
#pragma GCC unroll 20
    for (int p = kSteps - 1; p >= 0; p -= 2) {
        const PairBits bit = {std::int64_t{1} << (p + 12), std::int64_t{1} << (p + 11)};
        const PairBits mid = (path & -(bit << 1)) | bit;
        lower |= (x(std::bit_cast<Pair>(mid) - 1.0) < u) & bit;
    }
    const std::int64_t taken = (lower[0] | lower[1]) >> 12;
    // Step 40's own comparison does not move its midpoint.
    const std::int64_t differ = (taken ^ guess) & ((std::int64_t{1} << kSteps) - 2);
    std::int64_t lo = guess & ~std::int64_t{1};
    if (differ != 0) {
        int p = std::bit_width(static_cast<std::uint64_t>(differ)) - 1;
        lo = (guess & -(std::int64_t{2} << p)) | (taken & (std::int64_t{1} << p));
        for (--p; p >= 1; --p) {
            const std::int64_t mid = lo | std::int64_t{1} << p;
            if (x(static_cast<double>(mid) * 0x1p-40) < u) lo = mid;
        }
    }
    return static_cast<double>(lo | 1) * 0x1p-40;
}

std::shared_ptr<const KeyframeBuckets> KeyframeBuckets::make(const std::vector<double>& times) {
    const std::size_t n = times.size();
    if (n < kFewest || n > std::numeric_limits<std::uint32_t>::max() / 2) return nullptr;
    if (!std::all_of(times.begin(), times.end(), [](double t) { return std::isfinite(t); })) return nullptr;
    if (!std::is_sorted(times.begin(), times.end())) return nullptr;
    const double span = times.back() - times.front();
    const std::size_t count = 2 * n;  // about half a keyframe a bucket when they are evenly spread
    auto buckets = std::make_shared<KeyframeBuckets>();
    buckets->count = n;
    buckets->origin = times.front();
    buckets->scale = static_cast<double>(count) / span;
    if (!(span > 0.0) || !std::isfinite(buckets->scale)) return nullptr;
    buckets->lastBucket = static_cast<double>(count - 1);
    buckets->before.assign(count + 1, 0);
    for (const double t : times) ++buckets->before[buckets->bucket(t) + 1];
    for (std::size_t b = 1; b <= count; ++b) buckets->before[b] += buckets->before[b - 1];
    return buckets;
}

}  // namespace detail

std::string_view rawValue(KeyframeEase ease) {
    switch (ease) {
        case KeyframeEase::linear: return "linear";
        case KeyframeEase::ease: return "ease";
        case KeyframeEase::hold: return "hold";
    }
    return "linear";
}

std::optional<KeyframeEase> keyframeEaseFromRaw(std::string_view raw) { return caseFromRaw(allKeyframeEases, raw); }

std::string_view rawValue(KeyframeInterpolation interpolation) {
    switch (interpolation) {
        case KeyframeInterpolation::linear: return "linear";
        case KeyframeInterpolation::easyEase: return "easyEase";
        case KeyframeInterpolation::easyEaseIn: return "easyEaseIn";
        case KeyframeInterpolation::easyEaseOut: return "easyEaseOut";
        case KeyframeInterpolation::hold: return "hold";
    }
    return "linear";
}

const char* label(KeyframeInterpolation interpolation) {
    switch (interpolation) {
        case KeyframeInterpolation::linear: return "Linear";
        case KeyframeInterpolation::easyEase: return "Easy Ease (F9)";
        case KeyframeInterpolation::easyEaseIn: return "Easy Ease In (Shift+F9)";
        case KeyframeInterpolation::easyEaseOut: return "Easy Ease Out (Ctrl+Shift+F9)";
        case KeyframeInterpolation::hold: return "Toggle Hold Keyframe";
    }
    return "Linear";
}

template <typename T>
void Animatable<T>::sortKeyframes() {
    std::stable_sort(keyframes.begin(), keyframes.end(),
                     [](const Keyframe<T>& a, const Keyframe<T>& b) { return a.time < b.time; });
    renewBuckets();
}

template <typename T>
void Animatable<T>::renewBuckets() {
    if (keyframes.size() < detail::KeyframeBuckets::kFewest) return keyframes.setCompanion(nullptr);
    std::vector<double> times(keyframes.size());
    std::transform(keyframes.cbegin(), keyframes.cend(), times.begin(), [](const Keyframe<T>& k) { return k.time; });
    keyframes.setCompanion(detail::KeyframeBuckets::make(times));
}

template <typename T>
std::optional<std::size_t> Animatable<T>::keyframeIndex(double t, double tolerance) const {
    for (std::size_t i = 0; i < keyframes.size(); ++i)
        if (std::abs(keyframes[i].time - t) <= tolerance) return i;
    return std::nullopt;
}

template <typename T>
void Animatable<T>::setKeyframe(double time, const T& newValue, double tolerance) {
    if (!std::isfinite(time) || !isFinite(newValue)) return;
    if (const auto index = keyframeIndex(time, tolerance)) {
        keyframes[*index].value = newValue;
        return;
    }
    keyframes.push_back(Keyframe<T>::make(time, newValue));
    sortKeyframes();
}

template <typename T>
void Animatable<T>::toggleKeyframe(double t, double tolerance) {
    if (!std::isfinite(t)) return;
    if (const auto index = keyframeIndex(t, tolerance)) {
        QSet<QUuid> ids;
        ids.insert(keyframes[*index].id);
        removeKeyframes(ids, t);
    } else {
        setKeyframe(t, valueAt(t), tolerance);
    }
}

template <typename T>
void Animatable<T>::toggleAnimation(double t) {
    if (!std::isfinite(t)) return;
    if (keyframes.empty()) {
        keyframes.push_back(Keyframe<T>::make(t, value));
    } else {
        value = valueAt(t);
        keyframes.clear();
    }
}

template <typename T>
void Animatable<T>::removeKeyframes(const QSet<QUuid>& ids, double t) {
    if (!std::isfinite(t) || ids.isEmpty()) return;
    const T before = valueAt(t);
    const auto removed = erase_if(keyframes, [&](const Keyframe<T>& k) { return ids.contains(k.id); });
    if (removed > 0 && keyframes.empty()) value = before;
    if (removed > 0) renewBuckets();
}

template <typename T>
void Animatable<T>::applyInterpolation(KeyframeInterpolation interpolation, const QSet<QUuid>& ids) {
    for (Keyframe<T>& k : keyframes) {
        if (!ids.contains(k.id)) continue;
        switch (interpolation) {
            case KeyframeInterpolation::linear:
                k.easeIn = k.easeOut = KeyframeEase::linear;
                break;
            case KeyframeInterpolation::easyEase:
                k.easeIn = k.easeOut = KeyframeEase::ease;
                k.inInfluence = k.outInfluence = 1.0 / 3.0;
                k.inVelocity = k.outVelocity = 0.0;
                break;
            case KeyframeInterpolation::easyEaseIn:
                k.easeIn = KeyframeEase::ease;
                k.inInfluence = 1.0 / 3.0;
                k.inVelocity = 0.0;
                break;
            case KeyframeInterpolation::easyEaseOut:
                k.easeOut = KeyframeEase::ease;
                k.outInfluence = 1.0 / 3.0;
                k.outVelocity = 0.0;
                break;
            case KeyframeInterpolation::hold:
                k.easeOut = k.easeOut == KeyframeEase::hold ? KeyframeEase::linear : KeyframeEase::hold;
                break;
        }
    }
}

template <typename T>
void Animatable<T>::setEaseHandle(const QUuid& id, bool outgoing, double influence, double velocity) {
    const auto it = std::find_if(keyframes.begin(), keyframes.end(), [&](const Keyframe<T>& k) { return k.id == id; });
    if (it == keyframes.end()) return;
    influence = clampedOrLow(influence, 0.01, 1.0);
    velocity = clampedOrLow(velocity, -3.0, 6.0);
    if (outgoing) {
        if (it->easeOut == KeyframeEase::hold) return;
        it->easeOut = KeyframeEase::ease;
        it->outInfluence = influence;
        it->outVelocity = velocity;
    } else {
        it->easeIn = KeyframeEase::ease;
        it->inInfluence = influence;
        it->inVelocity = velocity;
    }
}

template <typename T>
void Animatable<T>::setKeyframeComponent(const QUuid& id, std::size_t index, double number) {
    if (!std::isfinite(number)) return;
    const auto it = std::find_if(keyframes.begin(), keyframes.end(), [&](const Keyframe<T>& k) { return k.id == id; });
    if (it != keyframes.end()) it->value = replacingComponent(it->value, index, number);
}

template <typename T>
void Animatable<T>::mergeKeyframes(const std::vector<Keyframe<T>>& incoming, double tolerance) {
    bool changed = false;
    for (const Keyframe<T>& k : incoming) {
        if (!std::isfinite(k.time) || !isFinite(k.value)) continue;
        erase_if(keyframes, [&](const Keyframe<T>& o) { return std::abs(o.time - k.time) <= tolerance; });
        keyframes.push_back(k);
        changed = true;
    }
    if (changed) sortKeyframes();
}

template struct Animatable<double>;
template struct Animatable<Vec2>;

}  // namespace qm
