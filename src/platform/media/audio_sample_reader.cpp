#include "platform/media/asset_reader.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <numeric>

extern "C" {
#include <libavcodec/ac3_parser.h>
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavcodec/vorbis_parser.h>
#include <libavutil/channel_layout.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "platform/media/missing_reference_watch.h"
#include "platform/media/reader_internal.h"

namespace qm {

using namespace reading;

int bytesPerSample(AudioSampleFormat format) {
    switch (format) {
    case AudioSampleFormat::float32:
    case AudioSampleFormat::float32Planar:
    case AudioSampleFormat::int24: return 4;
    case AudioSampleFormat::int16: return 2;
    }
    return 4;
}

bool isPlanar(AudioSampleFormat format) { return format == AudioSampleFormat::float32Planar; }

namespace {

// The stream indexes of the file's audio tracks, in the order MediaAsset lists them.
std::vector<int> audioStreams(AVFormatContext* format) {
    std::vector<int> streams;
    for (unsigned i = 0; i < format->nb_streams; ++i)
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) streams.push_back(static_cast<int>(i));
    return streams;
}

AudioTrackInfo audioTrackInfo(const AVFormatContext* format, int index) {
    const AVCodecParameters* par = format->streams[index]->codecpar;
    AudioTrackInfo info;
    info.streamIndex = index;
    info.codecType = codecTypeOf(par, false);
    info.sampleRate = std::max(par->sample_rate, 0);
    info.channels = std::max(par->ch_layout.nb_channels, 0);
    return info;
}

// Packets of one length stamped on a clock coarser than a sample (Matroska's whole milliseconds),
// or in Matroska on a finer one that a remux carried a millisecond's rounding into: read from the
// track's start, every frame ends at anchor + k·length stream samples, and a stamp, rounded or cut
// to its clock, still names its k.
struct PacketGrid {
    int rate = 0;           // stream samples per second
    int64_t anchor = 0;     // where the first decoded frame ends, in stream samples
    int64_t length = 0;     // samples per packet
    int64_t tolerance = 0;  // how far a frame's stamped end may lie from its place

    // The place of a frame of `count` samples whose stamp says it ends at `end`, or nothing when
    // it lies off the grid.
    std::optional<int64_t> place(int64_t end) const {
        const int64_t k = int64_t(std::llround(double(end - anchor) / double(length)));
        const int64_t exact = anchor + k * length;
        if (std::abs(exact - end) > tolerance) return std::nullopt;
        return exact;
    }
};

// What reading the track from its start shows: whether its packets carry times at all (raw MP3
// and ADTS streams store none), and for coarse stamps the grid its frames fall on. Read on the
// reader's own context, freshly opened with only the track kept; the caller seeks it afterwards.
struct TrackStart {
    bool stamped = true;
    std::optional<PacketGrid> grid;
    int64_t first = AV_NOPTS_VALUE;  // the track's first packet's time (stream time base)
};

// Where a seek was asked to land (stream time base): at `from`, or on the track's first packet
// where that lies later; `latest` is the later of the two.
struct SeekCheck {
    int64_t from = AV_NOPTS_VALUE;
    int64_t latest = AV_NOPTS_VALUE;
};

TrackStart inspectStart(AVFormatContext* format, int index) {
    TrackStart found;
    const AVStream* st = format->streams[index];
    const bool matroska = std::strncmp(format->iformat->name, "matroska", 8) == 0;
    const int rate = st->codecpar->sample_rate;
    // Samples per tick of the stream's clock.
    const double tick = rate > 0 && st->time_base.den > 0 ? double(rate) * st->time_base.num / st->time_base.den : 0;
    PacketPtr packet = ffmpeg::allocPacket("read");
    FramePtr frame = ffmpeg::allocFrame("read");
    CodecPtr decoder;
    struct Decoded {
        int64_t start, count;
    };
    std::vector<Decoded> frames;
    for (int read = 0; read < 64 && frames.size() < 3; ++read) {
        av_packet_unref(packet.get());
        if (av_read_frame(format, packet.get()) < 0) break;
        if (packet->stream_index != index) continue;
        if (!decoder) {
            found.first = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (found.first == AV_NOPTS_VALUE) {
                found.stamped = false;
                return found;
            }
            if (!(tick > 1) && !matroska) return found;
            decoder = openDecoder(st, 1, false);
        }
        if (avcodec_send_packet(decoder.get(), packet.get()) < 0) return found;
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            // Read from the start, a frame the library could not stamp follows on from the one before.
            const bool stamped = frame->best_effort_timestamp != AV_NOPTS_VALUE;
            const bool usable = (stamped || !frames.empty()) && frame->sample_rate == rate;
            if (usable)
                frames.push_back({stamped ? av_rescale_q(frame->best_effort_timestamp, st->time_base, AVRational{1, rate})
                                          : frames.back().start + frames.back().count,
                                  frame->nb_samples});
            av_frame_unref(frame.get());
            if (!usable) return found;
        }
    }
    if (frames.size() < 3 || frames[1].count != frames[2].count) return found;
    // A finer clock's stamps may still be a millisecond off: remuxed from whole milliseconds.
    const double slack = tick > 1 ? 2 * tick : 2 + rate / 1000.0;
    PacketGrid grid{rate, frames[0].start + frames[0].count, frames[1].count, int64_t(std::ceil(slack))};
    // Only where the ticks leave no doubt which packet a stamp names, and the first frames agree.
    if (grid.length <= 4 * grid.tolerance) return found;
    for (size_t i = 1; i < frames.size(); ++i)
        if (!grid.place(frames[i].start + frames[i].count)) return found;
    found.grid = grid;
    return found;
}

// Bytes a Matroska demuxer passed over (junk it resynchronised after, a cluster it could not read):
// read with every stream kept, each block starts at most a block's and a cluster's headers (a few
// dozen bytes) after the blocks before it end; packets laced into one block share its position.
// A stream's parser may hold its last packet back until the next one comes (AC-3's does), after
// blocks further on: a block's end is known only then, and a hole its packet fills was no skip.
class SkippedBytes {
public:
    static constexpr int64_t kHeaders = 256;

    void add(const AVPacket& p) {
        if (p.pos < 0 || (!blocks_.empty() && p.pos < blocks_.begin()->first)) return;  // before what is judged
        int64_t size = p.size;
        for (int i = 0; i < p.side_data_elems; ++i) size += int64_t(p.side_data[i].size);  // block additions
        blocks_.try_emplace(p.pos, p.pos).first->second += size;
        // A held packet comes within a block or two: older blocks are judged for good.
        while (blocks_.size() > 64) {
            const auto first = blocks_.begin();
            foldedEnd_ = std::max(foldedEnd_, first->second);
            if (foldedEnd_ + kHeaders < std::next(first)->first) folded_ = true;
            blocks_.erase(first);
        }
    }

    // Whether bytes were passed over among the blocks read since the last settle().
    bool skipped() const {
        if (folded_) return true;
        int64_t end = foldedEnd_;
        for (const auto& [pos, blockEnd] : blocks_) {
            if (end >= 0 && pos > end + kHeaders) return true;
            end = std::max(end, blockEnd);
        }
        return false;
    }

    // What lies before the last block is judged.
    void settle() {
        if (!blocks_.empty()) blocks_.erase(blocks_.begin(), std::prev(blocks_.end()));
        folded_ = false;
        foldedEnd_ = -1;
    }

private:
    std::map<int64_t, int64_t> blocks_;  // where each block begins → where its packets read so far end
    int64_t foldedEnd_ = -1;             // where the blocks dropped from the map end
    bool folded_ = false;                // a hole among them
};

// What shows that sound was lost since the last sound delivered; a gap in the stamps alone is
// silence the file means. Resets whole with each delivery.
struct LossEvidence {
    bool refused = false;  // a packet the decoder refused, or the demuxer found corrupt or short
};

// How much sound before the wanted time a decoder started cold needs to give true sound there.
// AAC's overlapping windows fade in over about 450 samples, and only from the first packet does
// the file's priming get cut off. An MP3 frame takes its data from up to 511 bytes of the frames
// before it, besides its own headers, and overlaps the frame before: at low bit rates that is
// several frames. `bitRate` is the stream's, 0 to allow for the lowest (a variable rate drops to
// it in quiet passages). Opus converges within 80 ms by its design, but its prediction of band
// energies settles later (about 30 dB over the first 50 ms after 80 ms, over 100 dB after
// 300 ms). A container may ask for more.
double preroll(const AVCodecParameters* par, int64_t bitRate) {
    double seconds = 0.1;
    if (par->codec_id == AV_CODEC_ID_MP3 && par->sample_rate > 0) {
        const int frame = par->frame_size > 0 ? par->frame_size : 1152;
        const double dataBytes = std::max(double(frame) / 8 * double(bitRate > 0 ? bitRate : 32000) / par->sample_rate - 36, 1.0);
        seconds = std::clamp((std::ceil(511 / dataBytes) + 1) * frame / par->sample_rate, seconds, 0.5);
    }
    if (par->codec_id == AV_CODEC_ID_OPUS) seconds = 0.3;
    if (par->seek_preroll > 0 && par->sample_rate > 0) seconds = std::max(seconds, double(par->seek_preroll) / par->sample_rate);
    return seconds;
}

// An Opus packet's samples at 48 kHz, from its table of contents: the frame length its
// configuration names (SILK, hybrid, CELT), times its frames; 0 when it says none.
int64_t opusSamples(const uint8_t* data, int size) {
    if (size < 1) return 0;
    const int config = data[0] >> 3;
    static constexpr int64_t kSilk[] = {480, 960, 1920, 2880}, kHybrid[] = {480, 960}, kCelt[] = {120, 240, 480, 960};
    const int64_t frame = config < 12 ? kSilk[config % 4] : config < 16 ? kHybrid[config % 2] : kCelt[config % 4];
    const int code = data[0] & 3;
    if (code == 3 && size < 2) return 0;
    return frame * (code == 0 ? 1 : code < 3 ? 2 : data[1] & 0x3f);
}

// A FLAC frame's samples, from its header's block size; 0 when the header names none.
int64_t flacSamples(const uint8_t* data, int size) {
    if (size < 5 || data[0] != 0xFF || (data[1] & 0xFE) != 0xF8) return 0;
    const int code = data[2] >> 4;
    if (code == 1) return 192;
    if (code >= 2 && code <= 5) return int64_t(576) << (code - 2);
    if (code >= 8) return int64_t(256) << (code - 8);
    if (code != 6 && code != 7) return 0;
    // Stored after the frame's number, whose first byte's leading ones count its bytes.
    int ones = 0;
    while (ones < 8 && (data[4] & (0x80 >> ones))) ++ones;
    if (ones == 1 || ones > 7) return 0;
    const int at = 4 + std::max(ones, 1);
    if (size < at + code - 5) return 0;
    return (code == 6 ? data[at] : data[at] << 8 | data[at + 1]) + 1;
}

// An E-AC-3 packet's samples, from the headers of the frames it holds: 256 for each audio block of
// an independent frame (an AC-3 core's six included); a dependent frame adds channels to the
// frame before it, not time. 0 when a header can't be read.
int64_t eac3Samples(const uint8_t* data, int size) {
    int64_t samples = 0;
    for (int at = 0; at < size;) {
        uint8_t bitstreamId = 0;
        uint16_t frameBytes = 0;
        if (size - at < 6 || av_ac3_parse_header(data + at, size_t(size - at), &bitstreamId, &frameBytes) < 0 || frameBytes == 0)
            return 0;
        if (bitstreamId <= 10) {
            samples += 6 * 256;
        } else if ((data[at + 2] >> 6) != 1) {
            static constexpr int kBlocks[] = {1, 2, 3, 6};
            samples += 256 * ((data[at + 4] >> 6) == 3 ? 6 : kBlocks[(data[at + 4] >> 4) & 3]);
        }
        at += frameBytes;
    }
    return samples;
}

// A DTS packet's samples, from its core frame's header (big-endian 16-bit words, as Matroska and
// MP4 hold it): 32 for each of its blocks; extension substreams add no time. 0 when it has no
// such header.
int64_t dtsSamples(const uint8_t* data, int size) {
    if (size < 6 || AV_RB32(data) != 0x7FFE8001) return 0;
    return 32 * (((data[4] & 1) << 6 | data[5] >> 2) + 1);
}

}  // namespace

