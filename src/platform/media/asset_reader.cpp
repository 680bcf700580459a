#include "platform/media/asset_reader.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "core/conversion_error.h"
#include "platform/media/ffmpeg_internal.h"

namespace qm {

namespace {

using FormatPtr = ffmpeg::FormatContextPtr;
using CodecPtr = ffmpeg::CodecContextPtr;
using PacketPtr = ffmpeg::PacketPtr;
using FramePtr = ffmpeg::FramePtr;

// Through the shared opener, so the reader refuses exactly what the probe refuses: local files
// only, the movie and audio demuxers we read, no absurd picture sizes. `video` says whether the
// caller wants pictures: those come only from movie containers.
ffmpeg::FormatContextPtr openFormat(const std::filesystem::path& file, bool video, bool storedTimestampsOnly = false) {
    ffmpeg::OpenedSource source = ffmpeg::openSource(file, storedTimestampsOnly);
    if (video && source.kind != ffmpeg::ContainerKind::movie) return nullptr;
    return std::move(source.context);
}

// The first stream of a type; cover pictures stored as video streams are not tracks.
int firstStream(AVFormatContext* format, AVMediaType type) {
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* st = format->streams[i];
        if (st->codecpar->codec_type != type) continue;
        if (st->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
        return static_cast<int>(i);
    }
    return -1;
}

void discardAllBut(AVFormatContext* format, int keep) {
    for (unsigned i = 0; i < format->nb_streams; ++i)
        format->streams[i]->discard = static_cast<int>(i) == keep ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
}

// Container tags are stored least significant byte first; ours read most significant first.
uint32_t codecTypeOf(const AVCodecParameters* par, bool video) {
    uint32_t tag = par->codec_tag;
    if (tag == 0) {
        const AVCodecTag* const tables[] = {video ? avformat_get_mov_video_tags() : avformat_get_mov_audio_tags(),
                                            nullptr};
        tag = av_codec_get_tag(tables, par->codec_id);
    }
    return ((tag & 0xFFu) << 24) | ((tag & 0xFF00u) << 8) | ((tag >> 8) & 0xFF00u) | (tag >> 24);
}

void seekNear(AVFormatContext* format, int stream, const MediaTime& start) {
    if (!start.isNumeric()) return;
    const AVRational tb = format->streams[stream]->time_base;
    const int64_t ts = ffmpeg::timestampFrom(start, tb);
    if (ts == AV_NOPTS_VALUE) return;
    // To the key frame at or before the time; a failed seek reads from the beginning instead.
    if (avformat_seek_file(format, stream, INT64_MIN, ts, ts, 0) < 0)
        avformat_seek_file(format, stream, INT64_MIN, INT64_MIN, INT64_MIN, 0);
}

CodecPtr openDecoder(const AVStream* st, int threads, bool frameThreads) {
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (codec == nullptr) throw MediaError("decoder", std::string("no decoder for ") + avcodec_get_name(st->codecpar->codec_id));
    CodecPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) throw MediaError::fromCode("decoder", AVERROR(ENOMEM));
    int rc = avcodec_parameters_to_context(ctx.get(), st->codecpar);
    if (rc < 0) throw MediaError::fromCode("decoder", rc);
    ctx->pkt_timebase = st->time_base;
    ctx->thread_count = threads;
    // Frame threads each hold a picture of their own, a whole 4K frame apiece. A codec whose
    // frames stand alone and whose decoder splits a frame into slices is as fast on slice threads,
    // holding one picture at a time.
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec->id);
    const bool intraOnly = descriptor != nullptr && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY) != 0;
    if (intraOnly && (codec->capabilities & AV_CODEC_CAP_SLICE_THREADS) != 0) frameThreads = false;
    ctx->thread_type = frameThreads ? (FF_THREAD_FRAME | FF_THREAD_SLICE) : FF_THREAD_SLICE;
    // The same picture cap as the probe's: a stream that changes to an absurd size mid-way
    // fails to decode instead of allocating it.
    ctx->max_pixels = int64_t(PixelBuffer::kMaxSide) * PixelBuffer::kMaxSide;
    rc = avcodec_open2(ctx.get(), codec, nullptr);
    if (rc < 0) throw MediaError::fromCode("decoder", rc);
    return ctx;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Video

