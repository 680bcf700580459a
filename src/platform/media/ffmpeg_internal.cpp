#include "platform/media/ffmpeg_internal.h"

#include <array>
#include <limits>
#include <optional>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "platform/media/hevc_alpha_layer.h"

namespace qm::ffmpeg {

void CodecContextDeleter::operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
void PacketDeleter::operator()(AVPacket* packet) const { av_packet_free(&packet); }
void FrameDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }

PacketPtr allocPacket(std::string_view step) {
    PacketPtr packet(av_packet_alloc());
    if (!packet) throw MediaError::fromCode(step, AVERROR(ENOMEM));
    return packet;
}
FramePtr allocFrame(std::string_view step) {
    FramePtr frame(av_frame_alloc());
    if (!frame) throw MediaError::fromCode(step, AVERROR(ENOMEM));
    return frame;
}
void SwrDeleter::operator()(SwrContext* context) const { swr_free(&context); }
void SwsDeleter::operator()(SwsContext* context) const { sws_freeContext(context); }

AVSampleFormat toAVSampleFormat(AudioSampleFormat format) {
    switch (format) {
    case AudioSampleFormat::float32: return AV_SAMPLE_FMT_FLT;
    case AudioSampleFormat::float32Planar: return AV_SAMPLE_FMT_FLTP;
    case AudioSampleFormat::int16: return AV_SAMPLE_FMT_S16;
    case AudioSampleFormat::int24: return AV_SAMPLE_FMT_S32;
    }
    return AV_SAMPLE_FMT_FLT;
}


namespace {

struct FormatPair {
    uint32_t fourCC;
    AVPixelFormat av;
};

constexpr FormatPair kFormats[] = {
    {kPixelFormatBGRA, AV_PIX_FMT_BGRA},
    {kPixelFormatRGBA, AV_PIX_FMT_RGBA},
    {kPixelFormatRGBA64LE, AV_PIX_FMT_RGBA64LE},
    {kPixelFormatRGBA64BE, AV_PIX_FMT_RGBA64BE},
    {kPixelFormatYUV420P, AV_PIX_FMT_YUV420P},
    {kPixelFormatYUVA420P, AV_PIX_FMT_YUVA420P},
    {kPixelFormatYUVJ444P, AV_PIX_FMT_YUVJ444P},
    {kPixelFormatYUV422P10, AV_PIX_FMT_YUV422P10LE},
    {kPixelFormatYUV444P10, AV_PIX_FMT_YUV444P10LE},
    {kPixelFormatYUVA444P10, AV_PIX_FMT_YUVA444P10LE},
    {kPixelFormatYUV422P, AV_PIX_FMT_YUV422P},
    {kPixelFormatYUV444P, AV_PIX_FMT_YUV444P},
    {kPixelFormatYUVJ420P, AV_PIX_FMT_YUVJ420P},
    {kPixelFormatYUVJ422P, AV_PIX_FMT_YUVJ422P},
    {kPixelFormatYUV420P10, AV_PIX_FMT_YUV420P10LE},
    {kPixelFormatYUV420P12, AV_PIX_FMT_YUV420P12LE},
    {kPixelFormatYUV422P12, AV_PIX_FMT_YUV422P12LE},
    {kPixelFormatYUV444P12, AV_PIX_FMT_YUV444P12LE},
    {kPixelFormatYUVA444P12, AV_PIX_FMT_YUVA444P12LE},
    {kPixelFormatRGB24, AV_PIX_FMT_RGB24},
};

}  // namespace

AVPixelFormat toAVPixelFormat(uint32_t pixelFormat) {
    for (const auto& f : kFormats)
        if (f.fourCC == pixelFormat) return f.av;
    return AV_PIX_FMT_NONE;
}

uint32_t fromAVPixelFormat(AVPixelFormat format) {
    for (const auto& f : kFormats)
        if (f.av == format) return f.fourCC;
    return 0;
}

