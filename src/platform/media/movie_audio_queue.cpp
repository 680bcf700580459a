#include "platform/media/movie_audio_queue.h"

#include <algorithm>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "platform/media/media_error.h"

namespace qm {

namespace {

// Sample planes of libavutil's, freed however the scope is left.
struct SamplePlanes {
    uint8_t** data = nullptr;
    SamplePlanes(int channels, int count, AVSampleFormat format) {
        const int rc = av_samples_alloc_array_and_samples(&data, nullptr, channels, count, format, 0);
        if (rc < 0) throw MediaError::fromCode("audio append", rc);
    }
    ~SamplePlanes() {
        av_freep(&data[0]);
        av_freep(&data);
    }
    SamplePlanes(const SamplePlanes&) = delete;
    SamplePlanes& operator=(const SamplePlanes&) = delete;
};

}  // namespace

ffmpeg::CodecContextPtr openAudioEncoder(const MovieAudioSettings& settings, const AVOutputFormat& container) {
    const char* name = settings.codec == MovieAudioSettings::Codec::aac     ? "aac"
                       : settings.codec == MovieAudioSettings::Codec::pcm16 ? "pcm_s16le"
                                                                            : "pcm_s24le";
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) throw MediaError("audio input", std::string("no encoder ") + name);
    if (avformat_query_codec(&container, codec->id, FF_COMPLIANCE_NORMAL) != 1) return nullptr;
    ffmpeg::CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) throw MediaError::fromCode("audio input", AVERROR(ENOMEM));
    ctx->sample_rate = settings.sampleRate;
    ctx->time_base = AVRational{1, settings.sampleRate};
    if (settings.discreteLayout && settings.channels > 2) {
        ctx->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
        ctx->ch_layout.nb_channels = settings.channels;
    } else {
        av_channel_layout_default(&ctx->ch_layout, settings.channels);
    }
    ctx->sample_fmt = settings.codec == MovieAudioSettings::Codec::aac     ? AV_SAMPLE_FMT_FLTP
                      : settings.codec == MovieAudioSettings::Codec::pcm16 ? AV_SAMPLE_FMT_S16
                                                                           : AV_SAMPLE_FMT_S32;
    if (settings.codec == MovieAudioSettings::Codec::aac && settings.bitRate > 0) ctx->bit_rate = settings.bitRate;
    if (container.flags & AVFMT_GLOBALHEADER) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The encoder opens before any stream exists, so a failure leaves nothing half-made behind.
    int rc = avcodec_open2(ctx.get(), codec, nullptr);
    if (rc < 0) throw MediaError::fromCode("audio input", rc);
    return ctx;
}

void MovieAudioQueue::FifoFree::operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }

MovieAudioQueue::MovieAudioQueue(const AVCodecContext& encoder, std::function<void(AVFrame*)> send)
    : encoder_(encoder), send_(std::move(send)) {
    if (encoder.frame_size > 0) {
        fifo_.reset(av_audio_fifo_alloc(encoder.sample_fmt, encoder.ch_layout.nb_channels, encoder.frame_size * 4));
        if (!fifo_) throw MediaError::fromCode("audio input", AVERROR(ENOMEM));
    }
}

MovieAudioQueue::~MovieAudioQueue() = default;

int64_t MovieAudioQueue::position() const { return nextPts_ + (fifo_ ? av_audio_fifo_size(fifo_.get()) : 0); }