struct DecodedPicture {
    FramePtr frame;
};

struct VideoSampleReader::Impl {
    FormatPtr format;
    CodecPtr decoder;
    VideoReaderSettings settings;
    VideoTrackInfo info;
    AVRational timeBase{1, 1};
    PacketPtr packet{ffmpeg::allocPacket("read")};
    FramePtr frame{ffmpeg::allocFrame("read")};
    // One scaler with its buffers for pictures at the source's size, one for scaled ones, so
    // that a caller asking for both does not rebuild either.
    struct Conversion {
        ffmpeg::SwsPtr sws;
        int srcWidth = 0, srcHeight = 0, srcFormat = -1;
        int width = 0, height = 0;
        uint32_t target = 0;
        PixelBufferPoolRef pool;
        std::vector<uint8_t> planes;  // planar RGB on its way to packed pixels
    };
    Conversion same, scaled;

    bool demuxEnded = false;
    bool decoderDrained = false;
    // One sample of lookahead so that each sample's duration can come from its successor.
    std::optional<VideoSample> held;
    std::optional<VideoSample> ready;
    MediaTime lastTime;
    MediaTime lastDuration;
    int64_t samplesRead = 0;

    std::atomic<bool> cancelled{false};
    std::atomic<Status> status{Status::reading};

    MediaTime fallbackDuration() const {
        if (lastDuration.isNumeric() && lastDuration.value > 0) return lastDuration;
        if (info.frameRate > 0) return MediaTime::fromSeconds(1.0 / info.frameRate, std::max(info.timeScale, 600));
        return MediaTime::make(1, 30);
    }

    // Times must rise: a repeated or missing time follows the previous sample.
    MediaTime monotonic(MediaTime t) {
        if (!t.isNumeric()) {
            t = lastTime.isNumeric() ? lastTime + fallbackDuration() : info.timeRangeStart;
        } else if (lastTime.isNumeric() && t <= lastTime) {
            const MediaTime tick = MediaTime::make(1, lastTime.timescale);
            t = lastTime + tick;
        }
        lastTime = t;
        return t;
    }

    // Accepts one sample in presentation order; a sample becomes ready once its successor (or
    // the end) is known.
    void push(VideoSample sample) {
        if (held) {
            if (!held->duration.isNumeric() || held->duration.value <= 0) held->duration = sample.time - held->time;
            lastDuration = held->duration;
            ready = std::move(held);
        }
        held = std::move(sample);
    }

    void finishHeld() {
        if (!held) return;
        if (!held->duration.isNumeric() || held->duration.value <= 0) held->duration = fallbackDuration();
        ready = std::move(held);
        held.reset();
    }