// The words for sound the file holds but that can't be decoded.
const char* const kDamaged = "its sound there can't be decoded";

struct AudioSampleReader::Impl {
    std::filesystem::path path;
    FormatPtr format;
    reading::DecoderErrorWatch errorWatch;  // outlives the decoder it watches
    CodecPtr decoder;
    AudioTrackInfo info;
    AudioFormat output;
    AVRational timeBase{1, 1};
    PacketPtr packet{ffmpeg::allocPacket("read")};
    FramePtr frame{ffmpeg::allocFrame("read")};
    ffmpeg::SwrPtr swr;
    bool demuxEnded = false;
    bool stoppedInside = false;  // the demuxer ended at damage before the file's end
    int64_t packetsEnd = -1;     // the furthest byte of the packets read
    int64_t largestPacket = 0;
    bool decoderDrained = false;
    bool swrFlushed = false;
    std::atomic<bool> cancelled{false};
    bool failed = false;

    // Every reading places its sound by the stream's times and passes over packets the decoder
    // refuses, unless it is strict (below); the transcoder's (open) is, as an export's mix is.
    bool outputKnown = true;
    int swrRate = 0;
    int swrFormat = -1;
    AVChannelLayout swrLayout{};
    std::deque<AudioSampleBuffer> converted;  // converted buffers, times at the output rate
    int64_t convertedEnd = 0;                 // output sample after the last converted one
    bool started = false;
    int64_t deliveredEnd = 0;                 // output sample after the last delivered one
    int64_t pendingSilence = 0;
    int decodeErrors = 0;
    // Mixing reads: our own remix matrix, with a channel copied over another first.
    bool ownMatrix = false;
    std::optional<ChannelCopy> channelCopy;
    // After a seek the first frame must carry its time (some demuxers, such as WAV's, give none
    // to the packets after a seek); without one the track is read from its beginning instead.
    bool seekUnchecked = false;
    // Frames stamped on a coarse clock are placed where a read from the start puts them.
    std::optional<PacketGrid> grid;
    // A stream that stores no times is read from its start with the times its packets' lengths
    // give; packets that end before this (stream time base) are passed over undecoded.
    int64_t skipBefore = AV_NOPTS_VALUE;
    // A seek must land on a packet at or before this (stream time base); one that lands later has
    // lost packets the sound needs, so the track is read again from its start (see readFromStart).
    std::optional<SeekCheck> seekCheck;
    int64_t seekFrom = AV_NOPTS_VALUE;  // where a seek was asked to land (stream time base)
    // A reading from the start to a clip's pre-roll (readFromStart) places the packets it passes
    // over as reading them through would (track samples), and so the first packet it decodes: so
    // after a join or a gap, where the stamps lie a rounding away from the sound before, a clip
    // sounds as a reading from the start places it.
    struct Placed {
        int64_t start, stamp, length;  // where it follows on, its stamp, its samples
    };
    // Vorbis packets vary in length (a short or a long block, half overlapping the one before) and
    // their stamps are rounded: their lengths are read from the packets, every one from the
    // track's first, which sounds nothing, as the first packet a decoder is given.
    struct VorbisParserFree {
        void operator()(AVVorbisParseContext* c) const { av_vorbis_parse_free(&c); }
    };
    struct Replay {
        bool on = false;
        int64_t end = AV_NOPTS_VALUE;
        std::optional<Placed> first;
        std::unique_ptr<AVVorbisParseContext, VorbisParserFree> vorbis;
        bool opened = false;  // the track's first packet passed
        bool primed = false;  // a packet decoded that gave no sound
    } replay;
    // Strict reading: sound lost from `neededFrom` on (output samples) fails the read; what was
    // seen since the last sound delivered tells a gap lost from one meant. In Matroska every
    // stream is read, so that bytes skipped between any two packets show.
    bool strict = false;
    int64_t neededFrom = INT64_MIN;
    LossEvidence loss;
    std::optional<SkippedBytes> positions;
    bool sentNeeded = true;  // whether the packet last given to the decoder holds sound wanted
    // Whether a strict reading names a file that ends early as cut (damage stopping it is named
    // in any strict reading): a movie's pictures name a cut themselves, frame by frame.
    bool checksEnd = true;
    // Strict raw ADTS: frames follow each other with nothing between, each where the demuxer says
    // it lies (after passing over bytes it could not read, it may name where it began to look).
    std::ifstream adts;
    int64_t adtsEnd = -1;
    int64_t lastPacketEnd = AV_NOPTS_VALUE;  // where the track's last packet read ends (stream time base)
    // Packets laced into one Matroska block share its position and its stamp, which the demuxer
    // spreads over them by durations rounded to its clock (a short Vorbis block's 2.67 ms as 2):
    // after the block's first, a packet follows on from the one before, once the decoder has given
    // sound to follow on from and nothing in the block was refused.
    int64_t lacedBlock = -1;  // where the block of the track's last packet begins
    bool soundOut = false;    // the decoder gave a frame since it started

