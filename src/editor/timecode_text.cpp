#include "editor/timecode_text.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace qm {

namespace {

// 2^62 keeps the conversion exact and far from overflow.
constexpr double kLargest = 4.6e18;

double frameCount(double seconds, double rate) { return std::round(std::max(0.0, seconds) * rate); }

}  // namespace

bool timecodeFits(double seconds, double rate) {
    if (!std::isfinite(seconds) || !std::isfinite(rate)) return false;
    const double frames = frameCount(seconds, rate);
    return std::isfinite(frames) && frames <= kLargest && std::round(rate) <= kLargest;
}

QString formatTimecode(double seconds, double rate) {
    if (!timecodeFits(seconds, rate)) return QStringLiteral("00:00:00:00");
    const auto n = static_cast<int64_t>(std::max(0.0, frameCount(seconds, rate)));
    const auto f = static_cast<int64_t>(std::max(1.0, std::round(rate)));
    return QString::asprintf("%02lld:%02lld:%02lld:%02lld", static_cast<long long>(n / f / 3600),
                             static_cast<long long>(n / f / 60 % 60), static_cast<long long>(n / f % 60),
                             static_cast<long long>(n % f));
}

}  // namespace qm
