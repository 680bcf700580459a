#pragma once
// The verdict on damage in a reading of a video track, in one place. The reader reads packets,
// decodes them and asks: whether a sample the file lists stands in for one the demuxer dropped,
// whether a picture the decoder gave goes out, waits or fails the reading (and which frame it
// names), what a decoder's failure or the file's end says, and where a file cut short ends. Every
// rule of that verdict is here, with what it is judged by: the samples sent against the pictures
// that came, in each decoding run (SampleAccount, WaitingPictures, StreamEnding) and in the whole
// read (PictureCount), and what the file lists (ListedEmptySamples). The reader owns one: it tells
// it what it read, sent and decoded, and carries out what it decides; what the verdict asks of the
// reading (the decoder's ways, the packets ahead, decoding again) goes through DamageVerdict::Reading,
// so that it is judged alike whoever drives it.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/asset_reader.h"
#include "platform/media/reader_internal.h"
#include "platform/media/sample_account.h"
#include "platform/media/stream_ending.h"
#include "platform/media/track_packets.h"

namespace qm::reading {

// More pictures than any decoder holds back to put them in display order (H.264's and HEVC's 16).
constexpr size_t kReorderLimit = 16;
// The failure of a sample the file lists without data.
constexpr int kEmptySample = AVERROR(ENODATA);
// The failure of a sample the file lists that its demuxer could not hand on.
constexpr int kLostSample = AVERROR(EILSEQ);
// A packet flag of the reader's own, taken off before a packet goes to a decoder: it stands for a
// sample the demuxer could not hand on.
constexpr int kLostPacket = 1 << 25;

// Reading begun again from an earlier key frame after a seek: what made it begin again, and how
// far the pictures already given out go. Forgotten whole once a picture past those comes out.
struct EarlierStart {
    // The failure that made it begin again, told where beginning earlier fails as well.
    std::exception_ptr failure;
    // The stamp of the picture that failed, where one did: beginning again once more is worth it
    // where a picture before it fails (leading pictures predicted from leading pictures), or the
    // same one, whose references lie further back still (an alpha layer keeps its pictures for
    // reference over several key frames).
    std::optional<int64_t> failedPicture;
    // Key frames the last beginning again went back: twice as many each time the same picture
    // fails, up to kFurthestReach.
    int reach = 0;
    // Pictures up to this time came out before.
    MediaTime resumeAfter;
};

// HEVC's and H.264's pictures keep at most 16 others for reference: a leading picture that
// still fails from 15 key frames further back is damaged.
constexpr int kFurthestReach = 8;

class DamageVerdict {
public:
    // What the verdict asks of the reading it judges: what the decoder and the track tell, and the
    // reader's ways of decoding again, each false where the reader can't (the verdict judges on).
    class Reading {
    public:
        virtual ~Reading() = default;
        // How many pictures the decoder holds back to put them in display order, whether it puts
        // pictures in another order than it takes them, whether it gives a sample's error back
        // with a later sample's (frame threads).
        virtual int reorderDepth() const = 0;
        virtual bool decoderReorders() const = 0;
        virtual bool onFrameThreads() const = 0;
        // Whether the decoder made up a reference it lacks since asked last; whether the demuxer
        // said the file's structure is damaged while it opened the file, or before a packet read
        // since. Their only word is the library's log, which the reader watches.
        virtual bool referenceMadeUp() = 0;
        virtual bool damagedOnOpening() const = 0;
        virtual bool structureDamaged() const = 0;
        // The packet `depth` places after the one just read; nothing past the file's end or where
        // it can't be read.
        virtual const AVPacket* ahead(size_t depth) = 0;
        // A sample that is a key frame from which every picture is whole (no H.264 recovery point),
        // and one whose picture may be shown before the one decoded before it.
        virtual bool wholeKeyFrame(const AVPacket& p) const = 0;
        virtual bool mayLead(const AVPacket& p) const = 0;
        // A frame's duration: the last picture's, else the track's rate's; and the time of the
        // last picture given out.
        virtual MediaTime frameDuration() const = 0;
        virtual MediaTime lastShown() const = 0;
        // Reading begun again from an earlier key frame after a seek, which the reader keeps.
        virtual const EarlierStart& earlierStart() const = 0;
        // Decoding again on one thread, where the decoder runs on frame threads: from the file's
        // start (`fromStart`) or from the key frame before `from` (the file's start where none).
        virtual bool decodeAgainOnOneThread(bool fromStart, std::optional<int64_t> from) = 0;
        // Drained before the HEVC sample `failed` that the decoder refused on one thread with
        // `rc`, decoding again from the key frame before `from`.
        virtual bool drainAgainBefore(int64_t failed, int rc, std::optional<int64_t> from) = 0;
        // Once more from the key frame before an H.264 recovery point decoding began at.
        virtual bool decodeAgainEarlier() = 0;
    };

