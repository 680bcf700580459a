// H.264 through the newer libavcodec linked into this library. Debian's 5.1 decoder, on frame
// threads, hands a picture out with the marks it had when a later thread output it, which may be
// before its own thread concealed a damaged slice; on slice threads it turns concealment off and
// drops the errors of pictures of several slices. Our patch to this one hands each picture's marks
// on by reference, and they are read here, once the picture has reached us; another marks a
// picture decoded from a reference the stream lacks (a sample dropped: frame numbers that skip where
// the stream does not allow it, a reference list naming a picture not there), which the decoder
// would otherwise decode from one it made up without a word.
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>

#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
#include <libavutil/buffer.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>

#include "private_decoding.h"
#include "quillmere_h264.h"

struct qm_h264_decoder {
    AVCodecContext* context;
    AVPacket* packet;
};

typedef struct Holder {
    qm_h264_picture picture;  // first (private_decoding.h)
    AVFrame* frame;
} Holder;

enum { kMaxSide = 16384 };

int qm_h264_open(const uint8_t* extradata, size_t extradata_size, int time_base_num, int time_base_den, int threads,
                 qm_h264_decoder** decoder) {
    if (decoder == NULL || (extradata == NULL && extradata_size > 0) || extradata_size > (1u << 24) || threads < 0)
        return QM_HEVC_ALPHA_INVALID;
    *decoder = NULL;
    // Damage comes back as codes and marks; the decoder's notes on stderr would only be noise.
    av_log_set_level(AV_LOG_QUIET);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == NULL) return AVERROR_DECODER_NOT_FOUND;
    qm_h264_decoder* d = av_mallocz(sizeof *d);
    if (d == NULL) return AVERROR(ENOMEM);
    int rc = AVERROR(ENOMEM);
    d->context = avcodec_alloc_context3(codec);
    d->packet = av_packet_alloc();
    if (d->context == NULL || d->packet == NULL) goto fail;
    if (qm_set_extradata(d->context, extradata, extradata_size) < 0) goto fail;
    if (time_base_num > 0 && time_base_den > 0) d->context->pkt_timebase = (AVRational){time_base_num, time_base_den};
    d->context->thread_count = threads;
    // Frame threads alone: with slice threads the decoder conceals nothing and marks nothing.
    d->context->thread_type = FF_THREAD_FRAME;
    d->context->max_pixels = (int64_t)kMaxSide * kMaxSide;
    rc = avcodec_open2(d->context, codec, NULL);
    if (rc < 0) goto fail;
    *decoder = d;
    return 0;
fail:
    qm_h264_close(d);
    return rc;
}

void qm_h264_close(qm_h264_decoder* decoder) {
    if (decoder == NULL) return;
    avcodec_free_context(&decoder->context);
    av_packet_free(&decoder->packet);
    av_free(decoder);
}

int qm_h264_send(qm_h264_decoder* decoder, const uint8_t* data, size_t size, int64_t pts, int64_t dts,
                 int64_t duration, int flags) {
    if (decoder == NULL || (data != NULL && (size == 0 || size > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)))
        return QM_HEVC_ALPHA_INVALID;
    if (data == NULL) return avcodec_send_packet(decoder->context, NULL);
    AVPacket* packet = decoder->packet;
    int rc = qm_fill_packet(packet, data, size);
    if (rc < 0) return rc;
    packet->pts = pts;
    packet->dts = dts;
    packet->duration = duration > 0 ? duration : 0;
    if (flags & QM_H264_KEY) packet->flags |= AV_PKT_FLAG_KEY;
    if (flags & QM_H264_DISCARD) packet->flags |= AV_PKT_FLAG_DISCARD;
    decoder->context->skip_frame = (flags & QM_H264_SKIP_NONREF) ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    rc = avcodec_send_packet(decoder->context, packet);
    av_packet_unref(packet);
    return rc;
}

int qm_h264_receive(qm_h264_decoder* decoder, qm_h264_picture** picture) {
    if (decoder == NULL || picture == NULL) return QM_HEVC_ALPHA_INVALID;
    *picture = NULL;
    Holder* h = av_mallocz(sizeof *h);
    if (h == NULL) return AVERROR(ENOMEM);
    h->frame = av_frame_alloc();
    int rc = h->frame != NULL ? avcodec_receive_frame(decoder->context, h->frame) : AVERROR(ENOMEM);
    AVFrame* f = h->frame;
    const AVPixFmtDescriptor* desc = rc == 0 ? av_pix_fmt_desc_get((enum AVPixelFormat)f->format) : NULL;
    if (rc == 0 && (desc == NULL || (desc->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BE)) != 0 ||
                    strlen(desc->name) >= sizeof h->picture.format || f->width < 1 || f->height < 1))
        rc = AVERROR_PATCHWELCOME;
    if (rc < 0) {
        qm_h264_release(&h->picture);
        return rc;
    }
    // The picture's own thread has finished: its marks are final now.
    if (f->opaque_ref != NULL) {
        f->decode_error_flags |= atomic_load((const atomic_int*)f->opaque_ref->data);
        av_buffer_unref(&f->opaque_ref);
    }
    qm_h264_picture* p = &h->picture;
    p->width = f->width;
    p->height = f->height;
    snprintf(p->format, sizeof p->format, "%s", desc->name);
    for (int i = 0; i < 4; ++i) {
        p->planes[i] = f->data[i];
        p->strides[i] = f->linesize[i];
    }
    p->pts = f->pts;
    p->dts = f->pkt_dts;
    p->best_effort_pts = f->best_effort_timestamp;
    p->duration = f->duration;
    p->key_frame = (f->flags & AV_FRAME_FLAG_KEY) != 0;
    p->damaged = f->decode_error_flags != 0 || (f->flags & AV_FRAME_FLAG_CORRUPT) != 0;
    p->matrix = f->colorspace;
    p->primaries = f->color_primaries;
    p->transfer = f->color_trc;
    p->range = f->color_range;
    p->chroma_location = f->chroma_location;
    p->sar_num = f->sample_aspect_ratio.num;
    p->sar_den = f->sample_aspect_ratio.den;
    p->interlaced = (f->flags & AV_FRAME_FLAG_INTERLACED) != 0;
    p->top_field_first = (f->flags & AV_FRAME_FLAG_TOP_FIELD_FIRST) != 0;
    p->repeat_pict = f->repeat_pict;
    *picture = p;
    return 0;
}

void qm_h264_release(qm_h264_picture* picture) {
    if (picture == NULL) return;
    Holder* h = (Holder*)picture;
    qm_free_holder(h, &h->frame);
}

int qm_h264_reorder_depth(const qm_h264_decoder* decoder) {
    return decoder != NULL ? decoder->context->has_b_frames : 0;
}

int qm_h264_frame_threads(const qm_h264_decoder* decoder) {
    return decoder != NULL && (decoder->context->active_thread_type & FF_THREAD_FRAME) != 0;
}
