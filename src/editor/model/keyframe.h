#pragma once
// Keyframed values: a static value plus a time-ordered list of keyframes, evaluated at any
// clip-local time. Written once over the two kinds of value a clip animates (double and Vec2).

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include <QSet>

#include "editor/model/shared_vector.h"
#include <QUuid>

namespace qm {

struct Vec2 {
    double x = 0.0;
    double y = 0.0;
    bool operator==(const Vec2&) const = default;
};

// The operations every animatable kind offers.
inline double interpolate(double a, double b, double f) { return a + (b - a) * f; }
inline Vec2 interpolate(const Vec2& a, const Vec2& b, double f) { return {a.x + (b.x - a.x) * f, a.y + (b.y - a.y) * f}; }
inline std::vector<double> components(double v) { return {v}; }
inline std::vector<double> components(const Vec2& v) { return {v.x, v.y}; }
inline double replacingComponent(double, std::size_t, double number) { return number; }
inline Vec2 replacingComponent(Vec2 v, std::size_t index, double number) {
    (index == 0 ? v.x : v.y) = number;
    return v;
}
inline bool isFinite(double v) { return std::isfinite(v); }
inline bool isFinite(const Vec2& v) { return std::isfinite(v.x) && std::isfinite(v.y); }

// The case among `cases` whose raw value is exactly `raw`, or nothing.
template <typename Cases>
auto caseFromRaw(const Cases& cases, std::string_view raw) -> std::optional<std::decay_t<decltype(*std::begin(cases))>> {
    for (const auto& c : cases)
        if (rawValue(c) == raw) return c;
    return std::nullopt;
}

enum class KeyframeEase { linear, ease, hold };
inline constexpr KeyframeEase allKeyframeEases[] = {KeyframeEase::linear, KeyframeEase::ease, KeyframeEase::hold};

std::string_view rawValue(KeyframeEase ease);
std::optional<KeyframeEase> keyframeEaseFromRaw(std::string_view raw);

template <typename T>
struct Keyframe {
    QUuid id;
    double time = 0.0;
    T value{};
    KeyframeEase easeIn = KeyframeEase::linear;
    KeyframeEase easeOut = KeyframeEase::linear;
    double inInfluence = 1.0 / 3.0;
    double inVelocity = 0.0;
    double outInfluence = 1.0 / 3.0;
    double outVelocity = 0.0;
    bool operator==(const Keyframe&) const = default;

    // A keyframe as the editing operations make it: fresh id, linear eases, default handles.
    static Keyframe make(double time, T value) {
        Keyframe k;
        k.id = QUuid::createUuid();
        k.time = time;
        k.value = value;
        return k;
    }
};

// A keyframe of either kind, as the keyframe clipboard holds it.
using AnyKeyframe = std::variant<Keyframe<double>, Keyframe<Vec2>>;

enum class KeyframeInterpolation { linear, easyEase, easyEaseIn, easyEaseOut, hold };

inline constexpr KeyframeInterpolation allKeyframeInterpolations[] = {
    KeyframeInterpolation::linear, KeyframeInterpolation::easyEase, KeyframeInterpolation::easyEaseIn,
    KeyframeInterpolation::easyEaseOut, KeyframeInterpolation::hold};
std::string_view rawValue(KeyframeInterpolation interpolation);
// The English menu text; views translate it.
const char* label(KeyframeInterpolation interpolation);

// A segment's Bezier control points in unit space (time and value fractions of the segment): the
// outgoing side of its first keyframe and the incoming side of its second. Any keyframe record with
// the ease fields will do (the graph editor's included).
struct EaseControl {
    double x = 0;
    double y = 0;
};

template <typename K>
EaseControl outgoingControl(const K& a) {
    if (a.easeOut != KeyframeEase::ease) return {1.0 / 3.0, 1.0 / 3.0};
    return {a.outInfluence, a.outInfluence * a.outVelocity};
}

template <typename K>
EaseControl incomingControl(const K& b) {
    if (b.easeIn != KeyframeEase::ease) return {2.0 / 3.0, 2.0 / 3.0};
    return {1.0 - b.inInfluence, 1.0 - b.inInfluence * b.inVelocity};
}

namespace detail {

// The parameter s that forty bisection steps on x(s) = ((ax s + bx) s + cx) s = u over [0, 1]
// end on: the midpoint the 40th step evaluates. Bit for bit that of the plain bisection.
double bisectedParameter(double ax, double bx, double cx, double u);

// The eased fraction of a segment from a to b at fraction u; allocation-free, fixed 40 steps.
template <typename T>
double easedFraction(const Keyframe<T>& a, const Keyframe<T>& b, double u) {
    const auto [p1x, p1y] = outgoingControl(a);
    const auto [p2x, p2y] = incomingControl(b);
    if (std::abs(p1x - p1y) < 1e-12 && std::abs(p2x - p2y) < 1e-12) return u;
    const auto bezier = [](double s, double c1, double c2) {
        const double r = 1.0 - s;
        return 3.0 * r * r * s * c1 + 3.0 * r * s * s * c2 + s * s * s;
    };
    // x(s) in Horner form: the shortest chain of dependent operations; it differs from the
    // expanded form by rounding only.
    const double ax = 1.0 + 3.0 * p1x - 3.0 * p2x, bx = 3.0 * p2x - 6.0 * p1x, cx = 3.0 * p1x;
    return bezier(bisectedParameter(ax, bx, cx, u), p1y, p2y);
}

// Where a time's segment starts, found without a search over the whole list: the keyframe times
// fall into the buckets of an even grid, and before[b] counts those in buckets below b. Bucketing
// is monotonic, so a time in bucket b starts its segment at one of the keyframes before[b] - 1 …
// before[b + 1] - 1, usually one or two of them.
struct KeyframeBuckets {
    // Below this a binary search takes no more steps than a bucket look-up.
    static constexpr std::size_t kFewest = 16;

