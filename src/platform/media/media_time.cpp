#include "platform/media/media_time.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>

namespace qm {

namespace {

__extension__ typedef __int128 Wide;

constexpr int64_t kMaxValue = std::numeric_limits<int64_t>::max();
constexpr int64_t kMinValue = std::numeric_limits<int64_t>::min();

MediaTime saturate(Wide value, int32_t timescale) {
    if (value > Wide(kMaxValue)) return MediaTime::positiveInfinity();
    if (value < Wide(kMinValue)) return MediaTime::negativeInfinity();
    return MediaTime::make(static_cast<int64_t>(value), timescale);
}

// numerator / denominator rounded half away from zero; denominator > 0.
Wide divideRounded(Wide numerator, Wide denominator) {
    if (denominator < 0) {
        numerator = -numerator;
        denominator = -denominator;
    }
    const Wide quotient = numerator / denominator;
    const Wide remainder = numerator % denominator;
    const Wide twice = (remainder < 0 ? -remainder : remainder) * 2;
    if (twice >= denominator) return numerator < 0 ? quotient - 1 : quotient + 1;
    return quotient;
}

int rank(MediaTime::State s) {
    switch (s) {
    case MediaTime::State::negativeInfinity: return 0;
    case MediaTime::State::numeric: return 1;
    case MediaTime::State::positiveInfinity: return 2;
    case MediaTime::State::indefinite: return 3;
    case MediaTime::State::invalid: return 4;
    }
    return 4;
}

// Brings two numeric times to one scale: the least common multiple when it fits, else the
// finer scale with the other value rounded onto it.
void commonScale(const MediaTime& a, const MediaTime& b, Wide& va, Wide& vb, int32_t& scale) {
    if (a.timescale == b.timescale) {
        va = a.value;
        vb = b.value;
        scale = a.timescale;
        return;
    }
    const int64_t lcm = std::lcm(int64_t(a.timescale), int64_t(b.timescale));
    if (lcm <= std::numeric_limits<int32_t>::max()) {
        scale = static_cast<int32_t>(lcm);
        va = Wide(a.value) * (lcm / a.timescale);
        vb = Wide(b.value) * (lcm / b.timescale);
        return;
    }
    scale = std::max(a.timescale, b.timescale);
    va = divideRounded(Wide(a.value) * scale, a.timescale);
    vb = divideRounded(Wide(b.value) * scale, b.timescale);
}

}  // namespace

MediaTime MediaTime::make(int64_t value, int32_t timescale) {
    if (timescale <= 0) return invalid();
    return {value, timescale, State::numeric};
}

MediaTime MediaTime::fromSeconds(double seconds, int32_t timescale) {
    if (std::isnan(seconds) || timescale <= 0) return invalid();
    if (std::isinf(seconds)) return seconds > 0 ? positiveInfinity() : negativeInfinity();
    const double scaled = std::round(seconds * timescale);
    // 2^63 is exactly representable; anything at or beyond it cannot be held.
    if (scaled >= 9223372036854775808.0) return positiveInfinity();
    if (scaled < -9223372036854775808.0) return negativeInfinity();
    return make(static_cast<int64_t>(scaled), timescale);
}

double MediaTime::seconds() const {
    switch (state) {
    case State::numeric: return static_cast<double>(value) / static_cast<double>(timescale);
    case State::positiveInfinity: return std::numeric_limits<double>::infinity();
    case State::negativeInfinity: return -std::numeric_limits<double>::infinity();
    default: return std::numeric_limits<double>::quiet_NaN();
    }
}

MediaTime MediaTime::convertScale(int32_t newTimescale) const {
    if (state != State::numeric) return *this;
    if (newTimescale <= 0) return invalid();
    if (newTimescale == timescale) return *this;
    return saturate(divideRounded(Wide(value) * newTimescale, timescale), newTimescale);
}

std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b) {
    const int ra = rank(a.state);
    const int rb = rank(b.state);
    if (ra != rb) return ra <=> rb;
    if (a.state != MediaTime::State::numeric) return std::strong_ordering::equal;
    // a.value / a.timescale vs b.value / b.timescale with positive scales: cross-multiply exactly.
    return Wide(a.value) * b.timescale <=> Wide(b.value) * a.timescale;
}

MediaTime operator+(const MediaTime& a, const MediaTime& b) {
    if (!a.isValid() || !b.isValid()) return MediaTime::invalid();
    if (a.isIndefinite() || b.isIndefinite()) return MediaTime::indefinite();
    const bool aInf = a.isPositiveInfinity() || a.isNegativeInfinity();
    const bool bInf = b.isPositiveInfinity() || b.isNegativeInfinity();
    if (aInf && bInf) return a.state == b.state ? a : MediaTime::invalid();
    if (aInf) return a;
    if (bInf) return b;
    Wide va, vb;
    int32_t scale;
    commonScale(a, b, va, vb, scale);
    return saturate(va + vb, scale);
}

MediaTime MediaTime::operator-() const {
    switch (state) {
    case State::positiveInfinity: return negativeInfinity();
    case State::negativeInfinity: return positiveInfinity();
    case State::numeric:
        if (value == kMinValue) return positiveInfinity();
        return make(-value, timescale);
    default: return *this;
    }
}

MediaTime operator-(const MediaTime& a, const MediaTime& b) { return a + (-b); }

MediaTime MediaTime::operator*(int64_t factor) const {
    switch (state) {
    case State::numeric: return saturate(Wide(value) * factor, timescale);
    case State::positiveInfinity:
    case State::negativeInfinity:
        if (factor == 0) return invalid();
        return (factor < 0) ? -*this : *this;
    default: return *this;
    }
}

MediaTime MediaTime::multipliedByRatio(int64_t numerator, int64_t denominator) const {
    if (denominator == 0) return invalid();
    if (state != State::numeric) {
        const bool negative = (numerator < 0) != (denominator < 0);
        return (*this) * (numerator == 0 ? 0 : (negative ? -1 : 1));
    }
    return saturate(divideRounded(Wide(value) * numerator, denominator), timescale);
}

}  // namespace qm
