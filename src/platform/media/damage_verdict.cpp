#include "platform/media/damage_verdict.h"

#include <algorithm>

namespace qm::reading {

namespace {
constexpr size_t kRecentKept = 64;  // more than any decoder reorders
}  // namespace

void DamageVerdict::sent(int64_t pts, int64_t dts, bool owed, bool accounted) {
    if (pts == AV_NOPTS_VALUE || !accounted) accounting_ = false;
    const int64_t ts = pts != AV_NOPTS_VALUE ? pts : dts;
    if (ts == AV_NOPTS_VALUE) return;
    if (latestSent_ != AV_NOPTS_VALUE && ts < latestSent_) risingStamps_ = false;
    latestSent_ = ts;
    awaited_[ts] = owed;
    recent_.push_back(ts);
    if (recent_.size() > kRecentKept) recent_.pop_front();
}

int64_t DamageVerdict::refused(int64_t ts, bool frameThreads) const {
    return frameThreads && !awaited_.empty() ? awaited_.begin()->first : ts;
}

void DamageVerdict::failed(int64_t ts, int rc) {
    failedAt_ = ts;
    failedCode_ = rc;
}

DamageVerdict::Picture DamageVerdict::judge(const AVFrame& frame, std::optional<int64_t> owedFrom, bool reorders) {
    const int64_t t = frame.best_effort_timestamp;
    leftOut_.reset();
    // Pictures shown after the one that failed may be predicted from it.
    if (failedAt_ && t != AV_NOPTS_VALUE && t >= *failedAt_) {
        awaited_.erase(awaited_.begin(), awaited_.upper_bound(t));
        return Picture::afterFailure;
    }
    if (t != AV_NOPTS_VALUE && matching(reorders)) {
        // A sample shown before it whose picture never came; or, where this picture stands at a
        // time no sample sent owes, the first whose place it takes. Kept awaited, to be read again.
        const bool own = awaited_.count(t) > 0;
        for (auto it = awaited_.begin(); it != awaited_.end() && (it->first < t || !own); ++it)
            if (it->second && (!owedFrom || it->first >= *owedFrom)) {
                leftOut_ = it->first;
                break;
            }
        if (!own && !leftOut_ && (!owedFrom || t >= *owedFrom)) leftOut_ = t;
        if (leftOut_) return Picture::leftOut;
    }
    if (t != AV_NOPTS_VALUE) awaited_.erase(awaited_.begin(), awaited_.upper_bound(t));
    // A slice skipped or concealed, or a reference missing.
    if ((frame.flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame.decode_error_flags != 0) return Picture::damaged;
    return Picture::whole;
}

std::optional<int64_t> DamageVerdict::owing(std::optional<int64_t> owedFrom, std::optional<int64_t> end, bool reorders) const {
    if (!matching(reorders)) return std::nullopt;
    for (auto it = owedFrom ? awaited_.lower_bound(*owedFrom) : awaited_.begin(); it != awaited_.end(); ++it) {
        if (end && it->first >= *end) break;
        if (it->second) return it->first;
    }
    return std::nullopt;
}

int64_t DamageVerdict::firstSpoiled(int64_t ts, std::optional<int64_t> from, const std::vector<int64_t>& later) const {
    int64_t first = ts;
    const auto spoils = [&](int64_t s) {
        if (s != AV_NOPTS_VALUE && s < first && (!from || s >= *from)) first = s;
    };
    const auto own = std::find(recent_.begin(), recent_.end(), ts);
    if (own != recent_.end()) std::for_each(std::next(own), recent_.end(), spoils);
    for (const int64_t s : later) spoils(s);
    return first;
}

std::optional<int64_t> DamageVerdict::onlyAwaited() const {
    if (awaited_.size() != 1) return std::nullopt;
    return awaited_.begin()->first;
}

std::optional<int64_t> DamageVerdict::firstAwaited() const {
    if (awaited_.empty()) return std::nullopt;
    return awaited_.begin()->first;
}

bool DamageVerdict::namesDamage(int rc, AVCodecID codec) {
    return rc == AVERROR_INVALIDDATA && (codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC || codec == AV_CODEC_ID_VP9);
}

}  // namespace qm::reading