    ~Impl() { av_channel_layout_uninit(&swrLayout); }

    // Opens the file afresh, as openTrack does, and reads the track from its first packet,
    // decoding from `from` on (stream time base).
    void readFromStart(int64_t from) {
        format = openFormat(path, false, true);
        if (!format) throw MediaError("read audio", "the file no longer holds this sound track");
        openStream(info.streamIndex);
        watchPositions();
        demuxEnded = decoderDrained = false;
        skipBefore = from;
        seekUnchecked = false;
        replay = Replay{};
        replay.on = true;
        const AVCodecParameters* par = format->streams[info.streamIndex]->codecpar;
        if (par->codec_id == AV_CODEC_ID_VORBIS) replay.vorbis.reset(av_vorbis_parse_init(par->extradata, par->extradata_size));
    }

    // Whether a clip's first frame needs the track read from its start to be placed to the sample:
    // Matroska's millisecond stamps name no sample, Vorbis packets lie on no grid, and a gap or a
    // join before the frame may leave it on the grid of the track's start by chance.
    bool countsFromStart() const { return matroska() && info.sampleRate > 0; }

    // How far a stamp may lie from where the sound before it ends and still follow on: 2 ms; in
    // Matroska, whose millisecond stamps keep their rounding through a remux and add that of the
    // join through an append, half a packet (a packet lost is one), at most 10 ms.
    int64_t stampTolerance(int64_t rate, int64_t packetSamples) const {
        const bool matroska = std::strncmp(format->iformat->name, "matroska", 8) == 0;
        return std::max<int64_t>({1, rate / 500, matroska ? std::min(packetSamples / 2, rate / 100) : 0});
    }

    // Where a packet of `length` samples starts (track samples) when it follows sound ending at
    // `end`; one laced after another into a block follows on from it (see decodeNext). Else it
    // starts where the decoder stamps it: a packet whose first samples the decoder drops (the
    // track's first, by the codec's delay, as Opus's pre-skip) has its first kept sample stamped
    // that far on, on the stamp's clock.
    int64_t followOn(const AVPacket& p, int64_t length, int64_t end, bool laced, bool first) const {
        size_t size = 0;
        const uint8_t* skip = av_packet_get_side_data(&p, AV_PKT_DATA_SKIP_SAMPLES, &size);
        const int64_t dropped = skip && size >= 4 && AV_RL32(skip) > 0 ? AV_RL32(skip) : first ? std::max(decoder->delay, 0) : 0;
        const AVRational sample{1, info.sampleRate};
        const int64_t at = av_rescale_q(p.pts + av_rescale_q(dropped, sample, timeBase), timeBase, sample) - dropped;
        return end != AV_NOPTS_VALUE && (laced || std::abs(at - end) <= stampTolerance(info.sampleRate, length)) ? end : at;
    }

