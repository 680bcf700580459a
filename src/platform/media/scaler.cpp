#include "platform/media/scaler.h"

#include <cerrno>
#include <string>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "platform/media/ffmpeg_internal.h"
#include "platform/media/media_error.h"

namespace qm {

namespace {

constexpr const char* kStep = "pixel transfer";

bool isJPEGFormat(AVPixelFormat format) {
    return format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ420P ||
           format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

// A frame over memory the caller owns: the empty buffer reference only keeps the library from
// copying the source or allocating a destination of its own.
ffmpeg::FramePtr borrowedFrame(const uint8_t* const planes[4], const int strides[4], int width, int height,
                               AVPixelFormat format) {
    ffmpeg::FramePtr frame(av_frame_alloc());
    if (!frame) throw MediaError::fromCode(kStep, AVERROR(ENOMEM));
    frame->width = width;
    frame->height = height;
    frame->format = format;
    for (int p = 0; p < 4; ++p) {
        frame->data[p] = const_cast<uint8_t*>(planes[p]);
        frame->linesize[p] = planes[p] != nullptr ? strides[p] : 0;
    }
    frame->buf[0] = av_buffer_create(frame->data[0], 1, [](void*, uint8_t*) {}, nullptr, 0);
    if (frame->buf[0] == nullptr) throw MediaError::fromCode(kStep, AVERROR(ENOMEM));
    return frame;
}

}  // namespace

bool isYCbCrFormat(AVPixelFormat format) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    return desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_RGB) == 0 && desc->nb_components >= 3;
}

int scalerColorspace(ColorMatrix matrix) {
    switch (matrix) {
    case ColorMatrix::fcc: return SWS_CS_FCC;
    case ColorMatrix::bt470bg: return SWS_CS_ITU601;
    case ColorMatrix::smpte170m: return SWS_CS_SMPTE170M;
    case ColorMatrix::smpte240m: return SWS_CS_SMPTE240M;
    case ColorMatrix::bt2020: return SWS_CS_BT2020;
    case ColorMatrix::bt709:
    case ColorMatrix::unspecified: break;
    }
    return SWS_CS_ITU709;
}

AVPixelFormat scalerFormat(AVPixelFormat format) {
    switch (format) {
    case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: return AV_PIX_FMT_YUV411P;
    default: return format;
    }
}

int scalerFlags(AVPixelFormat source, int sourceWidth, int sourceHeight, AVPixelFormat destination,
                int destinationWidth, int destinationHeight) {
    const bool sameSize = sourceWidth == destinationWidth && sourceHeight == destinationHeight;
    // A repack between RGB layouts: no filter runs, so nothing is lost to one.
    if (sameSize && !isYCbCrFormat(source) && !isYCbCrFormat(destination)) return SWS_POINT;
    return SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT;
}

Scaler::Geometry Scaler::geometryFor(int sourceWidth, int sourceHeight, AVPixelFormat source, int destinationWidth,
                                     int destinationHeight, AVPixelFormat destination, int threads) {
    const AVPixelFormat from = scalerFormat(source);
    const AVPixelFormat to = scalerFormat(destination);
    return {sourceWidth,      sourceHeight, from, destinationWidth, destinationHeight, to,
            scalerFlags(from, sourceWidth, sourceHeight, to, destinationWidth, destinationHeight), threads};
}

Scaler::Colour Scaler::colourFor(AVPixelFormat source, const ColorTags& tags, AVPixelFormat destination) {
    Colour colour{SWS_CS_ITU709, 0, SWS_CS_ITU709, 0};
    if (isYCbCrFormat(source)) {
        colour.sourceSpace = scalerColorspace(tags.matrix);
        colour.sourceRange = tags.range == ColorRange::full    ? 1
                             : tags.range == ColorRange::video ? 0
                                                               : isJPEGFormat(source) ? 1 : 0;
    }
    if (isYCbCrFormat(destination)) colour.destinationRange = isJPEGFormat(destination) ? 1 : 0;
    return colour;
}

Scaler::~Scaler() { sws_freeContext(context_); }