bool isFullRangeFormat(uint32_t pixelFormat) {
    return pixelFormat == kPixelFormatYUVJ420P || pixelFormat == kPixelFormatYUVJ422P ||
           pixelFormat == kPixelFormatYUVJ444P;
}

uint32_t pixelFormatOf(const AVFrame& frame) {
    const uint32_t format = fromAVPixelFormat(static_cast<AVPixelFormat>(frame.format));
    if (frame.color_range != AVCOL_RANGE_JPEG) return format;
    switch (format) {
    case kPixelFormatYUV420P: return kPixelFormatYUVJ420P;
    case kPixelFormatYUV422P: return kPixelFormatYUVJ422P;
    case kPixelFormatYUV444P: return kPixelFormatYUVJ444P;
    default: return format;
    }
}

PixelBufferRef wrapFrame(const AVFrame& frame) {
    const uint32_t format = pixelFormatOf(frame);
    if (format == 0 || frame.width < 1 || frame.height < 1) return nullptr;
    // A picture the decoder still holds (a reference for later pictures) is copied instead, so
    // nothing done to the buffer can reach the decoding.
    if (!av_frame_is_writable(const_cast<AVFrame*>(&frame))) return nullptr;
    std::array<uint8_t*, PixelBuffer::kMaxPlanes> planes{};
    std::array<size_t, PixelBuffer::kMaxPlanes> rows{};
    const int planeCount = PixelBuffer::planeCountOf(format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    for (int p = 0; p < planeCount; ++p) {
        if (frame.data[p] == nullptr || frame.linesize[p] <= 0) return nullptr;
        const bool chroma = p == 1 || p == 2;
        const int shift = chroma ? desc->log2_chroma_h : 0;
        const size_t height = static_cast<size_t>((frame.height + (1 << shift) - 1) >> shift);
        // The plane and the spare block after it lie inside the memory the frame holds.
        const AVBufferRef* memory = av_frame_get_plane_buffer(const_cast<AVFrame*>(&frame), p);
        if (memory == nullptr) return nullptr;
        const size_t end = static_cast<size_t>(frame.data[p] - memory->data) +
                           static_cast<size_t>(frame.linesize[p]) * height + PixelBuffer::kAlignment;
        if (frame.data[p] < memory->data || end > memory->size) return nullptr;
        planes[static_cast<size_t>(p)] = frame.data[p];
        rows[static_cast<size_t>(p)] = static_cast<size_t>(frame.linesize[p]);
    }
    AVFrame* reference = av_frame_clone(&frame);
    if (reference == nullptr) return nullptr;
    std::shared_ptr<AVFrame> owner(reference, [](AVFrame* f) { av_frame_free(&f); });
    return PixelBuffer::wrap(frame.width, frame.height, format, planes, rows, std::move(owner));
}

int adoptPicture(AVFrame* frame, AVPixelFormat format, int width, int height, const uint8_t* const planes[4],
                 const int32_t strides[4], void (*release)(void* picture, uint8_t*), void* picture) {
    AVBufferRef* owner =
        format == AV_PIX_FMT_NONE ? nullptr : av_buffer_create(nullptr, 0, release, picture, AV_BUFFER_FLAG_READONLY);
    if (owner == nullptr) {
        release(picture, nullptr);
        return format == AV_PIX_FMT_NONE ? AVERROR_PATCHWELCOME : AVERROR(ENOMEM);
    }
    av_frame_unref(frame);
    frame->buf[0] = owner;
    frame->format = format;
    frame->width = width;
    frame->height = height;
    for (int i = 0; i < 4; ++i) {
        frame->data[i] = const_cast<uint8_t*>(planes[i]);
        frame->linesize[i] = strides[i];
    }
    return 0;
}

void planePointers(PixelBuffer& buffer, uint8_t* data[4], int linesize[4]) {
    for (int p = 0; p < 4; ++p) {
        const bool present = p < buffer.planeCount();
        data[p] = present ? buffer.data(p) : nullptr;
        linesize[p] = present ? static_cast<int>(buffer.bytesPerRow(p)) : 0;
    }
}

void planePointers(const PixelBuffer& buffer, const uint8_t* data[4], int linesize[4]) {
    for (int p = 0; p < 4; ++p) {
        const bool present = p < buffer.planeCount();
        data[p] = present ? buffer.data(p) : nullptr;
        linesize[p] = present ? static_cast<int>(buffer.bytesPerRow(p)) : 0;
    }
}

void packPlanarRGB(const uint8_t* const planes[4], const int strides[4], int width, int rows, bool bgra, uint8_t* out,
                   size_t outStride) {
    for (int y = 0; y < rows; ++y, out += outStride) {
        const uint8_t* g = planes[0] + ptrdiff_t(strides[0]) * y;
        const uint8_t* byte0 = bgra ? planes[1] + ptrdiff_t(strides[1]) * y : planes[2] + ptrdiff_t(strides[2]) * y;
        const uint8_t* byte2 = bgra ? planes[2] + ptrdiff_t(strides[2]) * y : planes[1] + ptrdiff_t(strides[1]) * y;
        if (planes[3] != nullptr) {
            const uint8_t* a = planes[3] + ptrdiff_t(strides[3]) * y;
            for (int x = 0; x < width; ++x) {
                out[4 * x] = byte0[x];
                out[4 * x + 1] = g[x];
                out[4 * x + 2] = byte2[x];
                out[4 * x + 3] = a[x];
            }
        } else {
            for (int x = 0; x < width; ++x) {
                out[4 * x] = byte0[x];
                out[4 * x + 1] = g[x];
                out[4 * x + 2] = byte2[x];
                out[4 * x + 3] = 255;
            }
        }
    }
}

ColorTags colorTagsFrom(AVColorSpace space, AVColorPrimaries primaries, AVColorTransferCharacteristic transfer,
                        AVColorRange range) {
    ColorTags tags;
    switch (space) {
    case AVCOL_SPC_BT709: tags.matrix = ColorMatrix::bt709; break;
    case AVCOL_SPC_FCC: tags.matrix = ColorMatrix::fcc; break;
    case AVCOL_SPC_BT470BG: tags.matrix = ColorMatrix::bt470bg; break;
    case AVCOL_SPC_SMPTE170M: tags.matrix = ColorMatrix::smpte170m; break;
    case AVCOL_SPC_SMPTE240M: tags.matrix = ColorMatrix::smpte240m; break;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: tags.matrix = ColorMatrix::bt2020; break;
    default: break;
    }
    switch (primaries) {
    case AVCOL_PRI_BT709: tags.primaries = ColorPrimaries::bt709; break;
    case AVCOL_PRI_BT470BG: tags.primaries = ColorPrimaries::bt470bg; break;
    case AVCOL_PRI_SMPTE170M: tags.primaries = ColorPrimaries::smpte170m; break;
    case AVCOL_PRI_BT2020: tags.primaries = ColorPrimaries::bt2020; break;
    default: break;
    }
    switch (transfer) {
    case AVCOL_TRC_BT709: tags.transfer = TransferFunction::bt709; break;
    case AVCOL_TRC_LINEAR: tags.transfer = TransferFunction::linear; break;
    case AVCOL_TRC_IEC61966_2_1: tags.transfer = TransferFunction::srgb; break;
    case AVCOL_TRC_SMPTE2084: tags.transfer = TransferFunction::pq; break;
    case AVCOL_TRC_ARIB_STD_B67: tags.transfer = TransferFunction::hlg; break;
    default: break;
    }
    switch (range) {
    case AVCOL_RANGE_MPEG: tags.range = ColorRange::video; break;
    case AVCOL_RANGE_JPEG: tags.range = ColorRange::full; break;
    default: break;
    }
    return tags;
}

ColourDescription colourOf(const AVCodecParameters& par) {
    return {par.color_space, par.color_primaries, par.color_trc, par.color_range};
}

namespace {

bool describesColour(const ColourDescription& d) {
    return d.matrix != AVCOL_SPC_UNSPECIFIED || d.primaries != AVCOL_PRI_UNSPECIFIED || d.transfer != AVCOL_TRC_UNSPECIFIED;
}

// HEVC decoders give limited range where the stream says nothing of its colour, as where it
// states limited range alone.
bool hevcDefaultRange(const ColourDescription& coded, AVCodecID codec) {
    return codec == AV_CODEC_ID_HEVC && !describesColour(coded) && coded.range == AVCOL_RANGE_MPEG;
}

}  // namespace

ColourDescription describedWhereUnsaid(const ColourDescription& coded, const ColourDescription& container, bool rangeUnsaid) {
    ColourDescription d = coded;
    if (d.matrix == AVCOL_SPC_UNSPECIFIED) d.matrix = container.matrix;
    if (d.primaries == AVCOL_PRI_UNSPECIFIED) d.primaries = container.primaries;
    if (d.transfer == AVCOL_TRC_UNSPECIFIED) d.transfer = container.transfer;
    if ((rangeUnsaid || d.range == AVCOL_RANGE_UNSPECIFIED) && container.range != AVCOL_RANGE_UNSPECIFIED)
        d.range = container.range;
    return d;
}

void describeWhereUnsaid(AVCodecParameters& par, const ColourDescription& container) {
    const ColourDescription coded = colourOf(par);
    // Which HEVC streams state their range, their parameter sets tell; failing those, the decoder's guess.
    const std::optional<bool> stated =
        par.codec_id == AV_CODEC_ID_HEVC
            ? hevcConfigurationStatesSignalType(par.extradata, par.extradata_size > 0 ? size_t(par.extradata_size) : 0)
            : std::nullopt;
    const ColourDescription d =
        describedWhereUnsaid(coded, container, stated ? !*stated : hevcDefaultRange(coded, par.codec_id));
    par.color_space = d.matrix;
    par.color_primaries = d.primaries;
    par.color_trc = d.transfer;
    par.color_range = d.range;
}

void describeUnsaidColour(AVFrame& frame, const AVCodecParameters& stream) {
    const ColourDescription coded{frame.colorspace, frame.color_primaries, frame.color_trc, frame.color_range};
    // The stream's parameters hold the range its coded stream states, or else its container's.
    const ColourDescription d = describedWhereUnsaid(coded, colourOf(stream), hevcDefaultRange(coded, stream.codec_id));
    frame.colorspace = d.matrix;
    frame.color_primaries = d.primaries;
    frame.color_trc = d.transfer;
    frame.color_range = d.range;
}

AVColorSpace toAVColorSpace(ColorMatrix matrix) {
    switch (matrix) {
    case ColorMatrix::bt709: return AVCOL_SPC_BT709;
    case ColorMatrix::fcc: return AVCOL_SPC_FCC;
    case ColorMatrix::bt470bg: return AVCOL_SPC_BT470BG;
    case ColorMatrix::smpte170m: return AVCOL_SPC_SMPTE170M;
    case ColorMatrix::smpte240m: return AVCOL_SPC_SMPTE240M;
    case ColorMatrix::bt2020: return AVCOL_SPC_BT2020_NCL;
    case ColorMatrix::unspecified: break;
    }
    return AVCOL_SPC_UNSPECIFIED;
}

AVColorPrimaries toAVColorPrimaries(ColorPrimaries primaries) {
    switch (primaries) {
    case ColorPrimaries::bt709: return AVCOL_PRI_BT709;
    case ColorPrimaries::bt470bg: return AVCOL_PRI_BT470BG;
    case ColorPrimaries::smpte170m: return AVCOL_PRI_SMPTE170M;
    case ColorPrimaries::bt2020: return AVCOL_PRI_BT2020;
    case ColorPrimaries::unspecified: break;
    }
    return AVCOL_PRI_UNSPECIFIED;
}

AVColorTransferCharacteristic toAVTransfer(TransferFunction transfer) {
    switch (transfer) {
    case TransferFunction::bt709: return AVCOL_TRC_BT709;
    case TransferFunction::linear: return AVCOL_TRC_LINEAR;
    case TransferFunction::srgb: return AVCOL_TRC_IEC61966_2_1;
    case TransferFunction::pq: return AVCOL_TRC_SMPTE2084;
    case TransferFunction::hlg: return AVCOL_TRC_ARIB_STD_B67;
    case TransferFunction::unspecified: break;
    }
    return AVCOL_TRC_UNSPECIFIED;
}

AVColorRange toAVColorRange(ColorRange range) {
    switch (range) {
    case ColorRange::video: return AVCOL_RANGE_MPEG;
    case ColorRange::full: return AVCOL_RANGE_JPEG;
    case ColorRange::unspecified: break;
    }
    return AVCOL_RANGE_UNSPECIFIED;
}

MediaTime mediaTimeFrom(int64_t timestamp, AVRational timeBase) {
    if (timestamp == AV_NOPTS_VALUE || timeBase.num <= 0 || timeBase.den <= 0) return MediaTime::invalid();
    if (timeBase.num == 1) return MediaTime::make(timestamp, timeBase.den);
    // num/den with num > 1: value x num on scale den, exact while it fits.
    __extension__ typedef __int128 Wide;
    const Wide scaled = static_cast<Wide>(timestamp) * timeBase.num;
    if (scaled <= std::numeric_limits<int64_t>::max() && scaled >= std::numeric_limits<int64_t>::min())
        return MediaTime::make(static_cast<int64_t>(scaled), timeBase.den);
    return MediaTime::make(av_rescale_q(timestamp, timeBase, AVRational{1, 1000000}), 1000000);
}

int64_t timestampFrom(const MediaTime& time, AVRational timeBase) {
    if (!time.isNumeric() || timeBase.num <= 0 || timeBase.den <= 0) return AV_NOPTS_VALUE;
    return av_rescale_q_rnd(time.value, AVRational{1, time.timescale}, timeBase,
                            static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
}

MediaTime streamDuration(const AVStream& stream) {
    if (stream.duration != AV_NOPTS_VALUE && stream.duration > 0) return mediaTimeFrom(stream.duration, stream.time_base);
    return taggedDuration(stream);
}

MediaTime taggedDuration(const AVStream& stream, const MediaTime& lastEnd) {
    const AVDictionaryEntry* tag = av_dict_get(stream.metadata, "DURATION", nullptr, 0);
    int64_t value = 0;
    if (tag == nullptr || av_parse_time(&value, tag->value, 1) < 0 || value <= 0) return MediaTime::invalid();
    const MediaTime tagged = MediaTime::make(value, AV_TIME_BASE);
    const MediaTime start = stream.start_time != AV_NOPTS_VALUE ? mediaTimeFrom(stream.start_time, stream.time_base)
                                                                : MediaTime::zero();
    const MediaTime first = start.isNumeric() ? start : MediaTime::zero();
    const MediaTime toEnd = tagged - first;  // the tag an end on the file's time line
    // A length meets the last packet's end to the millisecond (libavformat's end may fall short of
    // it by the codec's padding, within the last packet); or, far from a packet's length off as an
    // end, it is the nearer reading.
    if (lastEnd.isNumeric() && first != MediaTime::zero()) {
        const auto distance = [&](const MediaTime& end) { return end > lastEnd ? end - lastEnd : lastEnd - end; };
        const MediaTime asLength = distance(first + tagged), asEnd = distance(tagged);
        if (asLength <= MediaTime::make(1, 1000) || (asEnd > MediaTime::make(1, 10) && asLength < asEnd)) return tagged;
    }
    return toEnd > MediaTime::zero() ? toEnd : MediaTime::invalid();
}

}  // namespace qm::ffmpeg
