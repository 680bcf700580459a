#include "platform/media/damage_verdict.h"

namespace qm::reading {

void DamageVerdict::sent(int64_t ts) {
    if (ts != AV_NOPTS_VALUE) awaited_.insert(ts);
}

int64_t DamageVerdict::refused(int64_t ts, bool frameThreads) const {
    return frameThreads && !awaited_.empty() ? *awaited_.begin() : ts;
}

void DamageVerdict::failed(int64_t ts, int rc) {
    failedAt_ = ts;
    failedCode_ = rc;
}

DamageVerdict::Picture DamageVerdict::judge(const AVFrame& frame) {
    const int64_t t = frame.best_effort_timestamp;
    awaited_.erase(awaited_.begin(), awaited_.upper_bound(t));
    // Pictures shown after the one that failed may be predicted from it.
    if (failedAt_ && t != AV_NOPTS_VALUE && t >= *failedAt_) return Picture::afterFailure;
    // A slice skipped or concealed, or a reference missing.
    if ((frame.flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame.decode_error_flags != 0) return Picture::damaged;
    return Picture::whole;
}

std::optional<int64_t> DamageVerdict::onlyAwaited() const {
    if (awaited_.size() != 1) return std::nullopt;
    return *awaited_.begin();
}

std::optional<int64_t> DamageVerdict::firstAwaited() const {
    if (awaited_.empty()) return std::nullopt;
    return *awaited_.begin();
}

bool DamageVerdict::namesDamage(int rc, AVCodecID codec) {
    return rc == AVERROR_INVALIDDATA && (codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC || codec == AV_CODEC_ID_VP9);
}

}  // namespace qm::reading