    // The frame in the pixel format asked for, at width × height (0: the frame's own size).
    PixelBufferRef pictureFromFrame(const AVFrame* f, int width = 0, int height = 0) {
        if (width <= 0 || height <= 0) width = f->width, height = f->height;
        const bool resize = width != f->width || height != f->height;
        const auto avFormat = static_cast<AVPixelFormat>(f->format);
        const uint32_t own = ffmpeg::pixelFormatOf(*f);
        uint32_t target = settings.pixelFormat;
        if (target == 0) {
            target = own;
            if (target == 0) {
                const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(avFormat);
                const bool deep = desc != nullptr && desc->comp[0].depth > 8;
                target = deep ? kPixelFormatRGBA64LE : kPixelFormatBGRA;
            }
        }
        ColorTags sourceTags = ffmpeg::colorTagsFrom(f->colorspace, f->color_primaries, f->color_trc, f->color_range);
        const bool unconverted = own != 0 && target == own;
        // The JPEG formats are full range whatever the stream says; the tag makes it explicit.
        if (unconverted && ffmpeg::isFullRangeFormat(target)) sourceTags.range = ColorRange::full;
        if (unconverted && !resize) {
            // The decoder's own memory, shared, where its layout allows; a copy otherwise.
            if (PixelBufferRef shared = ffmpeg::wrapFrame(*f)) {
                shared->setColorTags(sourceTags);
                return shared;
            }
        }
        Conversion& c = resize ? scaled : same;
        if (!c.pool || c.pool->width() != width || c.pool->height() != height || c.pool->pixelFormat() != target)
            c.pool = makePixelBufferPool(width, height, target);
        PixelBufferRef out = makePixelBuffer(c.pool);
        uint8_t* dst[4];
        int dstStride[4];
        ffmpeg::planePointers(*out, dst, dstStride);
        if (unconverted && !resize) {
            av_image_copy(dst, dstStride, const_cast<const uint8_t**>(f->data), f->linesize, avFormat, f->width,
                          f->height);
            out->setColorTags(sourceTags);
            return out;
        }
        const AVPixelFormat dstFormat = ffmpeg::toAVPixelFormat(target);
        if (dstFormat == AV_PIX_FMT_NONE) throw MediaError("pixel transfer", "unsupported pixel format " + fourCCString(target));
        const AVPixFmtDescriptor* sourceDesc = av_pix_fmt_desc_get(avFormat);
        const bool subsampled = sourceDesc != nullptr && sourceDesc->log2_chroma_w > 0;
        // Full-chroma 8-bit RGB is made planar and packed after: the same bytes, several times faster.
        const bool planar = subsampled && (dstFormat == AV_PIX_FMT_BGRA || dstFormat == AV_PIX_FMT_RGBA);
        const bool alpha = sourceDesc != nullptr && (sourceDesc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
        const AVPixelFormat scalerFormat = !planar ? dstFormat : alpha ? AV_PIX_FMT_GBRAP : AV_PIX_FMT_GBRP;
        ffmpeg::SwsPtr& sws = c.sws;
        if (!sws || c.srcWidth != f->width || c.srcHeight != f->height || c.srcFormat != f->format || c.width != width ||
            c.height != height || c.target != target) {
            // Sliced over the processor's threads: this runs on the reading thread, once per frame.
            sws.reset(sws_alloc_context());
            if (!sws) throw MediaError::fromCode("pixel transfer", AVERROR(ENOMEM));
            // Full chroma interpolation only where chroma is subsampled; it also keeps the scaler on one
            // thread, which 4:4:4 sources need not pay for.
            // Below half size each output pixel averages the area it covers, as the compositor's own
            // downscale does; above, bicubic.
            const bool small = 2 * width < f->width || 2 * height < f->height;
            const int64_t flags = (small ? SWS_AREA : SWS_BICUBIC) | SWS_ACCURATE_RND | (subsampled ? SWS_FULL_CHR_H_INT : 0);
            int rc = 0;
            for (auto [name, value] : {std::pair<const char*, int64_t>{"srcw", f->width}, {"srch", f->height},
                                       {"dstw", width}, {"dsth", height}, {"sws_flags", flags}, {"threads", 0}})
                if (rc >= 0) rc = av_opt_set_int(sws.get(), name, value, 0);
            if (rc >= 0) rc = av_opt_set_pixel_fmt(sws.get(), "src_format", avFormat, 0);
            if (rc >= 0) rc = av_opt_set_pixel_fmt(sws.get(), "dst_format", scalerFormat, 0);
            if (rc < 0) {
                sws.reset();
                throw MediaError::fromCode("pixel transfer", rc);
            }
            if (sws_init_context(sws.get(), nullptr, nullptr) < 0) {
                sws.reset();
                throw MediaError("pixel transfer", "no conversion from " + std::string(av_get_pix_fmt_name(avFormat)));
            }
            // The source's own matrix and range where it says, else BT.709.
            const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(avFormat);
            const bool sourceRGB = desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_RGB);
            const bool fullIn = sourceRGB || f->color_range == AVCOL_RANGE_JPEG || avFormat == AV_PIX_FMT_YUVJ420P ||
                                avFormat == AV_PIX_FMT_YUVJ422P || avFormat == AV_PIX_FMT_YUVJ444P;
            const int space = f->colorspace == AVCOL_SPC_UNSPECIFIED || f->colorspace == AVCOL_SPC_RGB ? SWS_CS_ITU709
                                                                                                         : f->colorspace;
            const AVPixFmtDescriptor* dstDesc = av_pix_fmt_desc_get(scalerFormat);
            const bool fullOut = (dstDesc->flags & AV_PIX_FMT_FLAG_RGB) || scalerFormat == AV_PIX_FMT_YUVJ444P;
            if (sws_setColorspaceDetails(sws.get(), sws_getCoefficients(space), fullIn ? 1 : 0,
                                         sws_getCoefficients(SWS_CS_ITU709), fullOut ? 1 : 0, 0, 1 << 16, 1 << 16) < 0) {
                sws.reset();
                throw MediaError("pixel transfer", "no colour conversion from " + std::string(av_get_pix_fmt_name(avFormat)));
            }
            c.srcWidth = f->width;
            c.srcHeight = f->height;
            c.srcFormat = f->format;
            c.width = width;
            c.height = height;
            c.target = target;
        }
        // The destination frame points into the pixel buffer; its reference only keeps the
        // scaler from allocating one of its own.
        FramePtr destination(av_frame_alloc());
        if (!destination) throw MediaError::fromCode("pixel transfer", AVERROR(ENOMEM));
        destination->width = width;
        destination->height = height;
        destination->format = scalerFormat;
        if (planar) {
            const int stride = (width + 63) & ~63;
            const size_t planeBytes = size_t(stride) * size_t(height);
            c.planes.resize(planeBytes * 4 + 64);
            uint8_t* base = c.planes.data() + (64 - reinterpret_cast<uintptr_t>(c.planes.data()) % 64) % 64;
            for (int p = 0; p < 4; ++p) {
                destination->data[p] = p < 3 || alpha ? base + planeBytes * size_t(p) : nullptr;
                destination->linesize[p] = p < 3 || alpha ? stride : 0;
            }
        } else {
            for (int p = 0; p < 4; ++p) {
                destination->data[p] = dst[p];
                destination->linesize[p] = dstStride[p];
            }
        }
        destination->buf[0] = av_buffer_create(destination->data[0], 1, [](void*, uint8_t*) {}, nullptr, 0);
        if (destination->buf[0] == nullptr) throw MediaError::fromCode("pixel transfer", AVERROR(ENOMEM));
        const int rc = sws_scale_frame(sws.get(), destination.get(), f);
        if (rc < 0) throw MediaError::fromCode("pixel transfer", rc);
        if (planar)
            ffmpeg::packPlanarRGB(destination->data, destination->linesize, width, height, dstFormat == AV_PIX_FMT_BGRA,
                                  dst[0], size_t(dstStride[0]));
        ColorTags tags = sourceTags;
        if (tags.matrix == ColorMatrix::unspecified) tags.matrix = ColorMatrix::bt709;
        tags.range = ColorRange::unspecified;
        out->setColorTags(tags);
        return out;
    }

