#include "platform/media/audio_first_sample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/intreadwrite.h>
}

#include "platform/media/audio_packet_facts.h"
#include "platform/media/reader_internal.h"

namespace qm::reading {

std::optional<int64_t> PacketGrid::place(int64_t end) const {
    const int64_t k = int64_t(std::llround(double(end - anchor) / double(length)));
    const int64_t exact = anchor + k * length;
    if (std::abs(exact - end) > tolerance) return std::nullopt;
    return exact;
}

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

int64_t stampTolerance(int64_t rate, int64_t packetSamples, bool matroska) {
    return std::max<int64_t>({1, rate / 500, matroska ? std::min(packetSamples / 2, rate / 100) : 0});
}

StartCount::StartCount(const AVFormatContext* format, const AVStream* st, std::shared_ptr<PlacingIndex> index)
    : par_(st->codecpar),
      timeBase_(st->time_base),
      rate_(st->codecpar->sample_rate),
      matroska_(std::strncmp(format->iformat->name, "matroska", 8) == 0),
      on_(true),
      index_(std::move(index)) {
    if (par_->codec_id == AV_CODEC_ID_VORBIS) vorbis_.reset(av_vorbis_parse_init(par_->extradata, par_->extradata_size));
}

// Where a packet of `length` samples starts (track samples) when it follows the sound counted so
// far; one laced after another into a block follows on from it. Else it starts where the decoder
// stamps it: a packet whose first samples the decoder drops (the track's first, by the codec's
// delay, as Opus's pre-skip) has its first kept sample stamped that far on, on the stamp's clock.
int64_t StartCount::followOn(const AVPacket& p, int64_t length, bool laced, bool first, int decoderDelay) const {
    size_t size = 0;
    const uint8_t* skip = av_packet_get_side_data(&p, AV_PKT_DATA_SKIP_SAMPLES, &size);
    const int64_t dropped = skip && size >= 4 && AV_RL32(skip) > 0 ? AV_RL32(skip) : first ? std::max(decoderDelay, 0) : 0;
    const AVRational sample{1, rate_};
    const int64_t at = av_rescale_q(p.pts + av_rescale_q(dropped, sample, timeBase_), timeBase_, sample) - dropped;
    return end_ != AV_NOPTS_VALUE && (laced || std::abs(at - end_) <= stampTolerance(rate_, length, matroska_)) ? end_ : at;
}

std::optional<PlacingIndex::Span> StartCount::count(const AVPacket& p, bool decoded, bool laced, int decoderDelay) {
    if (rate_ < 1 || p.pts == AV_NOPTS_VALUE) return std::nullopt;
    const bool opening = !opened_;
    opened_ = true;
    if (vorbis_ && decoded && !primed_) {
        primed_ = true;  // sounds nothing: the first frame comes from the next packet
        decoded = false;
    }
    const std::optional<PlacingIndex::Span> known = index_ ? index_->find(p.pts, p.pos) : std::nullopt;
    int64_t length = 0;
    if (vorbis_) {
        length = av_vorbis_parse_frame(vorbis_.get(), p.data, p.size);
        if (!known && (opening || length < 0)) {
            end_ = AV_NOPTS_VALUE;  // the next packet starts where its stamp says
            return std::nullopt;
        }
    } else if (!known) {
        length = packetSamples(par_, p, rate_, timeBase_);
    }
    const PlacingIndex::Span span = known ? *known : PlacingIndex::Span{followOn(p, length, laced, opening, decoderDelay), length};
    if (decoded) {
        last_ = Placed{span.start, av_rescale_q(p.pts, timeBase_, AVRational{1, rate_}), span.length};
        if (!first_) first_ = last_;
    }
    end_ = span.start + span.length;
    return span;
}

int64_t StartCount::frameStart(const AVFrame* f) const {
    const int64_t stamp = av_rescale_q(f->best_effort_timestamp, timeBase_, AVRational{1, rate_});
    for (const Placed& at : {*last_, *first_})
        if (stamp >= at.stamp && stamp < at.stamp + at.length) return at.start + at.length - f->nb_samples;
    return stamp + first_->start - first_->stamp;
}

void StartCount::placed() {
    on_ = false;
    first_.reset();
    last_.reset();
}

}  // namespace qm::reading