    // What the verdict judges by that does not change while a track is read.
    struct Setup {
        VideoTrackInfo info;
        AVCodecID codec = AV_CODEC_ID_NONE;
        AVRational timeBase{1, 1};
        // Where reading begins (a seek), invalid for a read from the track's start.
        MediaTime start = MediaTime::invalid();
        // Half a frame: a picture that late is still the one shown at the start.
        double startSlack = 0;
        // An HEVC decoder of the colour and the alpha layer, which names no samples.
        bool bothLayers = false;
    };

    // `track`: the packets read, which the verdict looks at (and into which it puts the samples the
    // file lists without data); both outlive the verdict.
    DamageVerdict(TrackPackets& track, Reading& reading) : track_(track), reading_(reading) {}
    void begin(const Setup& setup) { setup_ = setup; }
    // What the file lists without data, for a read from the start.
    void listEmptySamples() { listedEmpty_ = ListedEmptySamples(track_.format.get(), setup_.info.streamIndex, track_.file); }

    // Reading begins again with a new decoder: what the old one said says nothing of it.
    void newRun() {
        run_ = {};
        count_.readAgain();
    }
    // Reading begins again from the file's start: the pictures given out are passed over by number.
    void readFromStart();

    // The verdict on the packet just read (the track's `packet`, with the read result `rc`): false
    // where the pictures end before it (the file's end, or a last sample the file holds only in
    // part), true where it is a sample to send (it, or a sample the file lists without data that
    // stands before it); throws where the file's structure or an MPEG-TS PES packet is damaged
    // there, or the packet can't be read.
    bool packetRead(int rc);
    // Reading the track failed: told once the pictures of the samples sent before are out.
    void readFailed(std::exception_ptr failure) { run_.demuxFailure = std::move(failure); }
    const std::exception_ptr& readFailure() const { return run_.demuxFailure; }
    // A sample was read; nothing more is sent once sendingEnded(), the decoder is drained.
    void sampleRead() { ++run_.samplesRead; }
    void endSending() { run_.demuxEnded = true; }
    bool sendingEnded() const { return run_.demuxEnded; }

    // Whether the sample read is left unsent: in a byte stream cut mid-way, HEVC pictures before
    // the first random access point are predicted from pictures the file lacks, and the decoder
    // makes those up in grey without a word.
    bool beforeFirstKeyFrame(const AVPacket& p);
    // Whether the sample's picture is replaced before the start by that of a sample read earlier
    // (a later time, still at or before the start), so that it is never shown. Stored durations
    // can't tell: where frames come at uneven times, a still is stored with one frame's length.
    bool supersededBeforeStart(const AVPacket& p);
    // The sample `p`, stamped `ts`, goes to the decoder: what it owes is noted. False where it
    // can't be sent (the file lists it without data, or can't read it): it fails, once the
    // pictures before it are out, and nothing more is sent.
    bool sending(const AVPacket& p, int64_t ts);
    // The sample refused before, decoded again, fails unsent once what the decoder holds is out.
    void refusedBefore(int64_t ts);
    // The decoder answered a sample with `rc`: the code the reading goes on with. On one thread
    // the sample was decoded as it was sent; on frame threads, one before it may have been, which
    // decoding again on one thread tells. One decoded from a reference made up fails, but for the
    // first a decoder takes, which lacks what came before it without damage (a stream cut mid-way,
    // a recovery point).
    int sent(int rc) const;
    // The decoder took the sample stamped `ts`.
    void taken(int64_t ts);

    // The decoder refused the sample stamped `ts` with `rc` (`refused`; else it made up a reference
    // the sample lacks): the sample that failed is this one, or with frame threads the first sent
    // whose picture has not come out, and the pictures shown before it come out first; or the
    // file ends inside it, or decoding goes again.
    void sampleFailed(int64_t ts, int rc, bool refused);
    // The decoder failed with `rc` on what it holds, not on a sample sent: the failure is given to
    // the sample it belongs to, or the reading fails; or the file ends inside that sample, or
    // decoding goes again.
    void decoderFailed(int rc);
    // Told to drain, the decoder failed with `rc`: decoding goes again, or the reading fails.
    void drainFailed(int rc);
    // The decoder of both layers refuses what it cannot decode in full; said in words, so that a
    // picture without its alpha never passes as a transparent one. It failed with `rc` on the
    // sample stamped `ts` (`dropped`: the picture whose alpha it dropped), or on what it holds
    // (`receiving`), where it misses the samples that gave nothing once drained.
    [[noreturn]] void failBothLayers(int rc, int64_t ts, int64_t dropped);
    [[noreturn]] void failReceivingBothLayers(int rc, int64_t dropped);