    // A packet's samples, read from the packet where its codec tells them (Matroska's stamps and
    // durations are rounded to its clock): PCM's bytes, a fixed frame's length, Opus's table of
    // contents, FLAC's, E-AC-3's and DTS's frame headers; else its duration. Less the samples it
    // says the decoder drops at its end.
    int64_t packetLength(const AVPacket& p) const {
        AVCodecParameters* par = format->streams[info.streamIndex]->codecpar;
        int64_t length = av_get_audio_frame_duration2(par, p.size);
        if (av_get_exact_bits_per_sample(par->codec_id) > 0) return length;
        if (par->codec_id == AV_CODEC_ID_OPUS) length = av_rescale(opusSamples(p.data, p.size), info.sampleRate, 48000);
        if (par->codec_id == AV_CODEC_ID_FLAC) length = flacSamples(p.data, p.size);
        if (par->codec_id == AV_CODEC_ID_EAC3) length = eac3Samples(p.data, p.size);
        if (par->codec_id == AV_CODEC_ID_DTS) length = dtsSamples(p.data, p.size);
        if (length <= 0) length = av_rescale_q(p.duration, timeBase, AVRational{1, info.sampleRate});
        size_t size = 0;
        const uint8_t* skip = av_packet_get_side_data(&p, AV_PKT_DATA_SKIP_SAMPLES, &size);
        return length - (skip && size >= 8 ? AV_RL32(skip + 4) : 0);
    }

    // A packet passed over, or the first decoded, while replaying.
    void replayPacket(const AVPacket& p, bool decoded, bool laced) {
        if (info.sampleRate < 1 || p.pts == AV_NOPTS_VALUE) return;
        int64_t length = 0;
        const bool opening = !replay.opened;
        replay.opened = true;
        if (replay.vorbis) {
            length = av_vorbis_parse_frame(replay.vorbis.get(), p.data, p.size);
            if (decoded && !replay.primed) {
                replay.primed = true;  // sounds nothing: the first frame comes from the next packet
                decoded = false;
            }
            if (opening || length < 0) {
                replay.end = AV_NOPTS_VALUE;  // the next packet starts where its stamp says
                return;
            }
        } else {
            length = packetLength(p);
        }
        const int64_t start = followOn(p, length, replay.end, laced, opening);
        if (decoded) {
            replay.first = Placed{start, av_rescale_q(p.pts, timeBase, AVRational{1, info.sampleRate}), length};
            replay.on = false;
        }
        replay.end = start + length;
    }

    // Where the first frame decoded after a replay starts (track samples): that of its packet, to
    // the sample, whose end it reaches (a decoder that drops the opening samples again leaves its
    // stamp rounded to the clock); a later packet's as far from the first as their stamps say.
    int64_t replayed(const AVFrame* f) const {
        const Placed& at = *replay.first;
        const int64_t stamp = av_rescale_q(f->best_effort_timestamp, timeBase, AVRational{1, info.sampleRate});
        if (stamp >= at.stamp && stamp < at.stamp + at.length) return at.start + at.length - f->nb_samples;
        return stamp + at.start - at.stamp;
    }

    // Reads the stream `index` alone, decoded on one thread.
    void openStream(int index) {
        discardAllBut(format.get(), index);
        const AVStream* st = format->streams[index];
        timeBase = st->time_base;
        info = audioTrackInfo(format.get(), index);
        decoder = openDecoder(st, 1, false);
        errorWatch.watch(decoder.get());
        errorWatch.take();
        soundOut = false;
        lacedBlock = -1;
    }

    bool matroska() const { return std::strncmp(format->iformat->name, "matroska", 8) == 0; }

    // Whether, at the demuxer's end, more of a Matroska file follows the last packet read than a
    // cut leaves of a packet (the file ends inside an element), or the file is not cut at all:
    // the demuxer passed over what it could not read to the file's end, so the sound stops at
    // damage. (Read strictly, every stream's packets count.)
    bool demuxerStoppedInside() const {
        if (!matroska() || !format->pb || packetsEnd < 0) return false;
        const int64_t after = avio_size(format->pb) - packetsEnd;
        return after > SkippedBytes::kHeaders && (after > 4 * largestPacket + SkippedBytes::kHeaders || !fileEnd(format.get(), path).cutShort);
    }

    bool rawAdts() const { return std::strcmp(format->iformat->name, "aac") == 0; }

    // Whether a raw ADTS demuxer passed over bytes before this packet: it lies elsewhere than where
    // the frame before it ends, or the file holds no frame of its length where it says it lies.
    bool adtsSkipped(const AVPacket& p) {
        if (!adts.is_open() || p.pos < 0) return false;
        const bool moved = adtsEnd >= 0 && p.pos != adtsEnd;
        adtsEnd = p.pos + p.size;
        unsigned char h[6] = {};
        adts.clear();
        adts.seekg(p.pos);
        if (!adts.read(reinterpret_cast<char*>(h), sizeof h)) return true;
        const int length = (h[3] & 0x03) << 11 | h[4] << 3 | h[5] >> 5;
        return moved || h[0] != 0xFF || (h[1] & 0xF0) != 0xF0 || length != p.size;
    }

    // Whether a packet holds sound from `neededFrom` on (an unstamped one: once sound was delivered).
    bool needed(const AVPacket& p) const {
        if (neededFrom == INT64_MIN) return true;
        if (p.pts == AV_NOPTS_VALUE) return started;
        return av_rescale_q(p.pts + std::max<int64_t>(p.duration, 0), timeBase, AVRational{1, output.sampleRate}) > neededFrom;
    }

    // Damage the decoder or demuxer reported in a packet: a strict reading fails where the sound
    // is wanted; any other passes over it, leaving its time a gap.
    void damaged(bool wanted) {
        loss.refused = true;
        lacedBlock = -1;
        if (strict && wanted) throw MediaError("read audio", kDamaged);
    }

    // Strict Matroska reading keeps every stream, to see where each packet lies; raw ADTS is read
    // against the file's own bytes.
    void watchPositions() {
        if (strict && rawAdts()) {
            adts = std::ifstream(path, std::ios::binary);
            adtsEnd = -1;
        }
        if (!strict || !matroska()) return;
        for (unsigned i = 0; i < format->nb_streams; ++i) format->streams[i]->discard = AVDISCARD_DEFAULT;
        positions.emplace();
    }

    void setUpResampler(const AVFrame* f) {
        AVChannelLayout in{};
        int rc = 0;
        if (f->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC && f->ch_layout.nb_channels > 0)
            rc = av_channel_layout_copy(&in, &f->ch_layout);
        else
            av_channel_layout_default(&in, f->ch_layout.nb_channels > 0 ? f->ch_layout.nb_channels : 2);
        AVChannelLayout out{};
        if (rc >= 0 && in.nb_channels == output.channels)
            rc = av_channel_layout_copy(&out, &in);  // same channels: no remix, order kept
        else
            av_channel_layout_default(&out, output.channels);
        if (rc < 0) {
            av_channel_layout_uninit(&in);
            av_channel_layout_uninit(&out);
            throw MediaError::fromCode("audio conversion", rc);
        }
        SwrContext* raw = nullptr;
        rc = swr_alloc_set_opts2(&raw, &out, ffmpeg::toAVSampleFormat(output.sampleFormat), output.sampleRate, &in,
                                     static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
        if (rc >= 0 && ownMatrix) rc = setMatrix(raw, in, out);
        // A remix into float keeps the library's unscaled matrix (its rows can add up to over 3 for
        // 7.1 into stereo), so loud sources would clip once encoded: no output channel may exceed
        // full scale.
        if (rc >= 0 && !ownMatrix && in.nb_channels != out.nb_channels)
            rc = av_opt_set_double(raw, "rematrix_maxval", 1.0, 0);
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&out);
        if (rc < 0) {
            swr_free(&raw);
            throw MediaError::fromCode("audio conversion", rc);
        }
        swr.reset(raw);
        rc = swr_init(swr.get());
        if (rc < 0) throw MediaError::fromCode("audio conversion", rc);
    }