    void fail(const MediaError& e) {
        status = Status::failed;
        throw e;
    }

    PixelBufferRef convertedPicture(const AVFrame* f, int width = 0, int height = 0) {
        try {
            return pictureFromFrame(f, width, height);
        } catch (const MediaError& e) {
            fail(e);
        } catch (const ConversionError& e) {
            fail(MediaError("pixel buffer", e.payload()));
        }
        return nullptr;
    }

    // Reads the next packet of the track; false at the end of the file.
    bool readPacket() {
        for (;;) {
            av_packet_unref(packet.get());
            const int rc = av_read_frame(format.get(), packet.get());
            if (rc == AVERROR_EOF) return false;
            if (rc < 0) fail(MediaError::fromCode("read sample", rc));
            if (packet->stream_index != info.streamIndex) continue;
            if (packet->flags & AV_PKT_FLAG_CORRUPT)
                fail(MediaError("read sample", "sample " + std::to_string(samplesRead) + " is incomplete"));
            return true;
        }
    }

    // Compressed mode: one stored sample becomes one VideoSample, bytes unchanged.
    bool produceCompressed() {
        for (;;) {
            if (!readPacket()) return false;
            ++samplesRead;
            // Samples an edit list leaves out are not part of the track's time line.
            if (packet->flags & AV_PKT_FLAG_DISCARD) continue;
            VideoSample s;
            const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            s.time = monotonic(ffmpeg::mediaTimeFrom(ts, timeBase));
            if (packet->duration > 0) s.duration = ffmpeg::mediaTimeFrom(packet->duration, timeBase);
            s.bytes.assign(packet->data, packet->data + packet->size);
            s.keyFrame = (packet->flags & AV_PKT_FLAG_KEY) != 0;
            push(std::move(s));
            return true;
        }
    }