    // The verdict on the picture decoded. False for one after the sample that failed, and for a
    // damaged one left out before the first whole picture of a stream cut mid-way or in the last
    // sample of a byte stream that ends inside it (the frame is then emptied); another damaged
    // picture fails the reading, naming it, and so does one that comes where a sample shown
    // before it gave no picture.
    bool acceptDecodedPicture(AVFrame& frame);
    // The picture just decoded (in `frame`) set to wait, where it must or others wait before it.
    bool setWaiting(AVFrame& frame);
    // The first picture waiting into `frame`, where it may go now.
    bool releaseWaiting(AVFrame& frame) { return run_.waiting.release(frame, run_.damage.awaited()); }
    bool picturesWait() const { return !run_.waiting.empty(); }
    // The decoder is drained while pictures wait: what waits for a picture that never came goes no
    // further than it, or decoding goes again; the rest goes.
    void drainWaiting();
    // A picture came out of the decoder (one that waited too).
    void decoded() { ++run_.picturesDecoded; }
    int64_t picturesDecoded() const { return run_.picturesDecoded; }
    // Whether samples went in and no picture came out: nothing of the movie was read.
    bool noneRead() const;
    // The decoder has given all it will: whether it decodes again (true), or the reading ends
    // (false), or fails naming the frame the verdict finds.
    bool drained();

    // Whether the picture shown at the start never came out of the decoder after a seek, judged
    // once a picture after it comes (`ts`) or the decoder is drained (no stamp): a decoder that
    // begins at a recovery point (H.264 intra refresh) leaves out, without a word, the pictures it
    // can't make whole, and some it flushes at the end. After a failure, the failure is judged.
    bool startPictureMissing(int64_t ts);
    // Whether a decoding failure after a seek may go once reading begins earlier: no picture came
    // at all (a decoder that began at a recovery point and never got whole again), or a leading
    // picture failed — one shown before a key frame sent ahead of it, which may be predicted from
    // pictures before the key frame reading began at — and, where reading began again already,
    // before the one that failed then or that one again. Damage anywhere else fails at once, and
    // damage in a leading picture once reading began again from at most 15 key frames further back.
    bool worthBeginningEarlier(const std::exception_ptr& failure) const {
        return decodingFailure(failure) && worthBeginningEarlier();
    }
    // Whether a failure is the decoding's (not the file's, nor the reader's).
    static bool decodingFailure(const std::exception_ptr& failure);
    // Key frames to go back, beginning earlier: twice as many as the last time where the same
    // picture fails again (`failure`), else one.
    int keyFramesBack(bool failure) const;
    // Where the picture that failed is shown before the start: damage there spoils only the
    // pictures predicted from it, and a key frame after it may be the one shown at the start.
    std::optional<MediaTime> damageBeforeStart() const;
    // Whether the sample read may go unsent where no picture is predicted from it: shown before the
    // picture shown at the start, which was read before it (up to half a frame after the start).
    // Not before the decoder's first picture, as with skipping, nor a key frame.
    bool mayGoUnsent(const AVPacket& p) const {
        return run_.picturesDecoded > 0 && !(p.flags & AV_PKT_FLAG_KEY) && p.pts != AV_NOPTS_VALUE && run_.startSample &&
               p.pts < *run_.startSample;
    }
    // Whether the sample read is one the file lists without data where the picture before it goes
    // on being shown (AVI writes an empty chunk so); it is passed over.
    bool repeatsPicture(const AVPacket& p) const;
    // The stamp of the picture whose decoding failed, where one did.
    std::optional<int64_t> failedPicture() const { return run_.failedPicture; }
    // After a seek: the stamp of the latest sample sent that is shown at the start.
    std::optional<int64_t> startSample() const { return run_.startSample; }