    // out[o] = Σ m[o][i]·in[i]: identity for equal counts, mono copied to every channel, else the
    // library's remix; a channel copy then moves the target's column onto the source's.
    int setMatrix(SwrContext* s, const AVChannelLayout& in, const AVChannelLayout& out) const {
        const int ni = in.nb_channels, no = out.nb_channels;
        std::vector<double> m(size_t(ni) * size_t(no), 0.0);
        if (ni == no) {
            for (int c = 0; c < ni; ++c) m[size_t(c) * size_t(ni) + size_t(c)] = 1.0;
        } else if (ni == 1) {
            std::fill(m.begin(), m.end(), 1.0);
        } else {
            // The library scales its whole largest matrix (64 × 64 at the given stride), not only the
            // layouts' part: it is built in one of that size and the part copied out.
            constexpr int kSide = 64;
            if (ni > kSide || no > kSide) return AVERROR(EINVAL);
            std::vector<double> full(size_t(kSide) * kSide, 0.0);
            const int rc = swr_build_matrix2(&in, &out, M_SQRT1_2, M_SQRT1_2, 0.0, INT_MAX, 1.0, full.data(), kSide,
                                             AV_MATRIX_ENCODING_NONE, nullptr);
            if (rc < 0) return rc;
            for (int o = 0; o < no; ++o)
                std::copy_n(full.begin() + std::ptrdiff_t(o) * kSide, ni, m.begin() + std::ptrdiff_t(o) * ni);
        }
        if (channelCopy && channelCopy->target >= 0 && channelCopy->target < ni && channelCopy->source >= 0 &&
            channelCopy->source < ni && channelCopy->target != channelCopy->source) {
            for (int o = 0; o < no; ++o) {
                double* row = m.data() + size_t(o) * size_t(ni);
                row[channelCopy->source] += row[channelCopy->target];
                row[channelCopy->target] = 0.0;
            }
        }
        return swr_set_matrix(s, m.data(), ni);
    }

    AudioSampleBuffer convert(const AVFrame* f) {
        const int capacity = swr_get_out_samples(swr.get(), f ? f->nb_samples : 0);
        AudioSampleBuffer buffer;
        buffer.format = output;
        const int bps = bytesPerSample(output.sampleFormat);
        const bool planar = isPlanar(output.sampleFormat);
        const int planeCount = planar ? output.channels : 1;
        const size_t planeBytes = static_cast<size_t>(std::max(capacity, 0)) * bps * (planar ? 1 : output.channels);
        buffer.planes.assign(static_cast<size_t>(planeCount), std::vector<uint8_t>(planeBytes));
        std::vector<uint8_t*> out(static_cast<size_t>(planeCount));
        for (int p = 0; p < planeCount; ++p) out[static_cast<size_t>(p)] = buffer.planes[static_cast<size_t>(p)].data();
        const int got = swr_convert(swr.get(), out.data(), capacity, f ? const_cast<const uint8_t**>(f->extended_data) : nullptr,
                                    f ? f->nb_samples : 0);
        if (got < 0) throw MediaError::fromCode("audio conversion", got);
        buffer.frameCount = got;
        for (auto& plane : buffer.planes) plane.resize(static_cast<size_t>(got) * bps * (planar ? 1 : output.channels));
        return buffer;
    }

    // Decodes the next frame of the track into `frame`; false at its end. Packets the decoder
    // refuses or says are damaged are passed over (their time stays a gap), or fail a strict
    // reading where their sound is wanted.
    bool decodeNext() {
        for (;;) {
            int rc = decoderDrained ? AVERROR_EOF : avcodec_receive_frame(decoder.get(), frame.get());
            // AC-3's decoder conceals a block it can't decode and says so only in the frame: that
            // frame is refused as a packet the decoder refuses is.
            if (rc == 0 && frame->decode_error_flags != 0) {
                av_frame_unref(frame.get());
                rc = AVERROR_INVALIDDATA;
            }
            if (rc == 0) {
                if (errorWatch.take()) damaged(sentNeeded);
                decodeErrors = 0;
                soundOut = true;
                return true;
            }
            if (rc == AVERROR_EOF) {
                decoderDrained = true;
                return false;
            }
            if (rc != AVERROR(EAGAIN)) {
                errorWatch.take();
                if (rc == AVERROR_INVALIDDATA && ++decodeErrors < 1000) {
                    damaged(sentNeeded);
                    continue;
                }
                throw MediaError::fromCode("audio decode", rc);
            }
            if (demuxEnded) {
                rc = avcodec_send_packet(decoder.get(), nullptr);
                if (rc < 0 && rc != AVERROR_EOF) throw MediaError::fromCode("audio decode", rc);
                continue;
            }
            av_packet_unref(packet.get());
            rc = av_read_frame(format.get(), packet.get());
            if (rc == AVERROR_EOF && seekCheck) {
                // A seek in a Matroska file without cues that is cut short can leave the demuxer
                // at the file's end, past every packet of the track.
                const int64_t from = seekCheck->from;
                seekCheck.reset();
                readFromStart(from);
                continue;
            }
            if (rc == AVERROR_EOF) {
                demuxEnded = true;
                stoppedInside = demuxerStoppedInside();
                continue;
            }
            if (rc < 0) throw MediaError::fromCode("read audio", rc);
            if (packet->pos >= 0) packetsEnd = std::max(packetsEnd, packet->pos + int64_t(packet->size));
            largestPacket = std::max(largestPacket, int64_t(packet->size));
            if (positions) positions->add(*packet);
            if (packet->stream_index != info.streamIndex) continue;
            // Frames whose times are counted leave no gap where some were lost.
            if (adtsSkipped(*packet) && needed(*packet)) throw MediaError("read audio", kDamaged);
            if (packet->pts != AV_NOPTS_VALUE) lastPacketEnd = packet->pts + std::max<int64_t>(packet->duration, 0);
            const bool laced = packet->pos >= 0 && packet->pos == lacedBlock && matroska();
            lacedBlock = packet->pos;
            if (seekCheck) {
                const SeekCheck check = *seekCheck;
                seekCheck.reset();
                const int64_t at = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
                if (at != AV_NOPTS_VALUE && at > check.latest) {
                    readFromStart(check.from);
                    continue;
                }
            }
            if (skipBefore != AV_NOPTS_VALUE) {
                if (packet->pts != AV_NOPTS_VALUE && packet->duration > 0 && packet->pts + packet->duration <= skipBefore) {
                    if (replay.on) replayPacket(*packet, false, laced);
                    continue;
                }
                skipBefore = AV_NOPTS_VALUE;  // from here on every packet is decoded
            }
            if (replay.on) replayPacket(*packet, true, laced);
            sentNeeded = needed(*packet);
            if (packet->flags & AV_PKT_FLAG_CORRUPT) {
                damaged(sentNeeded);
                continue;
            }
            if (laced && soundOut) packet->pts = packet->dts = AV_NOPTS_VALUE;  // its frame follows on
            rc = avcodec_send_packet(decoder.get(), packet.get());
            // A decoder that said the packet is damaged may still give its frame, made of the damage.
            const bool said = errorWatch.take();
            if (rc < 0 && rc != AVERROR(EAGAIN)) {
                if (rc == AVERROR_INVALIDDATA && ++decodeErrors < 1000) {
                    damaged(sentNeeded);
                    continue;
                }
                throw MediaError::fromCode("audio decode", rc);
            }
            if (said) damaged(sentNeeded);
        }
    }

