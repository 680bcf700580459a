#pragma once
// The verdict on damage in a reading of a video track, in one place. The reader reads packets,
// decodes them and asks: whether a sample the file lists stands in for one the demuxer dropped,
// whether a picture the decoder gave goes out, waits or fails the reading (and which frame it
// names), what a decoder's failure or the file's end says, and where a file cut short ends. Every
// rule of that verdict is here, with what it is judged by: the samples sent against the pictures
// that came, in each decoding run (SampleAccount, WaitingPictures, StreamEnding) and in the whole
// read (PictureCount), and what the file lists (ListedEmptySamples).

#include <atomic>
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
    virtual ~DamageVerdict() = default;

    // What the reading stands at, which the reader keeps up and the verdict is judged by.
    // The track's packets, read and sought; `file`, `format`, `packet` and `timeBase` are its.
    TrackPackets track;
    std::filesystem::path& file = track.file;
    FormatPtr& format = track.format;
    PacketPtr& packet = track.packet;
    std::optional<MediaTime>& seekBegan = track.seekBegan;
    const AVRational& timeBase = track.timeBase;

    VideoReaderSettings settings;
    VideoTrackInfo info;
    FramePtr frame{ffmpeg::allocFrame("read")};

    MediaTime lastTime;
    MediaTime lastDuration;

    EarlierStart earlier;
    // Half a frame: a picture that late is still the one shown at the start.
    double startSlack = 0;

    // Whether an MPEG-TS file ends inside a transport packet of the track.
    std::optional<TransportEnd> endsInside;
    // How a Matroska file ends, found once: finding it walks the whole file.
    std::optional<FileEnd> fileEnding;
    // What the file lists without data, which the demuxer never hands on: for a read from the start.
    ListedEmptySamples listedEmpty;

    // A whole read's pictures given out, and of those the ones a read begun again from the file's
    // start passes over yet, with the time the last passed over was shown at.
    int64_t picturesGiven = 0;
    int64_t givenToPass = 0;
    MediaTime passedUpTo;

    // A whole read's pictures against the samples read.
    PictureCount count;

    // What the decoder and the demuxer have said since reading last began: forgotten whole when
    // reading begins again, as nothing of it holds for the new decoder.
    struct Run {
        bool demuxEnded = false;
        // Decoded mode: what failed the reading, reported once the pictures before it are delivered.
        std::exception_ptr heldFailure;
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
        // Pictures were left out before the first this run gave, begun at a key frame mid-file.
        bool leftOutFirst = false;
        // The stamp of the last sample the decoder took.
        std::optional<int64_t> lastSent;
        // Where the MPEG-TS sample lies that was given the incomplete flag of the one after it.
        int64_t flaggedAt = -1;
        // Where the last packet read lies, to find the empty samples listed after it.
        std::optional<EmptySample> lastRead;
        WaitingPictures waiting;
    } run;

    std::atomic<VideoSampleReader::Status> status{VideoSampleReader::Status::reading};

    // A frame's duration: the last picture's, else the track's rate's.
    MediaTime fallbackDuration() const;

    // The reading fails with the error, or the words of a decoding failure.
    [[noreturn]] void fail(const MediaError& e);
    [[noreturn]] void failDecoding(const std::string& text);

    // "frame 12" for a time stamp of the track, counted from its start.
    std::string frameNamed(int64_t ts) const;

    // Names the first picture shown that the damage in the sample stamped `ts` spoils: B-frames
    // decoded after it but shown before it are predicted from it. A whole read names a picture
    // shown before those that never came, where the decoder left it out without a word.
    [[noreturn]] void failDamaged(int64_t ts, const char* why = "its data is damaged");

    // The stamp from which pictures are still to be shown: past those given out (or held to be),
    // from the start on.
    std::optional<int64_t> shownFrom() const;

    // The stamps of the samples read next, in decoding order, that are shown before `ts`: those
    // right after a picture in decoding order and shown before it may be predicted from it.
    std::vector<int64_t> samplesFollowing(int64_t ts);

    // `packet` becomes a sample the file lists without data between the packet read before it and
    // this one (`rc` 0) or the file's end; the packet read is read next. Where the demuxer said the
    // structure is damaged there (`damaged`), it becomes the sample the demuxer dropped, or the
    // damage is this packet's own or that of the samples before it, from the picture `lacking` on:
    // the file lists a sample there that can't be read whole.
    bool takeListedEmpty(int rc, bool damaged, std::optional<int64_t> lacking = std::nullopt);

    // The sample just read is incomplete (a transport packet lost): named by the first picture it
    // spoils in display order, where the pictures read end.
    [[noreturn]] void failIncomplete();

    // Whether the MPEG-TS PES packet just read lacks a transport packet: its continuity count
    // skips (found at the latest at the next PES packet's first transport packet).
    bool lacksTransportPacket();

    // The verdict on the packet just read (`packet`, with the read result `rc`): false where the
    // pictures end before it (the file's end, or a last sample the file holds only in part), true
    // where `packet` is a sample to send (it, or a sample the file lists without data that stands
    // before it); the reading fails where the file's structure or an MPEG-TS PES packet is damaged
    // there, or the packet can't be read.
    bool packetRead(int rc);

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

    // Whether a decoding failure after a seek may go once reading begins earlier: no picture came
    // at all (a decoder that began at a recovery point and never got whole again), or a leading
    // picture failed — one shown before a key frame sent ahead of it, which may be predicted from
    // pictures before the key frame reading began at — and, where reading began again already,
    // before the one that failed then or that one again. Damage anywhere else fails at once, and
    // damage in a leading picture once reading began again from at most 15 key frames further back.
    bool worthBeginningEarlier() const;

    // Whether a stamp is shown at the start or before: at most half a frame after it.
    bool shownByStart(int64_t ts) const;

    // Whether the picture shown at the start never came out of the decoder after a seek, judged
    // once a picture after it comes (`ts`) or the decoder is drained (no stamp): a decoder that
    // begins at a recovery point (H.264 intra refresh) leaves out, without a word, the pictures it
    // can't make whole, and some it flushes at the end. After a failure, the failure is judged.
    bool startPictureMissing(int64_t ts);

    // Samples shown before this stamp owe no picture in this run, judged at a picture stamped `ts`:
    // those shown before the start (a later one is shown by then), those given out before reading
    // began again, and, before a file's first picture, those its decoder can't make: a stream cut
    // mid-way or begun at a recovery point lacks what they are predicted from. A run begun at a key
    // frame mid-file that leaves them out begins earlier instead.
    std::optional<int64_t> owedFrom(int64_t ts) const;

    // The verdict on the picture decoded. False for one after the sample that failed, and for a
    // damaged one left out before the first whole picture of a stream cut mid-way or in the last
    // sample of a byte stream that ends inside it; another damaged picture fails the reading,
    // naming it, and so does one that comes where a sample shown before it gave no picture.
    bool acceptDecodedPicture();

    bool isH264() const { return format->streams[info.streamIndex]->codecpar->codec_id == AV_CODEC_ID_H264; }

    // Whether each sample's picture is matched to it: for the codecs whose pictures are predicted
    // from one another, whose decoders leave out, silently, pictures they cannot make.
    bool accountsPictures() const;

    // Once the decoder is drained: the first sample owed whose picture never came, before the
    // pictures a file cut short lacks.
    std::optional<int64_t> owedAtEnd() const;

    // Whether pictures are counted against the samples read: in a whole read (from the start, not a
    // seek nor playback, which give out only some of what they decode).
    bool countsWhole() const { return !settings.start.isNumeric() && !bothLayers(); }

    // Once a whole read's decoder is drained: the first sample in display order that gave no
    // picture, however the decoder's stamps ran (decoding stamps, repeated ones), shown before
    // `before` and before the pictures a file cut short lacks. Every sample the file holds owes
    // exactly one.
    std::optional<int64_t> pictureLacking(std::optional<int64_t> before = std::nullopt) const;

    // The picture just decoded (in `frame`) set to wait, where it must or others wait before it.
    bool setWaiting();

    // A damaged picture `ts` met while pictures wait: those sent after it never go; the others go,
    // and the failure after them.
    bool failAfterWaiting(int64_t ts);

    // The decoder's error for the sample it was given, which it could not decode: for H.264, HEVC
    // and VP9, whose pictures are predicted from one another, in words naming its frame.
    void failSample(int rc, int64_t ts);
    // The decoder has given all it will: whether it decodes again (true), or the reading ends
    // (false), or fails naming the frame the verdict finds. `noneRead`: samples went in and no
    // picture came out.
    bool drained(bool noneRead);
    // The decoder failed with `rc` on what it holds, not on a sample sent: the failure is given to
    // the sample it belongs to, or the reading fails; or the file ends inside that sample, or
    // decoding goes again.
    void decoderFailed(int rc);
    // The decoder is drained while pictures wait: what waits for a picture that never came goes no
    // further than it, or decoding goes again; the rest goes.
    void drainWaiting();
    // The decoder refused the sample stamped `ts` with `rc` (`refused`; else it made up a reference
    // the sample lacks): the sample that failed is this one, or with frame threads the first sent
    // whose picture has not come out, and the pictures shown before it come out first; or the
    // file ends inside it, or decoding goes again.
    void sampleFailed(int64_t ts, int rc, bool refused);
    // The sample `packet`, stamped `ts`, goes to the decoder: what it owes is noted. False where it
    // can't be sent (the file lists it without data, or can't read it): it fails, once the pictures
    // before it are out.
    bool sending(int64_t ts);

    // What the reader's decoder tells: how many pictures it holds back to put them in display order,
    // whether it puts pictures in another order than it takes them, and whether it decodes an
    // alpha layer with the colour (it names no samples; its own verdict stands).
    virtual int reorderDepth() const = 0;
    virtual bool decoderReorders() const = 0;
    virtual bool bothLayers() const = 0;
    // Decoding again on one thread, where the decoder runs on frame threads (the reader's own
    // action): false where it runs on one already.
    virtual bool decodeAgainOnOneThread(std::optional<int64_t> from = std::nullopt) = 0;
    // Whether the decoder made up a reference it lacks since asked last, whether it gives a
    // sample's error back with a later sample's (frame threads).
    virtual bool referenceMadeUp() = 0;
    virtual bool onFrameThreads() const = 0;
    // The reader's other ways of decoding again: drained before the HEVC sample refused on one
    // thread, or once more from the key frame before an H.264 recovery point decoding began at.
    virtual bool drainAgainBefore(int64_t failed, int rc) = 0;
    virtual bool decodeAgainEarlier() = 0;
};

}  // namespace qm::reading