    std::size_t count = 0;  // the keyframes it was made for
    double origin = 0.0, scale = 0.0, lastBucket = 0.0;
    std::vector<std::uint32_t> before;

    std::size_t bucket(double t) const {
        // max(0, NaN) is 0: a NaN time takes the first bucket, never an undefined conversion.
        return static_cast<std::size_t>(std::min(std::max(0.0, (t - origin) * scale), lastBucket));
    }
    // Null for a list too short to gain from it, unsorted, or with a non-finite time.
    static std::shared_ptr<const KeyframeBuckets> make(const std::vector<double>& times);
};

// The segment [lo, lo + 1] holding t, for front().time < t < back().time (or a NaN t: segment 0).
template <typename T>
std::size_t segmentAt(const std::vector<Keyframe<T>>& k, const KeyframeBuckets* buckets, double t) {
    const std::size_t n = k.size();
    if (buckets && buckets->count == n) {
        const std::size_t b = buckets->bucket(t);
        std::size_t hi = std::min<std::size_t>(buckets->before[b + 1] - 1, n - 2);
        std::size_t lo = std::min<std::size_t>(std::max<std::uint32_t>(buckets->before[b], 1) - 1, hi);
        while (lo < hi) {
            const std::size_t mid = (lo + hi + 1) / 2;
            const bool later = t >= k[mid].time;
            lo = later ? mid : lo;
            hi = later ? hi : mid - 1;
        }
        // Only the editing operations renew the buckets: after a direct write to the list they may
        // describe older times, and then the full search decides.
        if (t >= k[lo].time && t < k[lo + 1].time) return lo;
    }
    std::size_t lo = 0, hi = n - 1;
    while (hi - lo > 1) {
        const std::size_t mid = (lo + hi) / 2;
        const bool later = t >= k[mid].time;  // selects, not branches: unpredictable
        lo = later ? mid : lo;
        hi = later ? hi : mid;
    }
    return lo;
}

}  // namespace detail

template <typename T>
struct Animatable {
    T value{};
    SharedVector<Keyframe<T>> keyframes;  // ascending time; equal times keep their insertion order
    bool operator==(const Animatable&) const = default;

    // The value at clip-local time t. Never allocates; the segment is found through the buckets the
    // editing operations keep beside the list (the list's companion), else by binary search.
    T valueAt(double t) const;

    // Editing (all ignore a non-finite time or value and then change nothing).
    std::optional<std::size_t> keyframeIndex(double t, double tolerance) const;
    void setKeyframe(double time, const T& newValue, double tolerance);
    void toggleKeyframe(double t, double tolerance);
    void toggleAnimation(double t);
    void removeKeyframes(const QSet<QUuid>& ids, double t);
    void applyInterpolation(KeyframeInterpolation interpolation, const QSet<QUuid>& ids);
    void setEaseHandle(const QUuid& id, bool outgoing, double influence, double velocity);
    void setKeyframeComponent(const QUuid& id, std::size_t index, double number);
    void mergeKeyframes(const std::vector<Keyframe<T>>& incoming, double tolerance);
    // Sorts by time (stably) and renews the buckets.
    void sortKeyframes();

private:
    void renewBuckets();
};

template <typename T>
T Animatable<T>::valueAt(double t) const {
    const std::vector<Keyframe<T>>& k = keyframes.get();
    const std::size_t n = k.size();
    if (n == 0) return value;
    if (t <= k.front().time) return k.front().value;
    if (t >= k.back().time) return k.back().value;
    const std::size_t lo = detail::segmentAt(k, keyframes.template companion<detail::KeyframeBuckets>(), t);
    const Keyframe<T>& a = k[lo];
    const Keyframe<T>& b = k[lo + 1];
    if (a.easeOut == KeyframeEase::hold) return a.value;
    const double d = b.time - a.time;
    if (!(d > 0.0)) return b.value;
    const double u = (t - a.time) / d;
    // Without an ease on either side both handles lie on the diagonal: the path is straight.
    if (a.easeOut != KeyframeEase::ease && b.easeIn != KeyframeEase::ease) return interpolate(a.value, b.value, u);
    return interpolate(a.value, b.value, detail::easedFraction(a, b, u));
}

extern template struct Animatable<double>;
extern template struct Animatable<Vec2>;

}  // namespace qm
