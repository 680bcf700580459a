#pragma once
// The packets of the one video track a reader reads: from the file in order, or from those read
// ahead; and the search for the key frame a read begins at, where the demuxer's seek lands on
// another packet.

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <utility>

#include "platform/media/media_time.h"
#include "platform/media/missing_reference_watch.h"
#include "platform/media/reader_internal.h"
#include "platform/media/recovery_point.h"

namespace qm::reading {

// A packet flag of the reader's own, taken off before a packet goes to a decoder: the demuxer said
// the file's structure is damaged before it.
constexpr int kAfterDamagedStructure = 1 << 24;

class TrackPackets {
public:
    // Opens the file through the shared opener, watching what its demuxer says while it probes.
    void open(const std::filesystem::path& file);
    // The track read, once it is known: its index, time base and the time it begins at.
    void select(int stream, AVRational base, const MediaTime& trackStart);

    // The track's next packet into `packet`: 0, AVERROR_EOF or the library's error.
    int read();
    // The same, from the file, past those read ahead.
    int readFromFile();
    // The read result of the packet `depth` places after `packet`, reading ahead.
    int peekAhead(size_t depth);

    // A byte stream (MPEG-TS) states no length of its samples, and the last one runs to the end
    // of the file however much of it the file holds.
    bool byteStream() const { return (format->iformat->flags & (AVFMT_TS_DISCONT | AVFMT_NOTIMESTAMPS)) != 0; }

    // To the latest key frame at most `slack` seconds after `limit` whose pictures are whole by
    // then (below), going back by `step` at first; `frame` is a frame's duration.
    void seekWholeBy(const MediaTime& limit, double slack, const MediaTime& step, const MediaTime& frame);
    void seekKeyFrame(const MediaTime& limit, double slack, const MediaTime& step);
    // To the key frame before the one reading was to begin at, or to the file's start where there is none.
    void seekKeyFrameBefore(const MediaTime& frame);
    // Seeks near `at`: whether the first packet then (in MPEG-TS, one on from it) is a key frame
    // at most `slack` seconds after `limit`, where reading begins.
    bool seekedTo(const MediaTime& at, const MediaTime& limit, double slack);
    // Reading from the file's start, as a plain read does.
    void reopenAtStart();

    // The H.264 recovery point a seek landed on (the packet peeked at).
    std::optional<RecoveryPoint> landedAtRecoveryPoint() const {
        return seekBegan && peeked && *peeked >= 0 ? recoveryPointOf(*packet) : std::nullopt;
    }
    // The H.264 recovery point a sample marks.
    std::optional<RecoveryPoint> recoveryPointOf(const AVPacket& p) const;
    // Whether the sample's picture may be shown before the one decoded before it (H.264 and HEVC).
    bool mayLeadPredecessor(const AVPacket& p) const;
    // Whether no picture is predicted from the sample's (H.264).
    bool unreferenced(const AVPacket& p) const;

    std::filesystem::path file;
    FormatPtr format;
    PacketPtr packet{ffmpeg::allocPacket("read")};
    // The packets after `packet` with their read results, read ahead where the track's last one
    // may be in part; forgotten when reading begins again.
    std::deque<std::pair<PacketPtr, int>> readAhead;
    // What the seek's look at the first packet read (it is in `packet`), taken before reading on.
    std::optional<int> peeked;
    // MPEG-TS: where the packets looked at by the seek under way begin; those from there on hold
    // no key frame it may begin at.
    std::optional<int64_t> lookedFrom;
    // The time of the key frame a seek began reading at; unset where reading began at the file's start.
    std::optional<MediaTime> seekBegan;
    // What the demuxer says of the file's structure.
    DemuxerErrorWatch demuxerErrors;
    // The demuxer said the structure is damaged before a packet read since the file was opened.
    bool structureDamaged = false;
    // Packets of the track the demuxer handed on, a seek's look for its key frame included.
    std::atomic<int64_t> packetsRead{0};
    // The track's time base, once it is selected.
    AVRational timeBase{1, 1};

private:
    // A sample table's key frames are a hint: the stream's own pictures a decoder may begin at
    // (an H.264 IDR, an HEVC IRAP picture) are key frames, where the table leaves one out.
    void markRandomAccess();
    bool foundKeyFrameAfterLanding(const MediaTime& limit, double slack);

    int stream_ = -1;
    MediaTime trackStart_;
};

}  // namespace qm::reading
