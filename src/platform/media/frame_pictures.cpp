#include <cstring>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include "platform/media/reader_internal.h"

namespace qm::reading {

PixelBufferRef FramePictures::picture(const AVFrame* f, int width, int height) {
    if (width <= 0 || height <= 0) width = f->width, height = f->height;
    const bool resize = width != f->width || height != f->height;
    const auto avFormat = static_cast<AVPixelFormat>(f->format);
    const uint32_t own = ffmpeg::pixelFormatOf(*f);
    uint32_t target = pixelFormat_;
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
    if (ffmpeg::isFullRangeFormat(own)) sourceTags.range = ColorRange::full;
    if (unconverted && !resize) {
        // The decoder's own memory, shared, where its layout allows; a copy otherwise.
        if (PixelBufferRef shared = ffmpeg::wrapFrame(*f)) {
            shared->setColorTags(sourceTags);
            return shared;
        }
    }
    Conversion& c = resize ? scaled_ : same_;
    if (!c.pool || c.pool->width() != width || c.pool->height() != height || c.pool->pixelFormat() != target)
        c.pool = makePixelBufferPool(width, height, target);
    if (unconverted && !resize) {
        PixelBufferRef out = makePixelBuffer(c.pool);
        uint8_t* dst[4];
        int dstStride[4];
        ffmpeg::planePointers(*out, dst, dstStride);
        av_image_copy(dst, dstStride, const_cast<const uint8_t**>(f->data), f->linesize, avFormat, f->width, f->height);
        out->setColorTags(sourceTags);
        return out;
    }
    return converted(f, c, target, width, height, sourceTags);
}

PixelBufferRef FramePictures::converted(const AVFrame* f, Conversion& c, uint32_t target, int width, int height,
                                        const ColorTags& sourceTags) {
    const AVPixelFormat dstFormat = ffmpeg::toAVPixelFormat(target);
    if (dstFormat == AV_PIX_FMT_NONE) throw MediaError("pixel transfer", "unsupported pixel format " + fourCCString(target));
    const auto avFormat = static_cast<AVPixelFormat>(f->format);
    const AVPixFmtDescriptor* sourceDesc = av_pix_fmt_desc_get(avFormat);
    const bool subsampled = sourceDesc != nullptr && sourceDesc->log2_chroma_w > 0;
    // Full-chroma 8-bit RGB is made planar and packed after: the same bytes, several times faster.
    const bool planar = subsampled && (dstFormat == AV_PIX_FMT_BGRA || dstFormat == AV_PIX_FMT_RGBA);
    const bool alpha = sourceDesc != nullptr && (sourceDesc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
    const AVPixelFormat convertTo = !planar ? dstFormat : alpha ? AV_PIX_FMT_GBRAP : AV_PIX_FMT_GBRP;
    // Sliced over the processor's threads: this runs on the reading thread, once per frame.
    c.scaler.prepare(Scaler::geometryFor(f->width, f->height, avFormat, width, height, convertTo, 0),
                     Scaler::colourFor(scalerFormat(avFormat), sourceTags, convertTo));

    PixelBufferRef out = makePixelBuffer(c.pool);
    uint8_t* dst[4];
    int dstStride[4];
    ffmpeg::planePointers(*out, dst, dstStride);
    const uint8_t* src[4] = {f->data[0], f->data[1], f->data[2], f->data[3]};
    if (planar) {
        const int stride = (width + 63) & ~63;
        const size_t planeBytes = size_t(stride) * size_t(height);
        c.planes.resize(planeBytes * 4 + 64);
        uint8_t* base = c.planes.data() + (64 - reinterpret_cast<uintptr_t>(c.planes.data()) % 64) % 64;
        uint8_t* planes[4];
        int strides[4];
        for (int p = 0; p < 4; ++p) {
            planes[p] = p < 3 || alpha ? base + planeBytes * size_t(p) : nullptr;
            strides[p] = p < 3 || alpha ? stride : 0;
        }
        c.scaler.scale(src, f->linesize, planes, strides);
        ffmpeg::packPlanarRGB(planes, strides, width, height, dstFormat == AV_PIX_FMT_BGRA, dst[0], size_t(dstStride[0]));
    } else {
        c.scaler.scale(src, f->linesize, dst, dstStride);
    }
    ColorTags tags = sourceTags;
    if (tags.matrix == ColorMatrix::unspecified) tags.matrix = ColorMatrix::bt709;
    tags.range = ColorRange::unspecified;
    out->setColorTags(tags);
    return out;
}

}  // namespace qm::reading
