#include "platform/media/sample_account.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/media/container_samples.h"
#include "platform/media/reader_internal.h"
#include "platform/media/transport_packets.h"

namespace qm::reading {

namespace {

constexpr size_t kRecentKept = 64;  // more than any decoder reorders
// More samples than a decoder begun at a recovery point takes to give its first picture.
constexpr size_t kOpeningKept = 1024;

}  // namespace

ListedEmptySamples::ListedEmptySamples(AVFormatContext* format, int stream, const std::filesystem::path& file) {
    if (std::strstr(format->iformat->name, "mov") != nullptr) {
        found_ = emptyTableSamples(format, stream, file);
        const std::vector<EmptySample> lost = tableAndFragmentLosses(format, stream, file);
        found_.insert(found_.end(), lost.begin(), lost.end());
        std::stable_sort(found_.begin(), found_.end(), [](const EmptySample& a, const EmptySample& b) { return a.dts < b.dts; });
        return;
    }
    if (std::strcmp(format->iformat->name, "avi") == 0) {
        found_ = aviChunksThatDisagree(format, stream, file);
        return;
    }
    if (std::strcmp(format->iformat->name, "mpegts") == 0) {
        pes_ = std::make_unique<TransportPackets>(file, format->streams[stream]->id);
        return;
    }
    if (std::strncmp(format->iformat->name, "matroska", 8) != 0) return;
    file_.reset(std::fopen(file.c_str(), "rb"));
    if (!file_) return;
    std::error_code error;
    blocks_ = std::make_unique<MatroskaBlocks>();
    blocks_->size = int64_t(std::filesystem::file_size(file, error));
    if (error) blocks_.reset();
}

void ListedEmptySamples::readAgain(AVFormatContext* format, int stream, const std::filesystem::path& file) {
    if (std::strstr(format->iformat->name, "mov") == nullptr && std::strcmp(format->iformat->name, "avi") != 0)
        *this = ListedEmptySamples(format, stream, file);
}

ListedEmptySamples::ListedEmptySamples() = default;
ListedEmptySamples::~ListedEmptySamples() = default;
ListedEmptySamples::ListedEmptySamples(ListedEmptySamples&&) noexcept = default;
ListedEmptySamples& ListedEmptySamples::operator=(ListedEmptySamples&&) noexcept = default;

const std::vector<EmptySample>& ListedEmptySamples::upTo(std::optional<int64_t> pos) {
    const int64_t limit = pos.value_or(INT64_MAX);
    if (blocks_ && !blocks_->walk(file_.get(), limit, found_, passing_)) blocks_.reset();
    if (pes_ && !pes_->walk(limit, found_, lacking_)) pes_.reset();
    return found_;
}

std::optional<EmptySample> ListedEmptySamples::droppedBetween(int64_t after, std::optional<int64_t> pos) {
    upTo(pos);
    std::optional<EmptySample> first;
    while (!passing_.empty() && (!pos || passing_.front().pos < *pos)) {
        if (!first && passing_.front().pos > after) first = passing_.front();
        passing_.pop_front();
    }
    if (first) first->lost = true;
    return first;
}

bool ListedEmptySamples::droppedBefore(int64_t pos) {
    upTo(pos);
    return !passing_.empty() && passing_.front().pos < pos;
}

bool ListedEmptySamples::lacksPacket(int64_t pts, std::optional<int64_t> pos) {
    upTo(pos);
    return pts != AV_NOPTS_VALUE && lacking_.count(pts) > 0;
}

void SampleAccount::sent(int64_t pts, int64_t dts, bool owed, bool accounted, bool leads) {
    if (pts == AV_NOPTS_VALUE || !accounted) accounting_ = false;
    const int64_t ts = pts != AV_NOPTS_VALUE ? pts : dts;
    if (ts == AV_NOPTS_VALUE) return;
    if (leads && !taken_) leading_.insert(ts);
    if (!recent_.empty() && ts < recent_.back()) risingStamps_ = false;
    awaited_.emplace(ts, owed);
    if (owed && pts != AV_NOPTS_VALUE) untaken_.insert(pts);
    recent_.push_back(ts);
    if (recent_.size() > kRecentKept) recent_.pop_front();
}

int64_t SampleAccount::refused(int64_t ts, bool frameThreads) const {
    return frameThreads && !awaited_.empty() ? awaited_.begin()->first : ts;
}

void SampleAccount::failed(int64_t ts, int rc) {
    failedAt_ = ts;
    failedCode_ = rc;
}

SampleAccount::Picture SampleAccount::judge(const AVFrame& frame, std::optional<int64_t> owedFrom, bool reorders) {
    const int64_t t = stampOf(frame);
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
        std::optional<int64_t> first;
        for (auto it = awaited_.begin(); it != awaited_.end() && (it->first < t || !own); ++it)
            if (it->second && (!owedFrom || it->first >= *owedFrom)) {
                first = it->first;
                break;
            }
        if (first && reorders && decodingStamps(*first, own ? t : recent_.back())) {
            // Pictures come in another order than their stamps: each settles its own sample, or
            // the first still owed, and what is owed is counted once the decoder is drained.
            decodingStampsMet_ = true;
            settle(own ? t : *first);
            return (frame.flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame.decode_error_flags != 0 ? Picture::damaged
                                                                                              : Picture::whole;
        }
        leftOut_ = first;
        if (!own && !leftOut_ && (!owedFrom || t >= *owedFrom)) leftOut_ = t;
        if (leftOut_) return Picture::leftOut;
    }
    // Those shown before it owe nothing more; of samples stamped alike (one repeated), it settles one.
    if (t != AV_NOPTS_VALUE) {
        awaited_.erase(awaited_.begin(), awaited_.lower_bound(t));
        settle(t);
    }
    // A slice skipped or concealed, or a reference missing.
    if ((frame.flags & AV_FRAME_FLAG_CORRUPT) != 0 || frame.decode_error_flags != 0) return Picture::damaged;
    return Picture::whole;
}

std::optional<int64_t> SampleAccount::owing(std::optional<int64_t> owedFrom, std::optional<int64_t> end, bool reorders) const {
    if (!matching(reorders)) return std::nullopt;
    for (auto it = owedFrom ? awaited_.lower_bound(*owedFrom) : awaited_.begin(); it != awaited_.end(); ++it) {
        if (end && it->first >= *end) break;
        if (it->second) return it->first;
    }
    return std::nullopt;
}

bool SampleAccount::decodingStamps(int64_t from, int64_t to) const {
    const auto first = std::find(recent_.begin(), recent_.end(), from);
    const auto last = std::find(first, recent_.end(), to);
    return first != recent_.end() && last != recent_.end() && risingBetween(first, last);
}

bool SampleAccount::risingBetween(std::deque<int64_t>::const_iterator first, std::deque<int64_t>::const_iterator last) const {
    for (auto it = first == recent_.begin() ? first : std::prev(first); it != last; ++it)
        if (*std::next(it) <= *it) return false;
    return true;
}

bool SampleAccount::risingAbout(int64_t a, int64_t b) const {
    const auto first = std::find(recent_.begin(), recent_.end(), a), second = std::find(recent_.begin(), recent_.end(), b);
    if (first == recent_.end() || second == recent_.end()) return false;
    const auto [from, to] = std::minmax(first, second);
    return risingBetween(from, to);
}

std::optional<int64_t> SampleAccount::shownAt(int64_t own, int reorderDepth) {
    if (own == AV_NOPTS_VALUE) return std::nullopt;
    const bool reorders = reorderDepth > 0;
    if (!taken_) {
        // The samples shown before the first picture gave none (a stream begun mid-way or at a
        // recovery point), but, where it is one that may lead, those sent right before it back to
        // the one it leads, which it may be shown in place of; one that can't lead comes after
        // those sent before it.
        // Told so only where the stamps rise as sent (decoding stamps): other stamps say it themselves.
        const auto ownAt = std::find(recent_.begin(), recent_.end(), own);
        const bool leads = !risingStamps_ || leading_.count(own) > 0 || ownAt == recent_.end();
        auto led = ownAt;
        while (risingStamps_ && leads && led != recent_.begin() && (led == ownAt || leading_.count(*led) > 0)) --led;
        if (!risingStamps_) led = recent_.begin();
        std::erase_if(untaken_, [&](int64_t t) {
            const auto at = std::find(recent_.begin(), ownAt, t);
            return t < own && (at == ownAt || !leads || at < led || ownAt - at > reorderDepth + 1);
        });
        // Those sent right after it that may lead, stamped later, were shown before it and gave
        // none: in decoding stamps, the first picture's time is theirs, and each next one later.
        if (!leads)
            for (auto it = std::next(ownAt); it != recent_.end() && leading_.count(*it) > 0 && *it > own && !untaken_.empty(); ++it)
                untaken_.erase(untaken_.begin());
        leading_.clear();
    }
    taken_ = true;
    if (untaken_.empty()) return std::nullopt;
    const int64_t first = *untaken_.begin();
    if (reorders && risingAbout(first, own)) {
        decodingStampsMet_ = decodingStampsMet_ || first != own;
        untaken_.erase(untaken_.begin());
        return first;
    }
    if (const auto it = untaken_.find(own); it != untaken_.end()) untaken_.erase(it);
    return std::nullopt;
}

int64_t SampleAccount::firstSpoiled(int64_t ts, std::optional<int64_t> from, const std::vector<int64_t>& later) const {
    int64_t first = ts;
    const auto spoils = [&](int64_t s) {
        if (s != AV_NOPTS_VALUE && s < first && (!from || s >= *from)) first = s;
    };
    const auto own = std::find(recent_.begin(), recent_.end(), ts);
    if (own != recent_.end()) std::for_each(std::next(own), recent_.end(), spoils);
    for (const int64_t s : later) spoils(s);
    return first;
}

std::optional<int64_t> SampleAccount::onlyAwaited() const {
    if (awaited_.size() != 1) return std::nullopt;
    return awaited_.begin()->first;
}

std::optional<int64_t> SampleAccount::firstAwaited() const {
    if (awaited_.empty()) return std::nullopt;
    return awaited_.begin()->first;
}

bool WaitingPictures::sentBefore(int64_t a, int64_t b) const {
    const auto first = sentOrder_.find(a), second = sentOrder_.find(b);
    return first != sentOrder_.end() && second != sentOrder_.end() && first->second < second->second;
}

bool WaitingPictures::mustWait(int64_t ts, const Awaited& awaited) const {
    if (drained_ || ts == AV_NOPTS_VALUE) return false;
    const auto own = sentOrder_.find(ts);
    if (own == sentOrder_.end()) return false;
    for (const auto& [t, owed] : awaited) {
        const auto other = sentOrder_.find(t);
        if (other != sentOrder_.end() && other->second < own->second) return true;
    }
    return false;
}

bool WaitingPictures::mustHold(int64_t ts, const Awaited& awaited) {
    if (!pictures_.empty() || mustWait(ts, awaited)) return true;
    forgetUpTo(ts);
    return false;
}

bool WaitingPictures::release(AVFrame& frame, const Awaited& awaited) {
    if (pictures_.empty() || mustWait(SampleAccount::stampOf(*pictures_.front()), awaited)) return false;
    av_frame_move_ref(&frame, pictures_.front().get());
    pictures_.pop_front();
    forgetUpTo(SampleAccount::stampOf(frame));
    return true;
}

bool WaitingPictures::dropAfter(int64_t ts) {
    if (pictures_.empty()) return false;
    const auto own = sentOrder_.find(ts);
    std::erase_if(pictures_, [&](const ffmpeg::FramePtr& f) {
        const auto other = sentOrder_.find(SampleAccount::stampOf(*f));
        return own == sentOrder_.end() || other == sentOrder_.end() || other->second > own->second;
    });
    return true;
}

void PictureCount::owe(int64_t pts, int64_t dts, int64_t pos, bool wholeKey, bool leads) {
    if (!begun_ && wholeKey) from_ = pts;
    begun_ = true;
    const Sample sample{pts, dts, pos};
    if (catchUpTo_) {
        if (*catchUpTo_ == sample) catchUpTo_.reset();
        return;
    }
    if (opening_.size() < kOpeningKept) opening_.emplace_back(pts, leads);
    last_ = sample;
    if (pts == AV_NOPTS_VALUE) counting_ = false;
    if (!counting_) return;
    if (const auto it = balance_.find(pts); it != balance_.end() && ++it->second == 0) balance_.erase(it);
    else if (it == balance_.end()) balance_.emplace(pts, 1);
}

bool PictureCount::opening() const { return opening_.size() < kOpeningKept; }

std::optional<int64_t> PictureCount::missing(std::optional<int64_t> end) const {
    if (!counting_) return std::nullopt;
    // The pictures sent right after the one owed from that may be shown before it are: a decoder
    // beginning there leaves them out (the RASL pictures of a CRA, the B-frames of the first
    // picture whole after a recovery point), where decoding stamps put them after it.
    std::multiset<int64_t> leading;
    const auto from = from_ ? std::find_if(opening_.begin(), opening_.end(), [&](const auto& s) { return s.first == *from_; })
                            : opening_.end();
    for (auto it = from == opening_.end() ? from : std::next(from); it != opening_.end() && it->second; ++it)
        leading.insert(it->first);
    for (auto it = from_ ? balance_.lower_bound(*from_) : balance_.begin(); it != balance_.end(); ++it) {
        if (end && it->first >= *end) break;
        if (it->second > int64_t(leading.count(it->first))) return it->first;
    }
    return std::nullopt;
}

bool SampleAccount::namesDamage(int rc, AVCodecID codec) {
    return rc == AVERROR_INVALIDDATA && (codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC || codec == AV_CODEC_ID_VP9);
}

}  // namespace qm::reading