    // The time the picture decoded is shown at, by its stamp: in a whole read the samples' stamps
    // may say it better than the decoder's guess (SampleAccount::shownAt).
    int64_t shownAt(const AVFrame& frame);
    // Whether a whole read begun again from the file's start passes over the picture (it was given
    // out before), shown at `shown`.
    bool passOver(const AVFrame& frame, int64_t shown);
    // Whether a whole read gave out the picture before it began again; nothing where it can't tell
    // (not a whole read, or not counting).
    std::optional<bool> givenBefore(const AVFrame& frame);
    // The picture goes out.
    void given(const AVFrame& frame);

    // Whether the picture shown at `t` is past where the pictures end, the file being cut short:
    // it may have been decoded without its references, and frames before it are missing.
    bool pastCut(const MediaTime& t) const { return run_.cutAt && t >= *run_.cutAt; }
    // A picture's duration, ending at the cut at the latest.
    MediaTime lastingToCut(const MediaTime& t, const MediaTime& duration) const {
        return run_.cutAt && duration.isNumeric() && t + duration > *run_.cutAt ? *run_.cutAt - t : duration;
    }
    // The pictures end at the cut: with the failure to tell (where the file promised more, or the
    // decoding failed with `held`), or quietly (none).
    std::exception_ptr endAtCut(const std::exception_ptr& held);
    // Reading ended quietly before the first picture the file lacks.
    bool endedQuietly() const { return run_.ending.quiet; }

    // Whether pictures are counted against the samples read: in a whole read (from the start, not a
    // seek nor playback, which give out only some of what they decode).
    bool countsWhole() const { return !setup_.start.isNumeric() && !setup_.bothLayers; }

    // The reading fails with the words of a decoding failure.
    [[noreturn]] void failDecoding(const std::string& text);
    // "frame 12" for a time stamp of the track, counted from its start.
    std::string frameNamed(int64_t ts) const;

private:
    // What the decoder and the demuxer have said since reading last began: forgotten whole when
    // reading begins again, as nothing of it holds for the new decoder.
    struct Run {
        bool demuxEnded = false;
        std::exception_ptr demuxFailure;  // a sample that could not be read: the decoder is drained first
        int64_t samplesRead = 0;
        int64_t samplesSent = 0;
        int64_t picturesDecoded = 0;
        // The latest presentation stamp read so far at or before the start.
        std::optional<int64_t> latestBeforeStart;
        // The stamp of the latest key frame sent to the decoder, and of the picture the decoding failed.
        std::optional<int64_t> latestKeySent;
        std::optional<int64_t> failedPicture;
        // After a seek: the stamp of the latest sample sent that is shown at the start, and whether its
        // picture came out was judged.
        std::optional<int64_t> startSample;
        bool startJudged = false;
        // The file ends before samples its index lists, or inside one: pictures from this time on are
        // not whole, or some before them are missing. Met again at the end of the file.
        std::optional<MediaTime> cutAt;
        StreamEnding ending;
        // Reading began at a sample that is no key frame (a stream cut mid-way): what the decoder
        // can't build before its first whole picture is left out, not refused.
        std::optional<bool> beganMidway;
        bool keyFrameSent = false;
        SampleAccount damage;
        // The decoder has given all it will: the samples still awaited never gave their pictures.
        bool drained = false;
        // Pictures were left out before the first this run gave, begun at a key frame mid-file.
        bool leftOutFirst = false;
        // The stamp of the last sample the decoder took.
        std::optional<int64_t> lastSent;
        // Where the MPEG-TS sample lies that was given the incomplete flag of the one after it.
        int64_t flaggedAt = -1;
        // Where the last packet read lies, to find the empty samples listed after it.
        std::optional<EmptySample> lastRead;
        WaitingPictures waiting;
    };

    [[noreturn]] void fail(const MediaError& e) { throw e; }

    // Names the first picture shown that the damage in the sample stamped `ts` spoils: B-frames
    // decoded after it but shown before it are predicted from it. A whole read names a picture
    // shown before those that never came, where the decoder left it out without a word.
    [[noreturn]] void failDamaged(int64_t ts, const char* why = "its data is damaged");
    // The decoder's error for the sample it was given, which it could not decode: for H.264, HEVC
    // and VP9, whose pictures are predicted from one another, in words naming its frame.
    [[noreturn]] void failSample(int rc, int64_t ts);
    // The sample just read is incomplete (a transport packet lost): named by the first picture it
    // spoils in display order, where the pictures read end.
    [[noreturn]] void failIncomplete();

