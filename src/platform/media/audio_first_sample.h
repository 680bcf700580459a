#pragma once
// Where a clip's first sound sample lies in a track read after a seek: on the grid its packets of
// one length fall on from the track's start, or where a reading of the track from its start,
// counting the samples of the packets it passes over, puts it. Stamps rounded to a coarse clock
// (Matroska's whole milliseconds) name no sample by themselves.

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/media/audio_placing_index.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/vorbis_parser.h>
#include <libavformat/avformat.h>
}

namespace qm::reading {

// Packets of one length stamped on a clock coarser than a sample (Matroska's whole milliseconds),
// or in Matroska on a finer one that a remux carried a millisecond's rounding into: read from the
// track's start, every frame ends at anchor + k·length stream samples, and a stamp, rounded or cut
// to its clock, still names its k.
struct PacketGrid {
    int rate = 0;           // stream samples per second
    int64_t anchor = 0;     // where the first decoded frame ends, in stream samples
    int64_t length = 0;     // samples per packet
    int64_t tolerance = 0;  // how far a frame's stamped end may lie from its place

    // The place of a frame whose stamp says it ends at `end`, or nothing when it lies off the grid.
    std::optional<int64_t> place(int64_t end) const;
};

// What reading the track from its start shows: whether its packets carry times at all (raw MP3
// and ADTS streams store none), and for coarse stamps the grid its frames fall on.
struct TrackStart {
    bool stamped = true;
    std::optional<PacketGrid> grid;
    int64_t first = AV_NOPTS_VALUE;  // the track's first packet's time (stream time base)
};

// Read on the reader's own context, freshly opened with only the track kept; the caller seeks it
// afterwards.
TrackStart inspectStart(AVFormatContext* format, int index);

// Where a seek was asked to land (stream time base): at `from`, or on the track's first packet
// where that lies later; `latest` is the later of the two.
struct SeekCheck {
    int64_t from = AV_NOPTS_VALUE;
    int64_t latest = AV_NOPTS_VALUE;
};

// How far a stamp may lie from where the sound before it ends and still follow on: 2 ms; in
// Matroska, whose millisecond stamps keep their rounding through a remux and add that of the
// join through an append, half a packet (a packet lost is one), at most 10 ms.
int64_t stampTolerance(int64_t rate, int64_t packetSamples, bool matroska);

// A reading from the start places the packets it passes over as reading them through would (track
// samples), and so the packets it decodes until the first frame comes: so after a join or a gap,
// where the stamps lie a rounding away from the sound before, a clip sounds as a reading from the
// start places it. A reading after a seek takes those places from the file's placing index.
class StartCount {
public:
    // Counting from the track's first packet, of the stream `st` read in a `format` of that kind;
    // or, with an `index`, from any packet it lists.
    StartCount(const AVFormatContext* format, const AVStream* st, std::shared_ptr<PlacingIndex> index = nullptr);
    StartCount() = default;

    // Whether packets are still counted: until the first frame is placed, the packets decoded too.
    bool counting() const { return on_; }
    // Whether a decoded packet is placed and the frame it gives not yet.
    bool placing() const { return first_.has_value(); }
    // A packet read: passed over undecoded, or sent to a decoder that drops `decoderDelay` samples
    // at its start; `laced` when it follows another in one Matroska block. Where it starts and
    // how long it lasts, unless nothing places it (a Vorbis track's first packet).
    std::optional<PlacingIndex::Span> count(const AVPacket& p, bool decoded, bool laced, int decoderDelay);
    // Where the first frame decoded starts (track samples): that of its packet, to the sample,
    // whose end it reaches (a decoder that drops the opening samples again leaves its stamp
    // rounded to the clock; with packets shorter than the samples it drops, as Opus's of 2.5 ms,
    // that is a packet after the first decoded); else as far from the first as their stamps say.
    int64_t frameStart(const AVFrame* f) const;
    // The first frame is placed: the frames after it follow on.
    void placed();

private:
    struct Placed {
        int64_t start, stamp, length;  // where it follows on, its stamp, its samples
    };
    struct VorbisParserFree {
        void operator()(AVVorbisParseContext* c) const { av_vorbis_parse_free(&c); }
    };
    int64_t followOn(const AVPacket& p, int64_t length, bool laced, bool first, int decoderDelay) const;

    AVCodecParameters* par_ = nullptr;
    AVRational timeBase_{1, 1};
    int rate_ = 0;
    bool matroska_ = false;
    bool on_ = false;
    int64_t end_ = AV_NOPTS_VALUE;   // where the packets counted so far end
    std::optional<Placed> first_;    // the first packet decoded
    std::optional<Placed> last_;     // the packet decoded last
    // Vorbis packets vary in length (a short or a long block, half overlapping the one before) and
    // their stamps are rounded: their lengths are read from the packets, every one from the
    // track's first, which sounds nothing, as the first packet a decoder is given.
    std::unique_ptr<AVVorbisParseContext, VorbisParserFree> vorbis_;
    std::shared_ptr<PlacingIndex> index_;
    bool opened_ = false;  // the track's first packet passed
    bool primed_ = false;  // a packet decoded that gave no sound
};

}  // namespace qm::reading