void Scaler::prepare(const Geometry& geometry, const Colour& colour) {
    // Only a same-size conversion between Y'CbCr formats can be a plain copy that ignores ranges
    // set after the context is made; other contexts take new ranges as they are.
    const bool rangesFixedAtMaking = geometry.sourceWidth == geometry.destinationWidth &&
                                     geometry.sourceHeight == geometry.destinationHeight &&
                                     isYCbCrFormat(geometry.sourceFormat) && isYCbCrFormat(geometry.destinationFormat);
    if (context_ == nullptr || !(geometry == geometry_) ||
        (rangesFixedAtMaking &&
         (colour.sourceRange != madeSourceRange_ || colour.destinationRange != madeDestinationRange_))) {
        sws_freeContext(context_);
        context_ = nullptr;
        colourSet_ = false;  // a new context starts with the library's defaults
        SwsContext* context = sws_alloc_context();
        if (context == nullptr) throw MediaError::fromCode(kStep, AVERROR(ENOMEM));
        int rc = 0;
        for (auto [name, value] :
             {std::pair<const char*, int64_t>{"srcw", geometry.sourceWidth}, {"srch", geometry.sourceHeight},
              {"dstw", geometry.destinationWidth}, {"dsth", geometry.destinationHeight},
              {"sws_flags", geometry.flags}, {"threads", geometry.threads}, {"src_range", colour.sourceRange},
              {"dst_range", colour.destinationRange}})
            if (rc >= 0) rc = av_opt_set_int(context, name, value, 0);
        if (rc >= 0) rc = av_opt_set_pixel_fmt(context, "src_format", geometry.sourceFormat, 0);
        if (rc >= 0) rc = av_opt_set_pixel_fmt(context, "dst_format", geometry.destinationFormat, 0);
        if (rc < 0) {
            sws_freeContext(context);
            throw MediaError::fromCode(kStep, rc);
        }
        if (sws_init_context(context, nullptr, nullptr) < 0) {
            sws_freeContext(context);
            const char* name = av_get_pix_fmt_name(geometry.sourceFormat);
            throw MediaError(kStep, std::string("no conversion from ") + (name != nullptr ? name : "unknown format"));
        }
        context_ = context;
        geometry_ = geometry;
        madeSourceRange_ = colour.sourceRange;
        madeDestinationRange_ = colour.destinationRange;
    }
    if (colourSet_ && colour == applied_) return;
    colourSet_ = false;  // whatever the context holds after a failure is unknown
    if (sws_setColorspaceDetails(context_, sws_getCoefficients(colour.sourceSpace), colour.sourceRange,
                                 sws_getCoefficients(colour.destinationSpace), colour.destinationRange, 0, 1 << 16,
                                 1 << 16) < 0) {
        const char* name = av_get_pix_fmt_name(geometry.sourceFormat);
        throw MediaError(kStep, std::string("no colour conversion from ") + (name != nullptr ? name : "unknown format"));
    }
    applied_ = colour;
    colourSet_ = true;
}

void Scaler::scale(const uint8_t* const source[4], const int sourceStrides[4], uint8_t* const destination[4],
                   const int destinationStrides[4]) {
    if (context_ == nullptr) throw MediaError::fromCode(kStep, AVERROR(EINVAL));
    if (geometry_.threads == 1) {
        const int rows = sws_scale(context_, source, sourceStrides, 0, geometry_.sourceHeight, destination,
                                   destinationStrides);
        if (rows < 0) throw MediaError::fromCode(kStep, rows);
        if (rows != geometry_.destinationHeight) throw MediaError::fromCode(kStep, AVERROR_BUG);
        return;
    }
    // Only the frame interface slices the work over the context's threads.
    ffmpeg::FramePtr in = borrowedFrame(source, sourceStrides, geometry_.sourceWidth, geometry_.sourceHeight,
                                        geometry_.sourceFormat);
    ffmpeg::FramePtr out = borrowedFrame(destination, destinationStrides, geometry_.destinationWidth,
                                         geometry_.destinationHeight, geometry_.destinationFormat);
    const int rc = sws_scale_frame(context_, out.get(), in.get());
    if (rc < 0) throw MediaError::fromCode(kStep, rc);
}

}  // namespace qm
