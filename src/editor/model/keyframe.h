#pragma once
// Keyframed values: a static value plus a time-ordered list of keyframes, evaluated at any
// clip-local time. Written once over the two kinds of value a clip animates (double and Vec2).

#include <cmath>
#include <cstddef>
#include <optional>
#include <iterator>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace detail {

// The eased fraction of a segment from a to b at fraction u; allocation-free, fixed 40 steps.
template <typename T>
double easedFraction(const Keyframe<T>& a, const Keyframe<T>& b, double u) {
    double p1x = 1.0 / 3.0, p1y = 1.0 / 3.0, p2x = 2.0 / 3.0, p2y = 2.0 / 3.0;
    if (a.easeOut == KeyframeEase::ease) {
        p1x = a.outInfluence;
        p1y = a.outInfluence * a.outVelocity;
    }
    if (b.easeIn == KeyframeEase::ease) {
        p2x = 1.0 - b.inInfluence;
        p2y = 1.0 - b.inInfluence * b.inVelocity;
    }
    if (std::abs(p1x - p1y) < 1e-12 && std::abs(p2x - p2y) < 1e-12) return u;
    const auto bezier = [](double s, double c1, double c2) {
        const double r = 1.0 - s;
        return 3.0 * r * r * s * c1 + 3.0 * r * s * s * c2 + s * s * s;
    };
    // x(s) in Horner form: the bisection below is one long chain of dependent steps, and this
    // form is the shortest; it differs from the expanded form by rounding only.
    const double ax = 1.0 + 3.0 * p1x - 3.0 * p2x, bx = 3.0 * p2x - 6.0 * p1x, cx = 3.0 * p1x;
    const auto x = [&](double s) { return ((ax * s + bx) * s + cx) * s; };
    // Forty bisection steps on x(s) = u, two per round: the midpoint and both possible next
    // midpoints are evaluated together and the halves chosen without branches, which would be
    // mispredicted half the time. Every point is a dyadic fraction, so lo + h is exactly the
    // (lo + hi) / 2 of plain bisection.
    double lo = 0.0, h = 0.5, s = 0.5;
    for (int round = 0; round < 20; ++round) {
        const double half = h * 0.5;
        const double xm = x(lo + h), xa = x(lo + half), xb = x(lo + h + half);
#if defined(__SSE2__)
        const __m128d target = _mm_set_sd(u);
        const __m128d first = _mm_cmplt_sd(_mm_set_sd(xm), target);  // all ones when below
        const __m128d second = _mm_or_pd(_mm_and_pd(first, _mm_cmplt_sd(_mm_set_sd(xb), target)),
                                         _mm_andnot_pd(first, _mm_cmplt_sd(_mm_set_sd(xa), target)));
        lo += _mm_cvtsd_f64(_mm_and_pd(first, _mm_set_sd(h)));
        s = lo + half;  // the midpoint of the second step
        lo += _mm_cvtsd_f64(_mm_and_pd(second, _mm_set_sd(half)));
#else
        const int first = xm < u;
        const int second = ((xb < u) & first) | ((xa < u) & (first ^ 1));
        lo += h * first;
        s = lo + half;  // the midpoint of the second step
        lo += half * second;
#endif
        h = half * 0.5;
    }
    return bezier(s, p1y, p2y);
}

}  // namespace detail

template <typename T>
struct Animatable {
    T value{};
    SharedVector<Keyframe<T>> keyframes;  // ascending time; equal times keep their insertion order
    bool operator==(const Animatable&) const = default;

    // The value at clip-local time t. Never allocates; the segment is found by binary search.
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
    void sortKeyframes();
};

template <typename T>
T Animatable<T>::valueAt(double t) const {
    const std::size_t n = keyframes.size();
    if (n == 0) return value;
    if (t <= keyframes.front().time) return keyframes.front().value;
    if (t >= keyframes.back().time) return keyframes.back().value;
    std::size_t lo = 0, hi = n - 1;
    while (hi - lo > 1) {
        const std::size_t mid = (lo + hi) / 2;
        const bool later = t >= keyframes[mid].time;  // selects, not branches: unpredictable
        lo = later ? mid : lo;
        hi = later ? hi : mid;
    }
    const Keyframe<T>& a = keyframes[lo];
    const Keyframe<T>& b = keyframes[hi];
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
