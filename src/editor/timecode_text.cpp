#include "editor/timecode_text.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace qm {

QString formatTimecode(double seconds, double rate) {
    if (!std::isfinite(seconds)) return QStringLiteral("--");
    const double frames = std::round(std::max(0.0, seconds) * rate);
    const double perSecond = std::max(1.0, std::round(rate));
    // 2^62 keeps the conversion exact and far from overflow.
    if (!std::isfinite(frames) || !std::isfinite(perSecond) || frames > 4.6e18 || perSecond > 4.6e18)
        return QStringLiteral("--");
    const auto n = static_cast<int64_t>(std::max(0.0, frames));
    const auto f = static_cast<int64_t>(perSecond);
    return QString::asprintf("%02lld:%02lld:%02lld:%02lld", static_cast<long long>(n / f / 3600),
                             static_cast<long long>(n / f / 60 % 60), static_cast<long long>(n / f % 60),
                             static_cast<long long>(n % f));
}

}  // namespace qm