    // Decoded mode: one decoded picture, in presentation order.
    bool produceDecoded() {
        for (;;) {
            int rc = avcodec_receive_frame(decoder.get(), frame.get());
            if (rc == 0) {
                VideoSample s;
                s.time = monotonic(ffmpeg::mediaTimeFrom(frame->best_effort_timestamp, timeBase));
                s.keyFrame = frame->key_frame != 0;
                s.width = frame->width;
                s.height = frame->height;
                if (settings.deferConversion) {
                    // The decoder's frames are reference counted: keeping one only stops its
                    // memory from being reused.
                    auto kept = std::make_shared<DecodedPicture>();
                    kept->frame.reset(av_frame_alloc());
                    if (!kept->frame) fail(MediaError::fromCode("decode", AVERROR(ENOMEM)));
                    av_frame_move_ref(kept->frame.get(), frame.get());
                    s.decoded = std::move(kept);
                } else {
                    s.pixels = convertedPicture(frame.get());
                    av_frame_unref(frame.get());
                }
                push(std::move(s));
                return true;
            }
            if (rc == AVERROR_EOF) {
                decoderDrained = true;
                return false;
            }
            if (rc != AVERROR(EAGAIN)) fail(MediaError::fromCode("decode", rc));
            if (demuxEnded) {
                rc = avcodec_send_packet(decoder.get(), nullptr);
                if (rc < 0 && rc != AVERROR_EOF) fail(MediaError::fromCode("decode", rc));
                continue;
            }
            if (!readPacket()) {
                demuxEnded = true;
                continue;
            }
            ++samplesRead;
            rc = avcodec_send_packet(decoder.get(), packet.get());
            if (rc < 0 && rc != AVERROR(EAGAIN)) fail(MediaError::fromCode("decode", rc));
        }
    }

    std::optional<VideoSample> next() {
        for (;;) {
            if (cancelled) {
                status = Status::cancelled;
                return std::nullopt;
            }
            if (status == Status::failed) throw MediaError("read sample", "the reader has failed");
            if (ready) {
                VideoSample s = std::move(*ready);
                ready.reset();
                // Samples that end at or before the requested start are not wanted.
                if (settings.start.isNumeric() && (s.time + s.duration) <= settings.start) continue;
                return s;
            }
            const bool more = settings.mode == VideoReaderSettings::Mode::compressed ? produceCompressed()
                                                                                    : produceDecoded();
            if (!more) {
                finishHeld();
                if (!ready) {
                    if (status == Status::reading) status = Status::completed;
                    return std::nullopt;
                }
            }
        }
    }
};

VideoSampleReader::VideoSampleReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
VideoSampleReader::~VideoSampleReader() = default;

