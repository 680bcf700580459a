#pragma once
// Rational media time: value / timescale seconds, with the non-numeric states a time line needs
// (invalid, indefinite, positive and negative infinity). Comparisons are exact.

#include <compare>
#include <cstdint>

namespace qm {

struct MediaTime {
    enum class State : uint8_t { invalid, numeric, indefinite, positiveInfinity, negativeInfinity };

    int64_t value = 0;
    int32_t timescale = 0;
    State state = State::invalid;

    // A numeric time when timescale > 0, else invalid.
    static MediaTime make(int64_t value, int32_t timescale);
    static MediaTime zero() { return make(0, 1); }
    static MediaTime invalid() { return {}; }
    static MediaTime indefinite() { return {0, 0, State::indefinite}; }
    static MediaTime positiveInfinity() { return {0, 0, State::positiveInfinity}; }
    static MediaTime negativeInfinity() { return {0, 0, State::negativeInfinity}; }
    // Nearest time on the given scale (halves away from zero); non-finite seconds give the
    // matching infinity (NaN gives invalid), out-of-range values give an infinity.
    static MediaTime fromSeconds(double seconds, int32_t timescale);

    bool isValid() const { return state != State::invalid; }
    bool isNumeric() const { return state == State::numeric; }
    bool isIndefinite() const { return state == State::indefinite; }
    bool isPositiveInfinity() const { return state == State::positiveInfinity; }
    bool isNegativeInfinity() const { return state == State::negativeInfinity; }

    // Seconds as a double: NaN for invalid and indefinite, +/- infinity for the infinities.
    double seconds() const;

    // The same instant on another scale, rounded half away from zero; an invalid scale gives
    // invalid, a value that no longer fits gives the infinity of its sign.
    MediaTime convertScale(int32_t newTimescale) const;

    // Order: negative infinity < numeric times (by exact value) < positive infinity < indefinite
    // < invalid. Equal instants on different scales compare equal (1/2 == 3/6).
    friend std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b);
    friend bool operator==(const MediaTime& a, const MediaTime& b) { return (a <=> b) == 0; }

    // Exact where the common scale fits 32 bits, else on the finer of the two scales (rounded).
    // Overflow saturates to the infinity of the sign; invalid in, invalid out; infinities of
    // opposite sign added give invalid; indefinite with any valid time gives indefinite.
    friend MediaTime operator+(const MediaTime& a, const MediaTime& b);
    friend MediaTime operator-(const MediaTime& a, const MediaTime& b);
    MediaTime operator-() const;
    // Multiplies the value by an integer (overflow saturates like addition).
    MediaTime operator*(int64_t factor) const;
    // time x numerator / denominator, on the same scale, rounded; denominator 0 gives invalid.
    MediaTime multipliedByRatio(int64_t numerator, int64_t denominator) const;
};

}  // namespace qm