int MovieAudioQueue::append(const AudioSampleBuffer& samples, const MediaTime& sessionStart) {
    const int channels = samples.format.channels;
    const bool planar = isPlanar(samples.format.sampleFormat);
    const size_t planeCount = planar ? static_cast<size_t>(channels) : 1;
    const int bps = bytesPerSample(samples.format.sampleFormat);
    const size_t needBytes =
        static_cast<size_t>(samples.frameCount) * bps * (planar ? 1 : static_cast<size_t>(channels));
    if (samples.frameCount <= 0) return 0;
    if (samples.planes.size() != planeCount) throw MediaError("audio append", "audio buffer has the wrong number of planes");
    for (const auto& p : samples.planes)
        if (p.size() < needBytes) throw MediaError("audio append", "audio buffer is shorter than its frame count");

    // Position on the output time line; audio before the session start is cut off.
    int skip = 0;
    if (!started_) {
        const MediaTime relative = samples.time.isNumeric() ? samples.time - sessionStart : MediaTime::zero();
        int64_t first = relative.isNumeric() ? relative.convertScale(encoder_.sample_rate).value : 0;
        if (first + samples.frameCount <= 0) return 0;
        if (first < 0) {
            skip = static_cast<int>(-first);
            first = 0;
        }
        started_ = true;
        // Sound that begins after the session's start is preceded by silence rather than by an
        // empty edit, which the container's movie clock (whole milliseconds in QuickTime) would
        // cut short of its sample.
        silence(first);
    }
    const int count = samples.frameCount - skip;
    const AVSampleFormat inFormat = ffmpeg::toAVSampleFormat(samples.format.sampleFormat);
    std::vector<const uint8_t*> in(planeCount);
    for (size_t p = 0; p < planeCount; ++p)
        in[p] = samples.planes[p].data() + static_cast<size_t>(skip) * bps * (planar ? 1 : static_cast<size_t>(channels));

    const AVSampleFormat outFormat = encoder_.sample_fmt;
    if (inFormat == outFormat) {
        encode(const_cast<uint8_t**>(in.data()), count);
        return count;
    }
    if (!swr_ || swrInput_ != inFormat) {
        // Sample format only: same rate and channels on both sides, so no remixing.
        AVChannelLayout layout{};
        av_channel_layout_default(&layout, channels);
        SwrContext* raw = nullptr;
        int rc = swr_alloc_set_opts2(&raw, &layout, outFormat, encoder_.sample_rate, &layout, inFormat,
                                     encoder_.sample_rate, 0, nullptr);
        av_channel_layout_uninit(&layout);
        if (rc < 0) throw MediaError::fromCode("audio append", rc);
        swr_.reset(raw);
        rc = swr_init(swr_.get());
        if (rc < 0) throw MediaError::fromCode("audio append", rc);
        swrInput_ = inFormat;
    }
    const SamplePlanes converted(channels, count, outFormat);
    const int got = swr_convert(swr_.get(), converted.data, count, const_cast<const uint8_t**>(in.data()), count);
    if (got < 0) throw MediaError::fromCode("audio append", got);
    if (got > 0) encode(converted.data, got);
    return count;
}

// Sends `count` converted samples (in the encoder's format) on, in whole frames where the
// encoder needs fixed frames.
void MovieAudioQueue::encode(uint8_t** data, int count) {
    const int frameSize = encoder_.frame_size;
    const bool fixed = frameSize > 0 && !(encoder_.codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
    if (!fixed) {
        ffmpeg::FramePtr f = frame(count);
        av_samples_copy(f->extended_data, data, 0, 0, count, encoder_.ch_layout.nb_channels, encoder_.sample_fmt);
        f->pts = nextPts_;
        nextPts_ += count;
        send_(f.get());
        return;
    }
    if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(data), count) < count)
        throw MediaError("audio append", "out of memory");
    while (av_audio_fifo_size(fifo_.get()) >= frameSize) pull(frameSize);
}

// Sends `count` samples of silence on, in pieces of bounded size.
void MovieAudioQueue::silence(int64_t count) {
    constexpr int kPiece = 16384;
    const int channels = encoder_.ch_layout.nb_channels;
    const SamplePlanes zeros(channels, kPiece, encoder_.sample_fmt);
    av_samples_set_silence(zeros.data, 0, kPiece, channels, encoder_.sample_fmt);
    for (int64_t left = count; left > 0; left -= kPiece) encode(zeros.data, int(std::min<int64_t>(left, kPiece)));
}

// A frame of the encoder's format with room for count samples.
ffmpeg::FramePtr MovieAudioQueue::frame(int count) {
    ffmpeg::FramePtr f(av_frame_alloc());
    if (!f) throw MediaError("audio append", "out of memory");
    f->nb_samples = count;
    f->format = encoder_.sample_fmt;
    int rc = av_channel_layout_copy(&f->ch_layout, &encoder_.ch_layout);
    if (rc < 0) throw MediaError::fromCode("audio append", rc);
    f->sample_rate = encoder_.sample_rate;
    rc = av_frame_get_buffer(f.get(), 0);
    if (rc < 0) throw MediaError::fromCode("audio append", rc);
    return f;
}

void MovieAudioQueue::pull(int count) {
    ffmpeg::FramePtr f = frame(count);
    if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(f->extended_data), count) < count)
        throw MediaError("audio append", "audio queue underrun");
    f->pts = nextPts_;
    nextPts_ += count;
    send_(f.get());
}

void MovieAudioQueue::flush() {
    if (fifo_ && av_audio_fifo_size(fifo_.get()) > 0) pull(av_audio_fifo_size(fifo_.get()));
}

}  // namespace qm
