// NotchLC frames: decoded by libavcodec's notchlc decoder (12-bit YUV with alpha), converted by
// libswscale into the caller's BGRA or 16-bit RGBA rows.

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "lgpl/quillmere_lgpl.h"

struct qm_notchlc_context {
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* sws = nullptr;
    // What `sws` was made for.
    int swsWidth = 0;
    int swsHeight = 0;
    int swsSource = AV_PIX_FMT_NONE;
    int swsTarget = AV_PIX_FMT_NONE;
    int swsMatrix = -1;
    int swsRange = -1;
};

namespace {

constexpr int32_t kMaxSide = 16384;
// Room for a coded picture padded beyond the destination size.
constexpr int64_t kPaddingAllowance = 64;

void release(qm_notchlc_context* c) {
    sws_freeContext(c->sws);
    av_frame_free(&c->frame);
    av_packet_free(&c->packet);
    avcodec_free_context(&c->codec);
}

int matrixFor(const AVFrame* frame) {
    switch (frame->colorspace) {
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return SWS_CS_ITU709;
    }
}

// A converter from the frame's layout to the destination's, remade only when either changes.
SwsContext* converter(qm_notchlc_context* c, const AVFrame* frame, int width, int height, AVPixelFormat target) {
    const int matrix = matrixFor(frame);
    const int fullRange = frame->color_range == AVCOL_RANGE_MPEG ? 0 : 1;
    if (c->sws != nullptr && c->swsWidth == width && c->swsHeight == height && c->swsSource == frame->format &&
        c->swsTarget == target && c->swsMatrix == matrix && c->swsRange == fullRange) {
        return c->sws;
    }
    sws_freeContext(c->sws);
    c->sws = nullptr;
    SwsContext* sws = sws_alloc_context();
    if (sws == nullptr) return nullptr;
    av_opt_set_int(sws, "srcw", width, 0);
    av_opt_set_int(sws, "srch", height, 0);
    av_opt_set_int(sws, "src_format", frame->format, 0);
    av_opt_set_int(sws, "dstw", width, 0);
    av_opt_set_int(sws, "dsth", height, 0);
    av_opt_set_int(sws, "dst_format", target, 0);
    av_opt_set_int(sws, "sws_flags", SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP, 0);
    // Same pixels for the same frame, whatever was decoded before it.
    av_opt_set(sws, "dither", "none", 0);
    if (sws_init_context(sws, nullptr, nullptr) < 0) {
        sws_freeContext(sws);
        return nullptr;
    }
    const int* coefficients = sws_getCoefficients(matrix);
    if (sws_setColorspaceDetails(sws, coefficients, fullRange, coefficients, 1, 0, 1 << 16, 1 << 16) < 0) {
        sws_freeContext(sws);
        return nullptr;
    }
    c->sws = sws;
    c->swsWidth = width;
    c->swsHeight = height;
    c->swsSource = frame->format;
    c->swsTarget = target;
    c->swsMatrix = matrix;
    c->swsRange = fullRange;
    return sws;
}

// libswscale widens deep samples to 16 bits by a plain shift (12-bit 4095 becomes 65520), so full
// scale would come out short of white and of opaque. Colour is stretched back to full scale and
// alpha rebuilt from the source by bit replication.
void widenToFullScale(const AVFrame* frame, int width, int height, uint8_t* dst, size_t bytesPerRow) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    if (desc == nullptr) return;
    const int depth = desc->comp[0].depth;
    if (depth <= 8 || depth >= 16) return;
    const bool planarAlpha = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0 && (desc->flags & AV_PIX_FMT_FLAG_PLANAR) != 0 &&
                             desc->nb_components == 4 && frame->data[3] != nullptr && desc->comp[3].depth == depth;
    for (int y = 0; y < height; ++y) {
        uint8_t* out = dst + static_cast<size_t>(y) * bytesPerRow;
        const uint8_t* alphaRow =
            planarAlpha ? frame->data[3] + static_cast<ptrdiff_t>(y) * frame->linesize[3] : nullptr;
        for (int x = 0; x < width; ++x) {
            uint16_t px[4];
            std::memcpy(px, out + 8 * static_cast<size_t>(x), 8);
            for (int c = 0; c < 3; ++c) px[c] = static_cast<uint16_t>(std::min(65535u, unsigned(px[c]) + (unsigned(px[c]) >> depth)));
            if (alphaRow != nullptr) {
                uint16_t a;
                std::memcpy(&a, alphaRow + 2 * x, 2);
                uint32_t wide = uint32_t(a) << (16 - depth);
                for (int filled = depth; filled < 16; filled += depth) wide |= wide >> filled;
                px[3] = static_cast<uint16_t>(wide);
            }
            std::memcpy(out + 8 * static_cast<size_t>(x), px, 8);
        }
    }
}