    // --- Track reading ----------------------------------------------------------------------

    // Converts one frame (or flushes with none) into the queue; its output starts at `start`.
    void queueConverted(const AVFrame* f, int64_t start) {
        AudioSampleBuffer b = convert(f);
        if (b.frameCount <= 0) return;
        b.time = MediaTime::make(start, output.sampleRate);
        convertedEnd = start + b.frameCount;
        converted.push_back(std::move(b));
    }

    // The frame's place on the packet grid in its own samples, where it lies on one.
    std::optional<int64_t> gridStart(const AVFrame* f) const {
        if (!grid || f->sample_rate != grid->rate) return std::nullopt;
        const int64_t end = av_rescale_q(f->best_effort_timestamp, timeBase, AVRational{1, grid->rate}) + f->nb_samples;
        const std::optional<int64_t> exact = grid->place(end);
        if (!exact) return std::nullopt;
        return *exact - f->nb_samples;
    }

    // The frame's time in output samples: its place in a reading from the start, on the packet
    // grid, or its stamp.
    int64_t frameStart(const AVFrame* f) const {
        if (replay.first) return av_rescale(replayed(f), output.sampleRate, info.sampleRate);
        if (const std::optional<int64_t> at = gridStart(f)) return av_rescale(*at, output.sampleRate, grid->rate);
        return av_rescale_q(f->best_effort_timestamp, timeBase, AVRational{1, output.sampleRate});
    }

    // The reading's first frame is placed; the frames after it follow on, or after a gap keep
    // their stamps, as a reading from the start keeps them (the grid knows no gap).
    void firstPlaced() {
        replay.first.reset();
        grid.reset();
    }

    // Queues the first frame of a reading's converter that changes the rate. Its output
    // sample k stands for its first input sample's time plus k output samples: begun on the
    // nearest source sample at or before the frame that falls on an output sample, with silence
    // up to the frame, its samples lie on the output grid and are the same whichever source
    // position a reading started at, so that clips cut from one source continue each other.
    // The grid is anchored at the track's first kept sample (its start time, past an encoder's
    // delay), as a decode of the file from its start places it; that sample's output time is
    // its own, rounded to the nearest output sample.
    void queueFirstResampled(const AVFrame* f) {
        const int64_t in = f->sample_rate, out = output.sampleRate;
        const int64_t at = replay.first ? av_rescale(replayed(f), in, info.sampleRate)
                                        : gridStart(f).value_or(av_rescale_q(f->best_effort_timestamp, timeBase, AVRational{1, f->sample_rate}));
        const int64_t first = format->streams[info.streamIndex]->start_time;
        const int64_t anchor = first != AV_NOPTS_VALUE ? av_rescale_q(first, timeBase, AVRational{1, f->sample_rate}) : 0;
        const int64_t anchorOut = first != AV_NOPTS_VALUE ? av_rescale_q(first, timeBase, AVRational{1, output.sampleRate}) : 0;
        const int64_t shared = std::gcd(in, out);  // samples a second on both grids
        const int64_t step = in / shared;
        const int64_t lead = (((at - anchor) % step) + step) % step;
        int64_t start = anchorOut + (at - lead - anchor) / step * (out / shared);
        if (lead > 0) {
            FramePtr silence = ffmpeg::allocFrame("audio conversion");
            silence->format = f->format;
            silence->sample_rate = f->sample_rate;
            silence->nb_samples = int(lead);
            int rc = av_channel_layout_copy(&silence->ch_layout, &f->ch_layout);
            if (rc >= 0) rc = av_frame_get_buffer(silence.get(), 0);
            if (rc >= 0)
                rc = av_samples_set_silence(silence->extended_data, 0, silence->nb_samples, silence->ch_layout.nb_channels,
                                            static_cast<AVSampleFormat>(silence->format));
            if (rc < 0) throw MediaError::fromCode("audio conversion", rc);
            const size_t queued = converted.size();
            queueConverted(silence.get(), start);
            if (converted.size() > queued) start = convertedEnd;  // else the converter holds it all yet
        }
        queueConverted(f, start);
    }

    // Whether a stamped frame follows on from the sound converted so far, within the rounding
    // its stamps allow (as delivering it will judge).
    bool followsOn(const AVFrame* f) const {
        const int64_t start = frameStart(f) - swr_get_delay(swr.get(), output.sampleRate);
        return std::abs(start - convertedEnd) <= stampTolerance(output.sampleRate, av_rescale(f->nb_samples, output.sampleRate, f->sample_rate));
    }

    bool shapeChanged(const AVFrame* f) const {
        return f->sample_rate != swrRate || f->format != swrFormat || av_channel_layout_compare(&f->ch_layout, &swrLayout) != 0;
    }

