#pragma once
// The verdict on damage in one decoding run of the video reader. The container says which samples
// exist and when each is shown; every sample sent owes its own picture at its own time. The verdict
// tells which sample a decoder's error belongs to, and whether a picture it gives is whole, was
// marked damaged, stands where a sample's picture never came (left out, silently, as decoders do
// with damage they cannot decode), or comes after the sample that failed (and may be predicted
// from it). Forgotten whole when reading begins again.

#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <tuple>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

#include "platform/media/ffmpeg_internal.h"

namespace qm::reading {

class MatroskaBlocks;
class TransportPackets;

// A sample of the stream that its file lists without data (none an edit list leaves out): demuxers
// drop such a sample without a word, yet its picture is owed. `dts` where the file lists decoding
// times, else `pos`, the place in the file, says where it comes among the packets read. `lost`:
// one the file lists with data that the demuxer can't hand on, as the file's structure is damaged
// (a sample table that lists fewer samples than another, or that shows one far past the track's
// end); it comes in place of the packet at its decoding time.
struct EmptySample {
    int64_t pts = AV_NOPTS_VALUE, dts = AV_NOPTS_VALUE, pos = -1;
    bool lost = false;
    // Whether it comes before the packet.
    bool before(const AVPacket& p) const {
        if (dts != AV_NOPTS_VALUE) return lost ? dts <= p.dts : dts < p.dts;
        return pos < p.pos;
    }
};
// The samples a file lists without data, in decoding order: MP4's and QuickTime's sample table at
// once (it is in memory), Matroska's blocks and MPEG-TS's PES packets by walking the file only as
// far as the reading has come, so that reading a few pictures never walks a long file. Other files
// list none.
class ListedEmptySamples {
public:
    ListedEmptySamples();
    ListedEmptySamples(AVFormatContext* format, int stream, const std::filesystem::path& file);
    ~ListedEmptySamples();
    ListedEmptySamples(ListedEmptySamples&&) noexcept;
    ListedEmptySamples& operator=(ListedEmptySamples&&) noexcept;
    // Reading begins again from the file's start: what a sample table lists holds still (it is
    // not read again), and the walks through the file begin again.
    void readAgain(AVFormatContext* format, int stream, const std::filesystem::path& file);
    // Those listed, found at least as far as the file position `pos` (to the file's end where none).
    const std::vector<EmptySample>& upTo(std::optional<int64_t> pos);
    // Where the demuxer said the structure is damaged before the packet at `pos` (or the file's
    // end): the first sample the file lists after the place `after` and before it, which it must
    // have dropped (a Matroska block of the track, or of a track the file lacks, which the
    // demuxer takes a damaged one for). Those before `pos` are forgotten either way.
    std::optional<EmptySample> droppedBetween(int64_t after, std::optional<int64_t> pos);
    // Whether the file lists such a sample before the file position `pos` that was not read
    // (forgotten by droppedBetween()).
    bool droppedBefore(int64_t pos);
    // Whether an MPEG-TS PES packet stamped `pts` lacks a transport packet (its continuity count
    // skips), found at least as far as the file position `pos` (to the file's end where none).
    bool lacksPacket(int64_t pts, std::optional<int64_t> pos);

private:
    std::vector<EmptySample> found_;
    std::deque<EmptySample> passing_;  // Matroska's blocks with data walked past and not yet read
    std::set<int64_t> lacking_;        // MPEG-TS PES packets that lack a transport packet, by stamp
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, std::fclose};
    std::unique_ptr<MatroskaBlocks> blocks_;
    std::unique_ptr<TransportPackets> pes_;
};

class SampleAccount {
public:
    enum class Picture { whole, damaged, afterFailure, leftOut };

    // A sample went to the decoder, known by its presentation stamp (its decoding stamp where it
    // has none); `owed`: whether its picture is owed (one an edit list leaves out owes none).
    // Pictures are matched to samples only where `accounted` and every sample sent has a
    // presentation stamp: a sample without one ends the account.
    // `leads`: its picture may be shown before that of the sample sent before it (a B-frame, a
    // RASL picture); told only until the first picture comes (pictureTaken()).
    void sent(int64_t pts, int64_t dts, bool owed, bool accounted, bool leads = false);
    bool pictureTaken() const { return taken_; }
    // The decoder refused the sample stamped `ts` with `rc`. On frame threads the error is that of
    // the first sample sent whose picture has not come out; that sample is returned, to be told
    // with failed() unless the caller finds it no damage.
    int64_t refused(int64_t ts, bool frameThreads) const;
    void failed(int64_t ts, int rc);

