#include "editor/sync/timecode.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace qm {

namespace {
// Far beyond any frame rate, small enough that a day of frames fits 64 bits with room to spare.
constexpr int64_t kMaxRate = 1'000'000'000;
}  // namespace

int64_t timecodeFramesPerDay(int64_t rate, bool dropFrame) {
    if (rate < 1 || rate > kMaxRate) return 0;
    return rate * 86400 - (dropFrame ? 2592 : 0);
}

Timecode Timecode::fromFrameNumber(int64_t frameNumber, int64_t rate, bool dropFrame) {
    const int64_t perDay = timecodeFramesPerDay(rate, dropFrame);
    if (perDay <= 0) return Timecode{0, 0, 0, 0, dropFrame};
    int64_t n = ((frameNumber % perDay) + perDay) % perDay;
    if (dropFrame) {
        const int64_t d = n / 17982;
        const int64_t m = n % 17982;
        n += 18 * d;
        if (m >= 2) n += 2 * ((m - 2) / 1798);
    }
    return Timecode{n / (rate * 3600), (n / (rate * 60)) % 60, (n / rate) % 60, n % rate, dropFrame};
}

std::string Timecode::displayText() const {
    char text[96];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld%c%02lld", static_cast<long long>(hours),
                  static_cast<long long>(minutes), static_cast<long long>(seconds), dropFrame ? ';' : ':',
                  static_cast<long long>(frames));
    return text;
}

double LTCInfo::standardRate() const {
    const double* candidates;
    size_t count;
    static constexpr double k24[] = {23.976, 24.0};
    static constexpr double k25[] = {25.0};
    static constexpr double k30[] = {29.97, 30.0};
    if (nominalRate == 25) {
        candidates = k25;
        count = 1;
    } else if (nominalRate == 24) {
        candidates = k24;
        count = 2;
    } else {
        candidates = k30;
        count = 2;
    }
    double best = candidates[0];
    for (size_t i = 1; i < count; ++i)
        if (std::abs(candidates[i] - measuredRate) < std::abs(best - measuredRate)) best = candidates[i];
    return best;
}

std::string LTCInfo::rateText() const {
    // to_chars: snprintf would write the user's decimal comma once the GUI sets LC_NUMERIC.
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, standardRate(), std::chars_format::fixed, 3).ptr;
    std::string s(text, end);
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    if (dropFrame) s += " DF";
    return s;
}

std::optional<int64_t> ltcFrameAt(const LTCInfo& info, double mediaTime) {
    const double frame = std::floor(mediaTime * info.measuredRate + info.startFrame + 0.001);
    // Beyond 2^53 a double no longer holds whole frames; far beyond any real timecode anyway.
    if (!std::isfinite(frame) || std::abs(frame) > 9007199254740992.0) return std::nullopt;
    return static_cast<int64_t>(frame);
}

std::optional<Timecode> ltcTimecodeAt(const LTCInfo& info, double mediaTime) {
    const auto frame = ltcFrameAt(info, mediaTime);
    if (!frame) return std::nullopt;
    return Timecode::fromFrameNumber(*frame, info.nominalRate, info.dropFrame);
}

}  // namespace qm