std::unique_ptr<VideoSampleReader> VideoSampleReader::open(const std::filesystem::path& file,
                                                           const VideoReaderSettings& settings) {
    auto impl = std::make_unique<Impl>();
    impl->settings = settings;
    impl->format = openFormat(file, true);
    const int index = impl->format ? firstStream(impl->format.get(), AVMEDIA_TYPE_VIDEO) : -1;
    if (index < 0) throw ConversionError::noVideoTrack();
    discardAllBut(impl->format.get(), index);
    const AVStream* st = impl->format->streams[index];
    impl->timeBase = st->time_base;

    VideoTrackInfo& info = impl->info;
    info.streamIndex = index;
    info.codecType = codecTypeOf(st->codecpar, true);
    info.width = st->codecpar->width;
    info.height = st->codecpar->height;
    if (info.width > PixelBuffer::kMaxSide || info.height > PixelBuffer::kMaxSide)
        throw MediaError("open", "picture of " + std::to_string(info.width) + " x " + std::to_string(info.height) +
                                     " is larger than 16384 pixels on a side");
    info.timeRangeStart = st->start_time != AV_NOPTS_VALUE ? ffmpeg::mediaTimeFrom(st->start_time, st->time_base)
                                                           : MediaTime::make(0, st->time_base.den);
    if (!info.timeRangeStart.isNumeric()) info.timeRangeStart = MediaTime::zero();
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
        info.timeRangeDuration = ffmpeg::mediaTimeFrom(st->duration, st->time_base);
    } else if (impl->format->duration != AV_NOPTS_VALUE && impl->format->duration > 0) {
        const int64_t formatStart = impl->format->start_time != AV_NOPTS_VALUE ? impl->format->start_time : 0;
        const MediaTime end = MediaTime::make(formatStart + impl->format->duration, AV_TIME_BASE);
        info.timeRangeDuration = end - info.timeRangeStart;
    }
    AVRational rate = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0 ? st->avg_frame_rate : st->r_frame_rate;
    info.frameRate = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;
    info.timeScale = st->time_base.den;
    // A file may carry a short matrix: only a whole one is taken.
    size_t matrixSize = 0;
    const uint8_t* matrix = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &matrixSize);
    if (matrix != nullptr && matrixSize >= sizeof(int32_t) * 9)
        std::memcpy(info.transform.data(), matrix, sizeof(int32_t) * 9);

    if (settings.mode == VideoReaderSettings::Mode::decoded) impl->decoder = openDecoder(st, settings.threads, true);
    seekNear(impl->format.get(), index, settings.start);
    return std::unique_ptr<VideoSampleReader>(new VideoSampleReader(std::move(impl)));
}

