#include "platform/media/asset_reader.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <deque>
#include <numeric>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "platform/media/audio_damage.h"
#include "platform/media/audio_first_sample.h"
#include "platform/media/audio_placing_index.h"
#include "platform/media/audio_packet_facts.h"
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

}  // namespace

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
    // Frames stamped on a coarse clock are placed where a read from the start puts them (the
    // placing index), or on the grid of the track's start.
    std::optional<PacketGrid> grid;
    // A stream that stores no times is read from its start with the times its packets' lengths
    // give; packets that end before this (stream time base) are passed over undecoded.
    int64_t skipBefore = AV_NOPTS_VALUE;
    // A seek must land on a packet at or before this (stream time base); one that lands later has
    // lost packets the sound needs, so the track is read again from its start (see readFromStart).
    std::optional<SeekCheck> seekCheck;
    // Places the reading's first frame: by the file's placing index after a seek, or by counting
    // the packets a reading from the start (readFromStart) passes over.
    StartCount replay;
    // Strict reading: sound lost from `neededFrom` on (output samples) fails the read; what was
    // seen since the last sound delivered tells a gap lost from one meant. In Matroska every
    // stream is read, so that bytes skipped between any two packets show.
    bool strict = false;
    int64_t neededFrom = INT64_MIN;
    LossEvidence loss;
    std::optional<SkippedBytes> positions;
    // A Matroska demuxer that passed over what it could not parse says so only on its log; a
    // hole too small to tell from the blocks' places (two short packets) loses sound all the same.
    std::unique_ptr<DemuxerErrorWatch> structure;
    std::optional<ClusterSizes> clusters;
    bool structureDamaged = false;  // said since the track's last packet
    bool sentNeeded = true;  // whether the packet last given to the decoder holds sound wanted
    // Whether a strict reading names a file that ends early as cut (damage stopping it is named
    // in any strict reading): a movie's pictures name a cut themselves, frame by frame.
    bool checksEnd = true;
    // Strict raw ADTS is read against the file's own bytes.
    AdtsFrames adts;
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
        replay = StartCount(format.get(), format->streams[info.streamIndex]);
    }

    int64_t stampTolerance(int64_t rate, int64_t packetSamples) const { return reading::stampTolerance(rate, packetSamples, matroska()); }

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

    bool demuxerStoppedInside() const { return stoppedBeforeFileEnd(format.get(), path, packetsEnd, largestPacket); }

    bool rawAdts() const { return std::strcmp(format->iformat->name, "aac") == 0; }

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
        if (strict && rawAdts()) adts.open(path);
        if (!strict || !matroska()) return;
        for (unsigned i = 0; i < format->nb_streams; ++i) format->streams[i]->discard = AVDISCARD_DEFAULT;
        positions.emplace();
        clusters.emplace();
        clusters->open(path);
        structure = std::make_unique<DemuxerErrorWatch>();
        structure->watch(format.get());
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
                structureDamaged = structureDamaged || (structure && structure->take());
                continue;
            }
            if (rc < 0) throw MediaError::fromCode("read audio", rc);
            if (packet->pos >= 0) packetsEnd = std::max(packetsEnd, packet->pos + int64_t(packet->size));
            largestPacket = std::max(largestPacket, int64_t(packet->size));
            if (positions) positions->add(*packet);
            structureDamaged = structureDamaged || (structure && structure->take());
            if (packet->stream_index != info.streamIndex) continue;
            if (structureDamaged && needed(*packet)) throw MediaError("read audio", kDamaged);
            if (clusters && needed(*packet) && clusters->damagedAt(packet->pos)) throw MediaError("read audio", kDamaged);
            structureDamaged = false;
            // Frames whose times are counted leave no gap where some were lost.
            if (adts.skippedBefore(*packet) && needed(*packet)) throw MediaError("read audio", kDamaged);
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
                    if (replay.counting()) replay.count(*packet, false, laced, decoder->delay);
                    continue;
                }
                skipBefore = AV_NOPTS_VALUE;  // from here on every packet is decoded
            }
            if (replay.counting()) replay.count(*packet, true, laced, decoder->delay);
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
        if (replay.placing()) return av_rescale(replay.frameStart(f), output.sampleRate, info.sampleRate);
        if (const std::optional<int64_t> at = gridStart(f)) return av_rescale(*at, output.sampleRate, grid->rate);
        return av_rescale_q(f->best_effort_timestamp, timeBase, AVRational{1, output.sampleRate});
    }

    // The reading's first frame is placed; the frames after it follow on, or after a gap keep
    // their stamps, as a reading from the start keeps them (the grid knows no gap).
    void firstPlaced() {
        replay.placed();
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
        const int64_t at = replay.placing() ? av_rescale(replay.frameStart(f), in, info.sampleRate)
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
                    adts.restart();
                    avcodec_flush_buffers(decoder.get());
                    soundOut = false;
                    lacedBlock = -1;
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

    // A gap in the sound before `at` (output samples) that damage seen since the sound before it
    // left fails a strict reading where the sound is wanted; without such evidence it is silence
    // the file means.
    void lostBefore(int64_t at) const {
        if (strict && at > neededFrom && (loss.refused || (positions && positions->skipped())))
            throw MediaError("read audio", kDamaged);
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
            const int64_t tolerance = stampTolerance(rate, b.frameCount);
            if (!started) {
                started = true;
                deliveredEnd = at;
                // Sound is owed from where it is wanted: a reading that begins inside a stretch the
                // demuxer lost judges the gap up to its first sound as one after sound delivered.
                if (neededFrom != INT64_MIN && at - neededFrom > tolerance) lostBefore(at);
            }
            const int64_t gap = at - deliveredEnd;
            if (gap > tolerance) {
                if (gap > rate * 3600)
                    throw MediaError("read audio", "the sound's timestamps jump ahead by " + std::to_string(gap / rate) + " s");
                lostBefore(at);
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
        const bool cutShort = fileEnd(format.get(), path).cutShort;
        // The demuxer gave up at structure it could not parse, short of the file's end.
        if (structureDamaged && !cutShort) throw MediaError("read audio", kDamaged);
        bool cut = loss.refused || cutShort;
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
    // Stamps rounded to a clock coarser than a sample name none, and after a join or a gap not
    // even the grid of the track's start does: the file's placing index puts the first frame
    // where a reading from the start does, wherever it lies. Without one, the grid or the stamps.
    if ((impl.matroska() || atStart.grid) && impl.info.sampleRate > 0)
        if (auto index = PlacingIndex::of(file, impl.info.streamIndex, impl.decoder->delay))
            impl.replay = StartCount(impl.format.get(), impl.format->streams[impl.info.streamIndex], std::move(index));
    // The pre-roll allows for the lowest rate: the stated one is its first frame's, or a variable
    // rate's mean, and quiet passages fall below it.
    const MediaTime from = start - MediaTime::fromSeconds(preroll(par, 0), 48000);
    // Without an index (GStreamer's WebM has no cues) the Matroska demuxer's seek lands a packet
    // late, even when asked for the start: the track's first packet, which carries the codec's
    // priming, would be lost and the sound would rise from silence. Checked on the first packet.
    const int64_t fromStamp = ffmpeg::timestampFrom(from, impl.timeBase);
    if (fromStamp != AV_NOPTS_VALUE && atStart.first != AV_NOPTS_VALUE)
        impl.seekCheck = SeekCheck{fromStamp, std::max(fromStamp, atStart.first)};
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