    // The verdict on a picture the decoder gave; every sample shown up to it is accounted for.
    // Samples shown before `owedFrom` owe nothing (they are shown before the start, came out
    // before reading began again, or a stream begun mid-way lacks what they need). `reorders`:
    // the decoder puts pictures in another order than it takes them, while the file's stamps all
    // rise in that order: they are decoding stamps (raw B-frame streams remuxed without them),
    // which no picture can be matched to.
    Picture judge(const AVFrame& frame, std::optional<int64_t> owedFrom, bool reorders);
    // The stamp of a decoded picture's own sample, which the decoder passes on: its guess of
    // the time shown turns to decoding stamps where the file's stamps fall out of order.
    static int64_t stampOf(const AVFrame& f) { return f.pts != AV_NOPTS_VALUE ? f.pts : f.best_effort_timestamp; }
    // The picture stamped `ts` came, though out of its stamp's order; or is owed again.
    void settle(int64_t ts) {
        if (const auto it = awaited_.find(ts); it != awaited_.end()) awaited_.erase(it);
    }
    void owe(int64_t ts) { awaited_.emplace(ts, true); }
    // The time the picture stamped `own` (stampOf) is shown at, where the samples' stamps say it
    // better than the decoder's guess: where they rise in the order sent about it while the decoder
    // reorders, they are decoding stamps (mkvmerge's x264 intra refresh from its first recovery
    // point on, GStreamer's MPEG-TS of a raw stream), the decoder's guess runs back and forth, and
    // each picture is shown at the earliest stamp no picture took yet. Nothing where it is shown at
    // the decoder's guess. Call it for every picture, in the order they come.
    std::optional<int64_t> shownAt(int64_t own, int reorderDepth);
    // The first sample whose picture was left out, as the last judge() found.
    std::optional<int64_t> leftOut() const { return leftOut_; }
    // Once the decoder has given all it will: the first sample from `owedFrom` on and before `end`
    // whose picture never came.
    std::optional<int64_t> owing(std::optional<int64_t> owedFrom, std::optional<int64_t> end, bool reorders) const;

    // The first picture in display order that damage in the sample stamped `ts` spoils: its own,
    // or one shown before it but decoded after it (B-frames predicted from it), among the samples
    // sent and `later` ones, of those shown from `from` on (not given out, nor before the start).
    int64_t firstSpoiled(int64_t ts, std::optional<int64_t> from, const std::vector<int64_t>& later) const;

    // Whether the sample stamped `ts` was sent and its picture has not come out.
    bool awaiting(int64_t ts) const { return awaited_.count(ts) > 0; }
    // The samples sent whose pictures have not come out, by stamp, with whether each is owed.
    const std::multimap<int64_t, bool>& awaited() const { return awaited_; }
    // The one sample whose picture has not come out, where there is exactly one.
    std::optional<int64_t> onlyAwaited() const;
    // The earliest shown of the samples whose pictures have not come out.
    std::optional<int64_t> firstAwaited() const;
    // The sample that failed and the decoder's code, told once the pictures shown before it are out.
    const std::optional<int64_t>& failedAt() const { return failedAt_; }
    int failedCode() const { return failedCode_; }

    // Whether pictures were met whose samples carry decoding stamps (raw B-frame streams remuxed
    // without presentation stamps, x264's intra refresh from mkvmerge): which picture of those
    // still in the decoder is shown first is then told only by the samples sent from the start.
    bool decodingStampsMet(bool reorders) const { return decodingStampsMet_ || (reorders && risingStamps_); }

    // Whether a decoder's error code says the sample's data is damaged, rather than that decoding
    // could not go on: H.264's, HEVC's and VP9's pictures are predicted from one another.
    static bool namesDamage(int rc, AVCodecID codec);

private:
    // Whether the samples sent from the one before `from` up to `to` have rising stamps: a
    // reordering decoder's samples stamped so carry decoding stamps (raw B-frame streams remuxed
    // without their presentation stamps, as mkvmerge does from an intra-refresh recovery point on).
    bool decodingStamps(int64_t from, int64_t to) const;
    // Whether the stamps rise among the samples sent from the one before the earlier of `a` and `b`
    // up to the later.
    bool risingAbout(int64_t a, int64_t b) const;
    // Whether the stamps rise among the latest samples sent from the one before `first` up to `last`.
    bool risingBetween(std::deque<int64_t>::const_iterator first, std::deque<int64_t>::const_iterator last) const;
    // Whether pictures are matched to samples at all: not where every sample sent had a rising
    // stamp while the decoder reorders (decoding stamps throughout), nor where one had none.
    bool matching(bool reorders) const { return accounting_ && !(reorders && risingStamps_); }

    std::multimap<int64_t, bool> awaited_;  // a sample repeated is owed twice
    std::deque<int64_t> recent_;  // the stamps of the latest samples sent, in the order sent
    bool accounting_ = true;  // every sample sent had a stamp
    bool risingStamps_ = true;  // each sample sent had a later stamp than the one before
    std::multiset<int64_t> untaken_;  // the stamps of the samples sent owing a picture that no picture's time took
    bool taken_ = false;  // a picture's time took one
    std::set<int64_t> leading_;  // the stamps of the samples sent before that whose pictures may lead
    bool decodingStampsMet_ = false;
    std::optional<int64_t> leftOut_;
    std::optional<int64_t> failedAt_;
    int failedCode_ = 0;
};