    // Decodes until at least one converted buffer is queued; false at the end of the track.
    bool fillConverted() {
        while (converted.empty()) {
            if (!decodeNext()) {
                if (!swr || swrFlushed) return false;
                swrFlushed = true;
                queueConverted(nullptr, convertedEnd);
                continue;
            }
            if (seekUnchecked) {
                seekUnchecked = false;
                if (frame->best_effort_timestamp == AV_NOPTS_VALUE) {
                    av_frame_unref(frame.get());
                    avformat_seek_file(format.get(), info.streamIndex, INT64_MIN, INT64_MIN, INT64_MIN, 0);
                    if (positions) positions.emplace();
                    adtsEnd = -1;
                    avcodec_flush_buffers(decoder.get());
                    soundOut = false;
                    lacedBlock = -1;
                    continue;
                }
                // Off the grid its track's start sets, a join or a gap lies before the frame. Only
                // so far into the file that reading it again costs little: further on, the frame
                // keeps its place on the grid, or its stamp, within a rounding (2 ms) of where a
                // reading through puts it.
                constexpr int64_t kReplayBytes = int64_t(64) << 20;
                if ((countsFromStart() || (grid && !gridStart(frame.get()))) && seekFrom != AV_NOPTS_VALUE &&
                    avio_tell(format->pb) <= kReplayBytes) {
                    av_frame_unref(frame.get());
                    readFromStart(seekFrom);
                    continue;
                }
            }
            if (!outputKnown) {
                output = {frame->sample_rate, frame->ch_layout.nb_channels, AudioSampleFormat::float32};
                if (output.sampleRate < 1 || output.sampleRate > 1'000'000 || output.channels < 1 || output.channels > 64)
                    throw MediaError("audio conversion", "unsupported sound format");
                outputKnown = true;
            }
            const bool resampled = frame->sample_rate > 0 && frame->sample_rate != output.sampleRate &&
                                   frame->best_effort_timestamp != AV_NOPTS_VALUE;
            if (!swr || shapeChanged(frame.get()) || (resampled && !followsOn(frame.get()))) {
                // What the old converter still holds belongs before this frame. A frame that
                // follows on goes on from it; the reading's first, and one after a gap or a join
                // in the stamps, starts on the grid both rates share, as a clip starting there does.
                const bool first = !swr || !shapeChanged(frame.get());
                if (swr) queueConverted(nullptr, convertedEnd);
                setUpResampler(frame.get());
                swrRate = frame->sample_rate;
                swrFormat = frame->format;
                av_channel_layout_uninit(&swrLayout);
                av_channel_layout_copy(&swrLayout, &frame->ch_layout);
                if (first && resampled) {
                    queueFirstResampled(frame.get());
                    av_frame_unref(frame.get());
                    firstPlaced();
                    continue;
                }
            }
            // The converter's output for this frame begins with the samples it still holds.
            int64_t start = convertedEnd;
            if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
                start = frameStart(frame.get()) - swr_get_delay(swr.get(), output.sampleRate);
            queueConverted(frame.get(), start);
            av_frame_unref(frame.get());
            firstPlaced();
        }
        return true;
    }

    // Bytes of `frames` output samples in one plane.
    size_t planeBytes(int64_t frames) const {
        return size_t(frames) * size_t(bytesPerSample(output.sampleFormat)) * size_t(isPlanar(output.sampleFormat) ? 1 : output.channels);
    }

    // What was seen before sound delivered is judged with it.
    void delivered() {
        loss = {};
        if (positions) positions->settle();
    }

    std::optional<AudioSampleBuffer> nextNative() {
        const int64_t rate = output.sampleRate;
        for (;;) {
            if (pendingSilence > 0) {
                AudioSampleBuffer b;
                b.format = output;
                b.time = MediaTime::make(deliveredEnd, output.sampleRate);
                b.frameCount = static_cast<int>(std::min<int64_t>(pendingSilence, 16384));
                b.planes.assign(size_t(isPlanar(output.sampleFormat) ? output.channels : 1),
                                std::vector<uint8_t>(planeBytes(b.frameCount)));  // zero: silence in every format
                pendingSilence -= b.frameCount;
                deliveredEnd += b.frameCount;
                return b;
            }
            if (converted.empty() && !fillConverted()) {
                if (strict) checkWholeEnd();
                return std::nullopt;
            }
            AudioSampleBuffer b = std::move(converted.front());
            converted.pop_front();
            const int64_t at = b.time.value;
            if (!started) {
                started = true;
                deliveredEnd = at;
            }
            const int64_t gap = at - deliveredEnd;
            const int64_t tolerance = stampTolerance(rate, b.frameCount);
            if (gap > tolerance) {
                if (gap > rate * 3600)
                    throw MediaError("read audio", "the sound's timestamps jump ahead by " + std::to_string(gap / rate) + " s");
                if (strict && at > neededFrom && (loss.refused || (positions && positions->skipped())))
                    throw MediaError("read audio", kDamaged);
                pendingSilence = gap;
                converted.push_front(std::move(b));
                continue;
            }
            if (gap < -tolerance) {
                const int64_t drop = std::min<int64_t>(-gap, b.frameCount);
                for (auto& plane : b.planes)
                    plane.erase(plane.begin(), plane.begin() + static_cast<std::ptrdiff_t>(planeBytes(drop)));
                b.frameCount -= static_cast<int>(drop);
                b.time = MediaTime::make(at + drop, output.sampleRate);
                if (b.frameCount == 0) continue;
                deliveredEnd = at + drop + b.frameCount;
                delivered();
                return b;
            }
            b.time = MediaTime::make(deliveredEnd, output.sampleRate);  // follows on, as delivered
            deliveredEnd += b.frameCount;
            delivered();
            return b;
        }
    }

    // At the end of the track, when more sound was asked for: the file must not end inside its
    // last packet, nor before the length the track states (an estimate from the bit rate states
    // none; a Matroska track only in its tags: the segment's length is the longest track's).
    void checkWholeEnd() {
        const AVStream* st = format->streams[info.streamIndex];
        const int64_t first =
            av_rescale_q(st->start_time != AV_NOPTS_VALUE ? st->start_time : 0, st->time_base, AVRational{1, output.sampleRate});
        const int64_t reached = started ? deliveredEnd : std::max(neededFrom, first);
        bool cut = loss.refused || fileEnd(format.get(), path).cutShort;
        const MediaTime length = matroska() ? ffmpeg::taggedDuration(*st, ffmpeg::mediaTimeFrom(lastPacketEnd, st->time_base))
                                             : ffmpeg::streamDuration(*st);
        if (!cut && length.isNumeric() && format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE) {
            const int64_t stated = first + length.convertScale(output.sampleRate).value;
            // A stated length may count the codec's priming and padding: up to two frames.
            const int64_t slack = av_rescale(2 * std::max(st->codecpar->frame_size, 1152),
                                             output.sampleRate, std::max(info.sampleRate, 1)) + output.sampleRate / 500;
            cut = reached < stated - slack;
        }
        if (cut && stoppedInside) throw MediaError("read audio", kDamaged);
        if (cut && checksEnd) throw MediaError("read audio", "the file ends before this sound");
    }

    std::optional<AudioSampleBuffer> next() {
        if (cancelled) return std::nullopt;
        if (failed) throw MediaError("read audio", "the reader has failed");
        try {
            return nextNative();
        } catch (...) {
            failed = true;
            throw;
        }
    }
};

AudioSampleReader::AudioSampleReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
AudioSampleReader::~AudioSampleReader() = default;

std::optional<AudioTrackInfo> AudioSampleReader::probe(const std::filesystem::path& file) {
    FormatPtr format = openFormat(file, false);
    const int index = format ? firstStream(format.get(), AVMEDIA_TYPE_AUDIO) : -1;
    if (index < 0) return std::nullopt;
    return audioTrackInfo(format.get(), index);
}

std::vector<AudioTrackInfo> AudioSampleReader::probeTracks(const std::filesystem::path& file) {
    FormatPtr format = openFormat(file, false);
    std::vector<AudioTrackInfo> tracks;
    if (!format) return tracks;
    for (int index : audioStreams(format.get())) tracks.push_back(audioTrackInfo(format.get(), index));
    return tracks;
}