    // Decoding again on one thread, where the decoder runs on frame threads: from the file's start
    // where the samples carry decoding stamps or the demuxer said the structure is damaged.
    bool againOnOneThread(std::optional<int64_t> from = std::nullopt);
    // Drained again before the HEVC sample `failed` refused on one thread, where pictures of
    // others sent before it have not come out.
    bool againBefore(int64_t failed, int rc);

    // The stamp from which pictures are still to be shown: past those given out (or held to be),
    // from the start on.
    std::optional<int64_t> shownFrom() const;
    // The stamps of the samples read next, in decoding order, that are shown before `ts`: those
    // right after a picture in decoding order and shown before it may be predicted from it.
    std::vector<int64_t> samplesFollowing(int64_t ts);
    // The packet becomes a sample the file lists without data between the packet read before it
    // and this one (`rc` 0) or the file's end; the packet read is read next. Where the demuxer
    // said the structure is damaged there (`damaged`), it becomes the sample the demuxer dropped,
    // or the damage is this packet's own or that of the samples before it, from the picture
    // `lacking` on: the file lists a sample there that can't be read whole.
    bool takeListedEmpty(int rc, bool damaged, std::optional<int64_t> lacking = std::nullopt);
    // Whether the MPEG-TS PES packet just read lacks a transport packet: its continuity count
    // skips (found at the latest at the next PES packet's first transport packet).
    bool lacksTransportPacket();
    StreamEnding::Peek peek();
    // How the file ends (fileEnd()), walked once a reading.
    const FileEnd& endOfFile();
    // Whether damage the decoder finds in the sample stamped `ts` is the file of a byte stream
    // ending inside it, its last (cut at a packet's end, nothing else tells): then the pictures
    // end before it, as where the demuxer finds it short.
    bool endedInside(int64_t ts);
    // At the end of the file, where it is cut short: the first picture it lacks, before which the
    // pictures end. A failure, met once the pictures before it are out, where the file promised
    // more (its index lists samples past its end, or a Matroska segment is longer); a file that
    // promised nothing (MPEG-TS, Matroska written live) just ends there.
    void findCut();

    bool worthBeginningEarlier() const;
    // Whether a stamp is shown at the start or before: at most half a frame after it.
    bool shownByStart(int64_t ts) const;
    // Samples shown before this stamp owe no picture in this run, judged at a picture stamped `ts`:
    // those shown before the start (a later one is shown by then), those given out before reading
    // began again, and, before a file's first picture, those its decoder can't make: a stream cut
    // mid-way or begun at a recovery point lacks what they are predicted from. A run begun at a key
    // frame mid-file that leaves them out begins earlier instead.
    std::optional<int64_t> owedFrom(int64_t ts) const;
    bool isH264() const { return setup_.codec == AV_CODEC_ID_H264; }
    // Whether each sample's picture is matched to it: for the codecs whose pictures are predicted
    // from one another, whose decoders leave out, silently, pictures they cannot make.
    bool accountsPictures() const;
    // Once the decoder is drained: the first sample this run sent and owes whose picture never
    // came, before the pictures a file cut short lacks.
    std::optional<int64_t> owedAtEnd() const;
    // The first sample in display order whose picture is owed and never came, shown before
    // `before` and before the pictures a file cut short lacks: of this run's, once its decoder is
    // drained (owedAtEnd), and in a whole read of every sample the file holds, given out in any
    // run however the decoder's stamps ran (decoding stamps, repeated ones). Asked alike to name
    // a frame and once the decoder is drained, so that neither ledger's answer hides the other's.
    std::optional<int64_t> firstLacking(std::optional<int64_t> before = std::nullopt) const;
    // A damaged picture `ts` met while pictures wait: those sent after it never go; the others go,
    // and the failure after them.
    bool failAfterWaiting(int64_t ts);

    TrackPackets& track_;
    Reading& reading_;
    Setup setup_;
    Run run_;

    // Whether an MPEG-TS file ends inside a transport packet of the track.
    std::optional<TransportEnd> endsInside_;
    // How a Matroska file ends, found once: finding it walks the whole file.
    std::optional<FileEnd> fileEnding_;
    // What the file lists without data, which the demuxer never hands on: for a read from the start.
    ListedEmptySamples listedEmpty_;
    // A whole read's pictures given out, and of those the ones a read begun again from the file's
    // start passes over yet, with the time the last passed over was shown at.
    int64_t picturesGiven_ = 0;
    int64_t givenToPass_ = 0;
    MediaTime passedUpTo_;
    // A whole read's pictures against the samples read.
    PictureCount count_;
};

}  // namespace qm::reading