// H.264: its decoder marks only a damaged picture itself, and the B-frames predicted from it but
// shown before it come out first, unmarked: they wait until every sample sent before their own
// gave its picture, and go only once it has gone whole. Forgotten whole when reading begins again.
class WaitingPictures {
public:
    using Awaited = std::multimap<int64_t, bool>;
    // A sample stamped `ts` was sent, the `order`-th read.
    void sent(int64_t ts, int64_t order) {
        if (ts != AV_NOPTS_VALUE) sentOrder_[ts] = order;
    }
    // Whether the sample stamped `a` was sent before the one stamped `b`.
    bool sentBefore(int64_t a, int64_t b) const;
    // Whether the picture stamped `ts` is to wait: pictures wait already, or a sample sent before
    // its own, still `awaited`, gave none. Where not, no sample shown up to it waits to be judged.
    bool mustHold(int64_t ts, const Awaited& awaited);
    void hold(ffmpeg::FramePtr picture) { pictures_.push_back(std::move(picture)); }
    // The first picture waiting into `frame`, where it may go now.
    bool release(AVFrame& frame, const Awaited& awaited);
    // A damaged picture stamped `ts` met while pictures wait: those sent after it are predicted
    // from it and never go. False where none waits.
    bool dropAfter(int64_t ts);
    bool empty() const { return pictures_.empty(); }
    size_t size() const { return pictures_.size(); }
    // The decoder has given all it will: what waits goes.
    void drain() { drained_ = true; }

private:
    bool mustWait(int64_t ts, const Awaited& awaited) const;
    void forgetUpTo(int64_t t) {
        if (t != AV_NOPTS_VALUE) sentOrder_.erase(sentOrder_.begin(), sentOrder_.upper_bound(t));
    }
    std::map<int64_t, int64_t> sentOrder_;  // each sample's place in the order sent, by stamp
    std::deque<ffmpeg::FramePtr> pictures_;
    bool drained_ = false;
};

// A whole read's pictures against what the file holds, kept across decoding runs begun again:
// every sample read owes one picture, which the decoder passes its stamp to. Stamps are matched
// as a multiset, so decoding stamps, repeated and missing stamps count alike; a sample read again
// by a run begun earlier owes nothing more.
// Pictures are owed from the first key frame's stamp, whose leading pictures may lack what precedes
// the file; from the first picture's where the file begins mid-way or at a recovery point. The
// pictures leading that one are owed neither, though decoding stamps put them after it.
class PictureCount {
public:
    // A sample went to the decoder, owing its picture; one without a presentation stamp ends the
    // count. `wholeKey`: the first is a key frame from which every picture is whole. `leads`: its
    // picture may be shown before the one decoded before it (mayLeadPredecessor).
    void owe(int64_t pts, int64_t dts, int64_t pos, bool wholeKey, bool leads);
    bool begun() const { return begun_; }
    // Whether the samples owed are still those of the opening, whose pictures may lead (owe()).
    bool opening() const;
    // A picture stamped `ts` was given out.
    void gave(int64_t ts) {
        if (const auto it = balance_.find(ts); it != balance_.end() && --it->second == 0) balance_.erase(it);
        else if (it == balance_.end()) balance_.emplace(ts, -1);
        given_.push_back(ts);
        if (!from_) from_ = ts;
    }
    // Reading begins again earlier in the file: the samples up to the last one read are read again,
    // and the pictures given out are not given again.
    void readAgain() {
        if (last_) catchUpTo_ = last_;
        givenBefore_ = std::multiset<int64_t>(given_.begin(), given_.end());
    }
    // Whether a picture stamped `ts` was given out before reading began again (each once).
    bool givenBefore(int64_t ts) {
        const auto it = givenBefore_.find(ts);
        if (it == givenBefore_.end()) return false;
        givenBefore_.erase(it);
        return true;
    }
    bool counting() const { return counting_; }
    // The first sample in display order, shown before `end`, whose picture never came.
    std::optional<int64_t> missing(std::optional<int64_t> end) const;

private:
    using Sample = std::tuple<int64_t, int64_t, int64_t>;
    std::map<int64_t, int64_t> balance_;  // pictures owed less pictures given, by stamp; none where even
    std::vector<int64_t> given_;          // the stamps of the pictures given out, in that order
    std::multiset<int64_t> givenBefore_;  // those given out before reading began again, not met since
    std::optional<Sample> last_, catchUpTo_;
    std::optional<int64_t> from_;  // the stamp pictures are owed from
    // The first samples owed, in the order sent, with whether each may lead the one before it.
    std::vector<std::pair<int64_t, bool>> opening_;
    bool counting_ = true, begun_ = false;
};

}  // namespace qm::reading
