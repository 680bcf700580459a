#pragma once
// Texts of times, rates and slider values in the End Credits views. Locale-independent: "." is
// the decimal point and there is no grouping.

#include <optional>

#include <QString>

namespace qm {

// Seconds as minutes, a colon and two-digit seconds, with one decimal of tenths only when they
// are not zero ("1:23", "0:01.3"); an hour reads 60:00. Reading takes "m:s", "h:m:s" (the
// full-width colon too) or plain seconds, every part 0 or more.
struct ClockFormat {
    // "0:00" for a negative, non-finite or unrepresentably large value.
    static QString format(double seconds);
    // Nothing for a text that is not such a duration, or whose value is not finite.
    static std::optional<double> parse(const QString& text);
};

// Seconds rounded to whole seconds as "%d:%02d" ("0:00" for a negative or non-finite value).
QString clockString(double seconds);
// The transport's readout uses the same text.
inline QString timeText(double seconds) { return clockString(seconds); }

// A whole rate as "%.0f", any other with up to three decimals, trailing zeros dropped (23.976,
// 29.97, 59.94), so no two rates of the menu read alike.
QString frameRateLabel(double rate);

// A slider's value text: the value rounded half away from zero, then the unit, directly after a
// unit starting with "%" or "px", otherwise after a space.
QString sliderValueText(double value, const QString& unit);

// The export progress as a whole percentage, truncated ("99%" for 0.996).
QString percentText(double fraction);

}  // namespace qm