const VideoTrackInfo& VideoSampleReader::track() const { return impl_->info; }
std::optional<VideoSample> VideoSampleReader::next() { return impl_->next(); }
PixelBufferRef VideoSampleReader::picture(const VideoSample& sample) {
    if (sample.pixels || !sample.decoded) return sample.pixels;
    return impl_->convertedPicture(sample.decoded->frame.get());
}
PixelBufferRef VideoSampleReader::picture(const VideoSample& sample, int width, int height) {
    if (!sample.decoded || width <= 0 || height <= 0) return nullptr;
    const AVFrame* f = sample.decoded->frame.get();
    // Scaling straight colour with its alpha would darken every edge of a transparent picture.
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
    if (desc == nullptr || (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0) return nullptr;
    return impl_->convertedPicture(f, width, height);
}
void VideoSampleReader::cancel() { impl_->cancelled = true; }
VideoSampleReader::Status VideoSampleReader::status() const {
    if (impl_->cancelled && impl_->status == Status::reading) return Status::cancelled;
    return impl_->status;
}

// ---------------------------------------------------------------------------------------------
// Audio

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
    FormatPtr format;
    CodecPtr decoder;
    AudioTrackInfo info;
    AudioFormat output;
    MediaTime start;
    AVRational timeBase{1, 1};
    PacketPtr packet{ffmpeg::allocPacket("read")};
    FramePtr frame{ffmpeg::allocFrame("read")};
    ffmpeg::SwrPtr swr;
    bool demuxEnded = false;
    bool decoderDrained = false;
    bool swrFlushed = false;
    // Output time line: the first converted frame's time in output samples, then contiguous.
    bool haveOrigin = false;
    int64_t originSamples = 0;
    int64_t producedSamples = 0;
    std::atomic<bool> cancelled{false};
    bool failed = false;

    // Track reading (openTrack): the output follows the first frame, times follow the stream.
    bool native = false;
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

    ~Impl() { av_channel_layout_uninit(&swrLayout); }

    // Reads the stream `index` alone, decoded on one thread.
    void openStream(int index) {
        discardAllBut(format.get(), index);
        const AVStream* st = format->streams[index];
        timeBase = st->time_base;
        info = audioTrackInfo(format.get(), index);
        decoder = openDecoder(st, 1, false);
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
            const int rc = swr_build_matrix2(&in, &out, M_SQRT1_2, M_SQRT1_2, 0.0, INT_MAX, 1.0, m.data(), ni,
                                             AV_MATRIX_ENCODING_NONE, nullptr);
            if (rc < 0) return rc;
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

    // Decodes the next frame of the track into `frame`; false at its end. Track reading skips
    // packets the decoder refuses (their time stays a gap); the transcoder's reading fails on them.
    bool decodeNext() {
        for (;;) {
            int rc = decoderDrained ? AVERROR_EOF : avcodec_receive_frame(decoder.get(), frame.get());
            if (rc == 0) {
                decodeErrors = 0;
                return true;
            }
            if (rc == AVERROR_EOF) {
                decoderDrained = true;
                return false;
            }
            if (rc != AVERROR(EAGAIN)) {
                if (native && rc == AVERROR_INVALIDDATA && ++decodeErrors < 1000) continue;
                throw MediaError::fromCode("audio decode", rc);
            }
            if (demuxEnded) {
                rc = avcodec_send_packet(decoder.get(), nullptr);
                if (rc < 0 && rc != AVERROR_EOF) throw MediaError::fromCode("audio decode", rc);
                continue;
            }
            av_packet_unref(packet.get());
            rc = av_read_frame(format.get(), packet.get());
            if (rc == AVERROR_EOF) {
                demuxEnded = true;
                continue;
            }
            if (rc < 0) throw MediaError::fromCode("read audio", rc);
            if (packet->stream_index != info.streamIndex) continue;
            if (packet->flags & AV_PKT_FLAG_CORRUPT) {
                if (native) continue;
                throw MediaError("read audio", "incomplete audio sample");
            }
            rc = avcodec_send_packet(decoder.get(), packet.get());
            if (rc < 0 && rc != AVERROR(EAGAIN)) {
                if (native && rc == AVERROR_INVALIDDATA && ++decodeErrors < 1000) continue;
                throw MediaError::fromCode("audio decode", rc);
            }
        }
    }

    std::optional<AudioSampleBuffer> produce() {
        for (;;) {
            if (decodeNext()) {
                if (!swr) setUpResampler(frame.get());
                if (!haveOrigin) {
                    const MediaTime t = ffmpeg::mediaTimeFrom(frame->best_effort_timestamp, timeBase);
                    originSamples = t.isNumeric() ? t.convertScale(output.sampleRate).value : 0;
                    haveOrigin = true;
                }
                AudioSampleBuffer b = convert(frame.get());
                av_frame_unref(frame.get());
                if (b.frameCount > 0) return b;
                continue;
            }
            if (swr && !swrFlushed) {
                swrFlushed = true;
                AudioSampleBuffer b = convert(nullptr);
                if (b.frameCount > 0) return b;
            }
            return std::nullopt;
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
                    avcodec_flush_buffers(decoder.get());
                    continue;
                }
            }
            if (!outputKnown) {
                output = {frame->sample_rate, frame->ch_layout.nb_channels, AudioSampleFormat::float32};
                if (output.sampleRate < 1 || output.sampleRate > 1'000'000 || output.channels < 1 || output.channels > 64)
                    throw MediaError("audio conversion", "unsupported sound format");
                outputKnown = true;
            }
            if (!swr || shapeChanged(frame.get())) {
                // What the old converter still holds belongs before this frame.
                if (swr) queueConverted(nullptr, convertedEnd);
                setUpResampler(frame.get());
                swrRate = frame->sample_rate;
                swrFormat = frame->format;
                av_channel_layout_uninit(&swrLayout);
                av_channel_layout_copy(&swrLayout, &frame->ch_layout);
            }
            // The converter's output for this frame begins with the samples it still holds.
            int64_t start = convertedEnd;
            if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
                start = av_rescale_q(frame->best_effort_timestamp, timeBase, AVRational{1, output.sampleRate}) -
                        swr_get_delay(swr.get(), output.sampleRate);
            queueConverted(frame.get(), start);
            av_frame_unref(frame.get());
        }
        return true;
    }

    std::optional<AudioSampleBuffer> nextNative() {
        const int64_t rate = output.sampleRate;
        for (;;) {
            if (pendingSilence > 0) {
                AudioSampleBuffer b;
                b.format = output;
                b.time = MediaTime::make(deliveredEnd, output.sampleRate);
                b.frameCount = static_cast<int>(std::min<int64_t>(pendingSilence, 16384));
                b.planes.assign(1, std::vector<uint8_t>(size_t(b.frameCount) * size_t(output.channels) * sizeof(float)));
                pendingSilence -= b.frameCount;
                deliveredEnd += b.frameCount;
                return b;
            }
            if (converted.empty() && !fillConverted()) return std::nullopt;
            AudioSampleBuffer b = std::move(converted.front());
            converted.pop_front();
            const int64_t at = b.time.value;
            if (!started) {
                started = true;
                deliveredEnd = at;
            }
            const int64_t gap = at - deliveredEnd;
            const int64_t tolerance = std::max<int64_t>(1, rate / 500);  // 2 ms
            if (gap > tolerance) {
                if (gap > rate * 3600)
                    throw MediaError("read audio", "the sound's timestamps jump ahead by " + std::to_string(gap / rate) + " s");
                pendingSilence = gap;
                converted.push_front(std::move(b));
                continue;
            }
            if (gap < -tolerance) {
                const int64_t drop = std::min<int64_t>(-gap, b.frameCount);
                const size_t bytes = size_t(drop) * size_t(output.channels) * sizeof(float);
                b.planes[0].erase(b.planes[0].begin(), b.planes[0].begin() + static_cast<std::ptrdiff_t>(bytes));
                b.frameCount -= static_cast<int>(drop);
                b.time = MediaTime::make(at + drop, output.sampleRate);
                if (b.frameCount == 0) continue;
                deliveredEnd = at + drop + b.frameCount;
                return b;
            }
            deliveredEnd += b.frameCount;
            return b;
        }
    }

    std::optional<AudioSampleBuffer> next() {
        for (;;) {
            if (cancelled) return std::nullopt;
            if (failed) throw MediaError("read audio", "the reader has failed");
            std::optional<AudioSampleBuffer> b;
            try {
                b = native ? nextNative() : produce();
            } catch (...) {
                failed = true;
                throw;
            }
            if (!b) return std::nullopt;
            if (native) return b;
            b->time = MediaTime::make(originSamples + producedSamples, output.sampleRate);
            producedSamples += b->frameCount;
            if (start.isNumeric() && (b->time + b->duration()) <= start) continue;
            return b;
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
    impl->format = openFormat(file, false, true);
    if (!impl->format || audioTrack < 0) return nullptr;
    const std::vector<int> streams = audioStreams(impl->format.get());
    if (size_t(audioTrack) >= streams.size()) return nullptr;
    impl->openStream(streams[size_t(audioTrack)]);
    impl->native = true;
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
    seekNear(impl.format.get(), impl.info.streamIndex, start);
    impl.seekUnchecked = start.isNumeric();
    return reader;
}

std::unique_ptr<AudioSampleReader> AudioSampleReader::open(const std::filesystem::path& file, const AudioFormat& output,
                                                           MediaTime start) {
    if (output.sampleRate < 1 || output.channels < 1 || output.channels > 64)
        throw MediaError("audio conversion", "unsupported output format");
    auto impl = std::make_unique<Impl>();
    impl->format = openFormat(file, false);
    const int index = impl->format ? firstStream(impl->format.get(), AVMEDIA_TYPE_AUDIO) : -1;
    if (index < 0) return nullptr;
    impl->openStream(index);
    impl->output = output;
    impl->start = start;
    seekNear(impl->format.get(), index, start);
    return std::unique_ptr<AudioSampleReader>(new AudioSampleReader(std::move(impl)));
}

const AudioTrackInfo& AudioSampleReader::track() const { return impl_->info; }
const AudioFormat& AudioSampleReader::outputFormat() const { return impl_->output; }
std::optional<AudioSampleBuffer> AudioSampleReader::next() { return impl_->next(); }
void AudioSampleReader::cancel() { impl_->cancelled = true; }

}  // namespace qm