// Whether any picture pixel is less than fully opaque.
bool anyTranslucent(const AVFrame* frame, int width, int height) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    if (desc == nullptr || (desc->flags & AV_PIX_FMT_FLAG_ALPHA) == 0 || (desc->flags & AV_PIX_FMT_FLAG_PLANAR) == 0 ||
        desc->nb_components != 4 || frame->data[3] == nullptr) {
        return false;
    }
    const int depth = desc->comp[3].depth;
    const uint32_t opaque = (1u << depth) - 1;
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = frame->data[3] + static_cast<ptrdiff_t>(y) * frame->linesize[3];
        if (depth > 8) {
            for (int x = 0; x < width; ++x) {
                uint16_t v;
                std::memcpy(&v, row + 2 * x, 2);
                if (v < opaque) return true;
            }
        } else {
            for (int x = 0; x < width; ++x) {
                if (row[x] < opaque) return true;
            }
        }
    }
    return false;
}

}  // namespace

extern "C" {

qm_notchlc_context* qm_notchlc_create(void) {
    const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_NOTCHLC);
    if (decoder == nullptr) return nullptr;
    auto* c = new (std::nothrow) qm_notchlc_context();
    if (c == nullptr) return nullptr;
    c->codec = avcodec_alloc_context3(decoder);
    c->packet = av_packet_alloc();
    c->frame = av_frame_alloc();
    if (c->codec == nullptr || c->packet == nullptr || c->frame == nullptr) {
        release(c);
        delete c;
        return nullptr;
    }
    // One frame at a time per context; the callers decode several contexts in parallel.
    c->codec->thread_count = 1;
    if (avcodec_open2(c->codec, decoder, nullptr) < 0) {
        release(c);
        delete c;
        return nullptr;
    }
    return c;
}

void qm_notchlc_destroy(qm_notchlc_context* context) {
    if (context == nullptr) return;
    release(context);
    delete context;
}

int32_t qm_notchlc_decode(qm_notchlc_context* context, const uint8_t* bytes, size_t byteCount, int32_t outputFormat,
                          void* dst, size_t bytesPerRow, int32_t width, int32_t height, int32_t* hasAlpha) {
    if (context == nullptr || dst == nullptr || hasAlpha == nullptr || bytes == nullptr || byteCount == 0) {
        return QM_LGPL_INVALID;
    }
    if (outputFormat != QM_NOTCHLC_BGRA && outputFormat != QM_NOTCHLC_RGBA64) return QM_LGPL_INVALID;
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return QM_LGPL_INVALID;
    const size_t pixelBytes = outputFormat == QM_NOTCHLC_BGRA ? 4 : 8;
    if (bytesPerRow < pixelBytes * static_cast<size_t>(width) || bytesPerRow > INT_MAX) return QM_LGPL_INVALID;
    if (byteCount > static_cast<size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) return QM_LGPL_INVALID;

    AVCodecContext* codec = context->codec;
    // The decoder allocates the coded picture size before we see it: bound it by the destination.
    codec->max_pixels = (width + kPaddingAllowance) * (height + kPaddingAllowance);

    AVPacket* packet = context->packet;
    av_packet_unref(packet);
    if (av_new_packet(packet, static_cast<int>(byteCount)) < 0) return QM_LGPL_NO_MEMORY;
    std::memcpy(packet->data, bytes, byteCount);

    AVFrame* frame = context->frame;
    av_frame_unref(frame);
    int rc = avcodec_send_packet(codec, packet);
    av_packet_unref(packet);
    if (rc >= 0) rc = avcodec_receive_frame(codec, frame);
    if (rc < 0) {
        // A rejected frame must not leave state behind for the next one.
        avcodec_flush_buffers(codec);
        av_frame_unref(frame);
        return rc == AVERROR(ENOMEM) ? QM_LGPL_NO_MEMORY : QM_LGPL_INVALID;
    }
    if (frame->width < width || frame->height < height) {
        av_frame_unref(frame);
        return QM_LGPL_INVALID;
    }

    const AVPixelFormat target = outputFormat == QM_NOTCHLC_BGRA ? AV_PIX_FMT_BGRA : AV_PIX_FMT_RGBA64LE;
    SwsContext* sws = converter(context, frame, width, height, target);
    if (sws == nullptr) {
        av_frame_unref(frame);
        return QM_LGPL_NO_MEMORY;
    }
    uint8_t* dstPlanes[4] = {static_cast<uint8_t*>(dst), nullptr, nullptr, nullptr};
    const int dstStrides[4] = {static_cast<int>(bytesPerRow), 0, 0, 0};
    // A larger coded picture is cropped: the converter reads only its top-left width x height.
    const int rows = sws_scale(sws, frame->data, frame->linesize, 0, height, dstPlanes, dstStrides);
    if (target == AV_PIX_FMT_RGBA64LE) widenToFullScale(frame, width, height, dstPlanes[0], bytesPerRow);
    *hasAlpha = anyTranslucent(frame, width, height) ? 1 : 0;
    av_frame_unref(frame);
    return rows == height ? QM_LGPL_OK : QM_LGPL_INVALID;
}

}  // extern "C"
