#pragma once
// The verdict on damage in one decoding run of the video reader: which sample a decoder's error
// belongs to, and whether a picture it gives is whole, was marked damaged, or comes after the
// sample that failed (and may be predicted from it). Forgotten whole when reading begins again.

#include <cstdint>
#include <optional>
#include <set>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace qm::reading {

class DamageVerdict {
public:
    enum class Picture { whole, damaged, afterFailure };

    // A sample with this presentation stamp went to the decoder.
    void sent(int64_t ts);
    // The decoder refused the sample stamped `ts` with `rc`. On frame threads the error is that of
    // the first sample sent whose picture has not come out; that sample is returned, to be told
    // with failed() unless the caller finds it no damage.
    int64_t refused(int64_t ts, bool frameThreads) const;
    void failed(int64_t ts, int rc);

    // The verdict on a picture the decoder gave; every sample shown up to it is accounted for.
    Picture judge(const AVFrame& frame);

    // Whether the sample stamped `ts` was sent and its picture has not come out.
    bool awaiting(int64_t ts) const { return awaited_.count(ts) > 0; }
    // The samples sent whose pictures have not come out, by stamp.
    const std::set<int64_t>& awaited() const { return awaited_; }
    // The one sample whose picture has not come out, where there is exactly one.
    std::optional<int64_t> onlyAwaited() const;
    // The earliest shown of the samples whose pictures have not come out.
    std::optional<int64_t> firstAwaited() const;
    // The sample that failed and the decoder's code, told once the pictures shown before it are out.
    const std::optional<int64_t>& failedAt() const { return failedAt_; }
    int failedCode() const { return failedCode_; }

    // Whether a decoder's error code says the sample's data is damaged, rather than that decoding
    // could not go on: H.264's, HEVC's and VP9's pictures are predicted from one another.
    static bool namesDamage(int rc, AVCodecID codec);

private:
    std::set<int64_t> awaited_;
    std::optional<int64_t> failedAt_;
    int failedCode_ = 0;
};

}  // namespace qm::reading