std::unique_ptr<AudioSampleReader> AudioSampleReader::openTrack(const std::filesystem::path& file, int audioTrack) {
    auto impl = std::make_unique<Impl>();
    // Frames without a stored time follow on from the one before: the library's guesses go
    // wrong once the rate changes within a packet of several frames (MPEG-TS).
    impl->path = file;
    impl->format = openFormat(file, false, true);
    if (!impl->format || audioTrack < 0) return nullptr;
    const std::vector<int> streams = audioStreams(impl->format.get());
    if (size_t(audioTrack) >= streams.size()) return nullptr;
    impl->openStream(streams[size_t(audioTrack)]);
    impl->outputKnown = false;
    impl->output = {std::max(impl->info.sampleRate, 1), std::max(impl->info.channels, 1), AudioSampleFormat::float32};
    return std::unique_ptr<AudioSampleReader>(new AudioSampleReader(std::move(impl)));
}

std::unique_ptr<AudioSampleReader> AudioSampleReader::openTrack(const std::filesystem::path& file, int audioTrack,
                                                                const AudioFormat& output, std::optional<ChannelCopy> copy,
                                                                MediaTime start) {
    if (output.sampleRate < 1 || output.channels < 1 || output.channels > 64 || output.sampleFormat != AudioSampleFormat::float32)
        throw MediaError("audio conversion", "unsupported output format");
    auto reader = openTrack(file, audioTrack);
    if (!reader) return nullptr;
    Impl& impl = *reader->impl_;
    impl.outputKnown = true;
    impl.output = output;
    impl.ownMatrix = true;
    impl.channelCopy = copy;
    if (!start.isNumeric()) return reader;
    impl.neededFrom = start.convertScale(output.sampleRate).value;
    const TrackStart atStart = inspectStart(impl.format.get(), impl.info.streamIndex);
    const AVCodecParameters* par = impl.format->streams[impl.info.streamIndex]->codecpar;
    // PCM samples stand alone at known byte positions: such a stream keeps the read below.
    if (!atStart.stamped && av_get_exact_bits_per_sample(par->codec_id) == 0) {
        // The library's seek in a stream without times guesses where it lands (by bit rate or a
        // coarse table) and names the guess as the time: the packets are counted from the start
        // instead, which costs parsing, not decoding.
        const MediaTime from = start - MediaTime::fromSeconds(preroll(par, 0), 48000);
        impl.format = openFormat(file, false);
        if (!impl.format) return nullptr;
        impl.openStream(impl.info.streamIndex);
        impl.skipBefore = ffmpeg::timestampFrom(from, impl.timeBase);
        return reader;
    }
    impl.grid = atStart.grid;
    // The pre-roll allows for the lowest rate: the stated one is its first frame's, or a variable
    // rate's mean, and quiet passages fall below it.
    const MediaTime from = start - MediaTime::fromSeconds(preroll(par, 0), 48000);
    // Without an index (GStreamer's WebM has no cues) the Matroska demuxer's seek lands a packet
    // late, even when asked for the start: the track's first packet, which carries the codec's
    // priming, would be lost and the sound would rise from silence. Checked on the first packet.
    const int64_t fromStamp = ffmpeg::timestampFrom(from, impl.timeBase);
    if (fromStamp != AV_NOPTS_VALUE && atStart.first != AV_NOPTS_VALUE)
        impl.seekCheck = SeekCheck{fromStamp, std::max(fromStamp, atStart.first)};
    impl.seekFrom = fromStamp;
    seekNear(impl.format.get(), impl.info.streamIndex, from);
    impl.seekUnchecked = true;
    return reader;
}

std::unique_ptr<AudioSampleReader> AudioSampleReader::open(const std::filesystem::path& file, const AudioFormat& output,
                                                           MediaTime start) {
    if (output.sampleRate < 1 || output.channels < 1 || output.channels > 64)
        throw MediaError("audio conversion", "unsupported output format");
    // The first track, its sound placed as the mix places it; only the conversion differs.
    auto reader = openTrack(file, 0, {output.sampleRate, output.channels, AudioSampleFormat::float32}, std::nullopt, start);
    if (!reader) return nullptr;
    Impl& impl = *reader->impl_;
    impl.output = output;
    impl.ownMatrix = false;
    impl.strict = true;
    impl.checksEnd = false;
    impl.watchPositions();
    return reader;
}

namespace {

// Only the last stretch is read: enough for a codec's pre-roll and an estimated end's error.
MediaTime lastStretch(MediaTime end) {
    return end.isNumeric() ? std::max(end - MediaTime::make(2, 1), MediaTime::zero()) : MediaTime::zero();
}

}  // namespace

std::optional<MediaTime> AudioSampleReader::breaksOff(const std::filesystem::path& file, int audioTrack, MediaTime end,
                                                      std::string* why) {
    auto reader = openTrack(file, audioTrack, {48000, 2, AudioSampleFormat::float32}, std::nullopt, lastStretch(end));
    if (!reader) return std::nullopt;
    reader->setStrict(true);
    try {
        while (reader->next()) {
        }
    } catch (const MediaError& e) {
        const Impl& impl = *reader->impl_;
        if (why) *why = e.code() == 0 && e.step() == "read audio" ? e.detail() : "the file ends before this sound";
        return MediaTime::make(impl.started ? impl.deliveredEnd : impl.neededFrom, impl.output.sampleRate);
    }
    return std::nullopt;
}

bool AudioSampleReader::stopsAtDamage(const std::filesystem::path& file, int audioTrack, MediaTime end) {
    auto reader = openTrack(file, audioTrack, {48000, 2, AudioSampleFormat::float32}, std::nullopt, lastStretch(end));
    if (!reader) return false;
    reader->setStrict(true);
    try {
        while (reader->next()) {
        }
    } catch (const MediaError&) {
    }
    return reader->impl_->demuxEnded && reader->impl_->stoppedInside;
}

void AudioSampleReader::setStrict(bool on) {
    impl_->strict = on;
    impl_->watchPositions();
}
MediaTime AudioSampleReader::position() const {
    const Impl& impl = *impl_;
    const int rate = impl.output.sampleRate;
    if (impl.started) return MediaTime::make(impl.deliveredEnd, rate);
    if (impl.neededFrom != INT64_MIN) return MediaTime::make(impl.neededFrom, rate);
    const AVStream* st = impl.format->streams[impl.info.streamIndex];
    return st->start_time != AV_NOPTS_VALUE ? ffmpeg::mediaTimeFrom(st->start_time, st->time_base) : MediaTime::zero();
}

const AudioTrackInfo& AudioSampleReader::track() const { return impl_->info; }
const AudioFormat& AudioSampleReader::outputFormat() const { return impl_->output; }
std::optional<AudioSampleBuffer> AudioSampleReader::next() { return impl_->next(); }
void AudioSampleReader::cancel() { impl_->cancelled = true; }


}  // namespace qm
