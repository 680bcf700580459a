// Both layers of HEVC with alpha through the newer libavcodec linked into this library: its HEVC
// decoder gives the colour layer with the alpha layer as a fourth plane.
#include <errno.h>
#include <stdio.h>
#include <pthread.h>
#include <stdatomic.h>
#include <string.h>

#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>

#include "private_decoding.h"
#include "quillmere_hevc_alpha.h"

_Static_assert(QM_HEVC_ALPHA_AGAIN == AVERROR(EAGAIN), "the codes are FFmpeg's");
_Static_assert(QM_HEVC_ALPHA_EOF == AVERROR_EOF, "the codes are FFmpeg's");
_Static_assert(QM_HEVC_ALPHA_INVALID == AVERROR(EINVAL), "the codes are FFmpeg's");

// Samples whose alpha-layer picture was started, remembered for as many samples as pictures can
// wait in reorder before they come out (the decoded picture buffer holds 16).
enum { kRemembered = 64 };
// A sample whose picture has not come out this many samples later never will: no picture waits in
// the decoded picture buffer that long.
enum { kOverdue = 48 };

// What a decoder shares with the luma buffers of the pictures it allocates, which may outlive it.
// Atomic: a picture handed out may be released on another thread than the one decoding.
typedef struct Tracker {
    _Atomic int64_t newest;  // the number of the newest allocation
    // By sample number modulo kRemembered: the samples whose alpha-layer picture was allocated.
    _Atomic int64_t alpha_started[kRemembered];
} Tracker;

// A sample sent whose picture has not come out yet.
typedef struct Pending {
    int64_t sample;
    int64_t pts;
} Pending;

// The public picture first, so that a picture pointer is the holder's.
typedef struct Holder {
    qm_hevc_alpha_picture picture;
    AVFrame* frame;
} Holder;

struct qm_hevc_alpha_decoder {
    AVCodecContext* context;
    AVPacket* packet;
    AVBufferRef* tracker;
    // Each sample sent is numbered from 1; its pictures carry the number as their opaque value.
    int64_t sent;
    int64_t sent_pts;  // the time of the last sample sent
    int64_t dropped_pts;
    // The decoder says nothing of a sample it could not make a picture of (its slice headers damaged,
    // say): every sample that should give one is remembered, in the order sent, until it does.
    Pending pending[kRemembered];
    int pending_count;
    // The next picture, handed out once no remembered sample shown before it is still missing;
    // held_rc is QM_HEVC_ALPHA_NO_ALPHA or QM_HEVC_ALPHA_DAMAGED for one refused, held_pts its time.
    Holder* held;
    int held_rc;
    int64_t held_pts;
    int64_t held_order;  // the time sent with its sample, by which pictures come out
    // How samples mark their NAL units: the length prefix's size from the hvcC, 0 for start codes.
    int nal_length_size;
    // Decoding began (or began anew) at a CRA or BLA picture, whose skipped leading (RASL) pictures
    // give none; at_start: no random access point since opening, a flush or an end of sequence.
    int skipping_leading;
    int at_start;
};

// As large a side as the rest of the program takes.
enum { kMaxSide = 16384 };

const char* qm_hevc_alpha_version(void) { return av_version_info(); }

// Every failure comes back as a code; the decoder's own explanations on stderr (one per damaged
// unit, and notes on every alpha stream's layers) would only be noise beside it.
static pthread_once_t quiet = PTHREAD_ONCE_INIT;
static void silence(void) { av_log_set_level(AV_LOG_QUIET); }

// One allocated picture's luma buffer, wrapped so that its release is seen.
typedef struct Luma {
    AVBufferRef* inner;
    AVBufferRef* tracker;
    int64_t allocation;
    int64_t sample;
} Luma;

// The alpha layer decodes into the colour picture's fourth plane: its own picture gives up its luma
// buffer the moment it is allocated, which no other picture does (a reference made up for one
// that is missing, say, stays in the picture buffer). A picture whose alpha layer never started
// holds in that plane whatever the memory held before.
static void luma_released(void* opaque, uint8_t* data) {
    (void)data;
    Luma* l = opaque;
    Tracker* t = (Tracker*)l->tracker->data;
    if (l->allocation == atomic_load(&t->newest) && l->sample > 0)
        atomic_store(&t->alpha_started[l->sample % kRemembered], l->sample);
    av_buffer_unref(&l->inner);
    av_buffer_unref(&l->tracker);
    av_free(l);
}

static int get_buffer(AVCodecContext* context, AVFrame* frame, int flags) {
    qm_hevc_alpha_decoder* d = context->opaque;
    int rc = avcodec_default_get_buffer2(context, frame, flags);
    if (rc < 0) return rc;
    Luma* l = av_mallocz(sizeof *l);
    AVBufferRef* outer = NULL;
    if (l != NULL) l->tracker = av_buffer_ref(d->tracker);
    if (l != NULL && l->tracker != NULL)
        outer = av_buffer_create(frame->buf[0]->data, frame->buf[0]->size, luma_released, l, 0);
    if (outer == NULL) {
        if (l != NULL) av_buffer_unref(&l->tracker);
        av_free(l);
        av_frame_unref(frame);
        return AVERROR(ENOMEM);
    }
    Tracker* t = (Tracker*)d->tracker->data;
    l->inner = frame->buf[0];
    l->allocation = atomic_fetch_add(&t->newest, 1) + 1;
    l->sample = (int64_t)(intptr_t)frame->opaque;
    frame->buf[0] = outer;
    return 0;
}

static void forget_samples(qm_hevc_alpha_decoder* d) {
    Tracker* t = (Tracker*)d->tracker->data;
    for (int i = 0; i < kRemembered; ++i) atomic_store(&t->alpha_started[i], 0);
}

int qm_hevc_alpha_open(const uint8_t* hvcc, size_t hvcc_size, int threads, qm_hevc_alpha_decoder** decoder) {
    if (decoder == NULL || (hvcc == NULL && hvcc_size > 0) || hvcc_size > (1u << 24) || threads < 0)
        return QM_HEVC_ALPHA_INVALID;
    *decoder = NULL;
    pthread_once(&quiet, silence);
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    if (codec == NULL) return AVERROR_DECODER_NOT_FOUND;
    qm_hevc_alpha_decoder* d = av_mallocz(sizeof *d);
    if (d == NULL) return AVERROR(ENOMEM);
    int rc = AVERROR(ENOMEM);
    d->context = avcodec_alloc_context3(codec);
    d->packet = av_packet_alloc();
    d->tracker = av_buffer_allocz(sizeof(Tracker));
    if (d->context == NULL || d->packet == NULL || d->tracker == NULL) goto fail;
    if (qm_set_extradata(d->context, hvcc, hvcc_size) < 0) goto fail;
    d->nal_length_size = hvcc_size >= 23 && hvcc[0] == 1 ? (hvcc[21] & 3) + 1 : 0;
    d->at_start = 1;
    d->context->opaque = d;
    d->context->get_buffer2 = get_buffer;
    d->context->flags |= AV_CODEC_FLAG_COPY_OPAQUE;
    d->context->thread_count = threads;
    // Slice threads only: with an alpha layer, this decoder's frame threads wait on one another
    // (each picture's two layers decode as one), and 1080p decodes a fifth slower on eight of
    // them than on one.
    d->context->thread_type = FF_THREAD_SLICE;
    // A stream that changes to an absurd size mid-way fails instead of allocating it.
    d->context->max_pixels = (int64_t)kMaxSide * kMaxSide;
    rc = avcodec_open2(d->context, codec, NULL);
    if (rc < 0) goto fail;
    *decoder = d;
    return QM_HEVC_ALPHA_OK;
fail:
    qm_hevc_alpha_close(d);
    return rc;
}

void qm_hevc_alpha_close(qm_hevc_alpha_decoder* decoder) {
    if (decoder == NULL) return;
    qm_hevc_alpha_release(decoder->held ? &decoder->held->picture : NULL);
    avcodec_free_context(&decoder->context);
    av_packet_free(&decoder->packet);
    av_buffer_unref(&decoder->tracker);
    av_free(decoder);
}

// Where the first start code at or after `from` ends, or `size` when there is none.
static size_t after_start_code(const uint8_t* data, size_t from, size_t size) {
    for (size_t i = from; i + 3 <= size; ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i + 3;
    return size;
}

// The type of the sample's first colour-layer slice (-1 if it has none), and whether it ends a
// sequence (an end of sequence or bitstream unit), from its NAL unit headers.
static int first_slice_type(const qm_hevc_alpha_decoder* d, const uint8_t* data, size_t size, int* ends_sequence) {
    int type = -1;
    *ends_sequence = 0;
    for (size_t at = 0; at + 2 <= size;) {
        size_t length;
        if (d->nal_length_size > 0) {
            if (at + (size_t)d->nal_length_size + 2 > size) break;
            length = 0;
            for (int i = 0; i < d->nal_length_size; ++i) length = length << 8 | data[at + (size_t)i];
            at += (size_t)d->nal_length_size;
            if (length < 2 || length > size - at) break;
        } else {
            // Start codes: the unit runs to the next one.
            at = after_start_code(data, at, size);
            if (at == size) break;
            const size_t next = after_start_code(data, at, size);
            length = (next == size ? size : next - 3) - at;
            if (length < 2) continue;
        }
        const int nal_type = data[at] >> 1 & 0x3F;
        const int layer = (data[at] & 1) << 5 | data[at + 1] >> 3;
        if (nal_type == 36 || nal_type == 37) *ends_sequence = 1;
        if (layer == 0 && nal_type < 32 && type < 0) type = nal_type;
        at += length;
    }
    return type;
}

// Whether a picture should come of the sample: not one asked to be skipped, nor a leading picture
// the decoder skips because what it is predicted from comes before where decoding began.
static int expects_picture(qm_hevc_alpha_decoder* d, const uint8_t* data, size_t size, int flags) {
    int ends_sequence = 0;
    const int type = first_slice_type(d, data, size, &ends_sequence);
    int expected = (flags & QM_HEVC_ALPHA_SKIP_NONREF) == 0;
    if (type >= 16 && type <= 23) {
        // BLA pictures always begin anew, CRA pictures where decoding begins.
        d->skipping_leading = type <= 18 || (type == 21 && d->at_start);
        d->at_start = 0;
    } else if ((type == 8 || type == 9) && d->skipping_leading) {
        expected = 0;
    }
    if (ends_sequence) d->at_start = 1;
    return expected;
}

static void forget_sample(qm_hevc_alpha_decoder* d, int64_t sample) {
    for (int i = 0; i < d->pending_count; ++i)
        if (d->pending[i].sample == sample) {
            memmove(d->pending + i, d->pending + i + 1, (size_t)(d->pending_count - i - 1) * sizeof *d->pending);
            --d->pending_count;
            return;
        }
}

int qm_hevc_alpha_send(qm_hevc_alpha_decoder* decoder, const uint8_t* data, size_t size, int64_t pts, int flags) {
    if (decoder == NULL || (data != NULL && (size == 0 || size > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)))
        return QM_HEVC_ALPHA_INVALID;
    if (data == NULL) {
        const int rc = avcodec_send_packet(decoder->context, NULL);
        // Ending the stream decodes what waits, the last sample sent.
        if (rc < 0 && rc != AVERROR_EOF) decoder->dropped_pts = decoder->sent_pts;
        return rc;
    }
    AVPacket* packet = decoder->packet;
    int rc = qm_fill_packet(packet, data, size);
    if (rc < 0) return rc;
    packet->pts = pts;
    packet->opaque = (void*)(intptr_t)(decoder->sent + 1);
    decoder->context->skip_frame = (flags & QM_HEVC_ALPHA_SKIP_NONREF) ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    rc = avcodec_send_packet(decoder->context, packet);
    av_packet_unref(packet);
    if (rc == AVERROR(EAGAIN)) return rc;
    const int expected = expects_picture(decoder, data, size, flags);
    ++decoder->sent;
    decoder->sent_pts = pts;
    if (rc < 0) {
        decoder->dropped_pts = pts;
        return rc;
    }
    if (expected) {
        // Only a caller that stops taking pictures fills the list; the oldest is forgotten then.
        if (decoder->pending_count == kRemembered) forget_sample(decoder, decoder->pending[0].sample);
        decoder->pending[decoder->pending_count++] = (Pending){decoder->sent, pts};
    }
    return rc;
}

// The decoder's next picture into *holder, with its sample forgotten: QM_HEVC_ALPHA_OK,
// QM_HEVC_ALPHA_NO_ALPHA or QM_HEVC_ALPHA_DAMAGED, with *pts its time and *order the time it was
// sent with, or the decoder's code.
static int next_picture(qm_hevc_alpha_decoder* decoder, Holder** holder, int64_t* pts, int64_t* order) {
    *holder = NULL;
    Holder* h = av_mallocz(sizeof *h);
    if (h == NULL) return AVERROR(ENOMEM);
    h->frame = av_frame_alloc();
    if (h->frame == NULL) {
        av_free(h);
        return AVERROR(ENOMEM);
    }
    int rc = avcodec_receive_frame(decoder->context, h->frame);
    const AVFrame* f = h->frame;
    if (rc == 0) {
        forget_sample(decoder, (int64_t)(intptr_t)f->opaque);
        *pts = f->best_effort_timestamp;
        *order = f->pts;
    } else if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
        // The decoder failed on the sample it was decoding, the last one sent.
        decoder->dropped_pts = decoder->sent_pts;
    }
    const AVPixFmtDescriptor* desc = rc == 0 ? av_pix_fmt_desc_get((enum AVPixelFormat)f->format) : NULL;
    // Only planar Y'CbCr in bytes or little-endian words reaches the caller.
    if (rc == 0 && (desc == NULL || desc->nb_components < 3 ||
                    (desc->flags & (AV_PIX_FMT_FLAG_PLANAR | AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_BE |
                                    AV_PIX_FMT_FLAG_HWACCEL)) != AV_PIX_FMT_FLAG_PLANAR ||
                    desc->comp[0].depth > 12 || f->width < 1 || f->height < 1))
        rc = AVERROR_PATCHWELCOME;
    // Our patch marks a picture corrupt where a slice of its colour layer failed, and the decoder
    // marks the pictures predicted from one so.
    if (rc == 0 && (f->flags & AV_FRAME_FLAG_CORRUPT) != 0) rc = QM_HEVC_ALPHA_DAMAGED;
    if (rc == 0 && (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0) {
        const int64_t sample = (int64_t)(intptr_t)f->opaque;
        Tracker* t = (Tracker*)decoder->tracker->data;
        // Our patch flags a picture whose alpha layer started but failed: a slice of it invalid, a
        // reference it names missing, or predicted from such a picture.
        if (sample <= 0 || atomic_load(&t->alpha_started[sample % kRemembered]) != sample ||
            f->decode_error_flags != 0)
            rc = QM_HEVC_ALPHA_NO_ALPHA;
    }
    const int refused = rc == QM_HEVC_ALPHA_NO_ALPHA || rc == QM_HEVC_ALPHA_DAMAGED;
    if (rc < 0) {
        // A picture the caller can't take is named like one refused.
        if (!refused && h->frame->buf[0] != NULL) decoder->dropped_pts = f->best_effort_timestamp;
        qm_hevc_alpha_release(&h->picture);
        return rc;
    }
    qm_hevc_alpha_picture* p = &h->picture;
    p->width = f->width;
    p->height = f->height;
    p->bit_depth = desc->comp[0].depth;
    p->chroma_shift_x = desc->log2_chroma_w;
    p->chroma_shift_y = desc->log2_chroma_h;
    p->has_alpha = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0 && f->data[3] != NULL;
    for (int i = 0; i < 4; ++i) {
        const int present = i < 3 || p->has_alpha;
        p->planes[i] = present ? f->data[i] : NULL;
        p->strides[i] = present ? f->linesize[i] : 0;
    }
    p->pts = f->best_effort_timestamp;
    p->key_frame = (f->flags & AV_FRAME_FLAG_KEY) != 0;
    p->matrix = f->colorspace;
    p->primaries = f->color_primaries;
    p->transfer = f->color_trc;
    p->range = f->color_range == AVCOL_RANGE_MPEG   ? QM_HEVC_ALPHA_RANGE_VIDEO
               : f->color_range == AVCOL_RANGE_JPEG ? QM_HEVC_ALPHA_RANGE_FULL
                                                    : QM_HEVC_ALPHA_RANGE_UNSPECIFIED;
    // The decoder hands the layer's samples on as coded.
    p->alpha_range = QM_HEVC_ALPHA_RANGE_FULL;
    *holder = h;
    return QM_HEVC_ALPHA_OK;
}

// Refuses the remembered sample at `index`, naming its time.
static int refuse_sample(qm_hevc_alpha_decoder* d, int index) {
    d->dropped_pts = d->pending[index].pts;
    forget_sample(d, d->pending[index].sample);
    return QM_HEVC_ALPHA_NO_PICTURE;
}

int qm_hevc_alpha_receive(qm_hevc_alpha_decoder* decoder, qm_hevc_alpha_picture** picture) {
    if (decoder == NULL || picture == NULL) return QM_HEVC_ALPHA_INVALID;
    *picture = NULL;
    if (decoder->pending_count > kOverdue) return refuse_sample(decoder, 0);
    if (decoder->held == NULL && decoder->held_rc == 0) {
        int64_t pts = 0, order = AV_NOPTS_VALUE;
        const int rc = next_picture(decoder, &decoder->held, &pts, &order);
        if (rc == AVERROR_EOF) {
            // Drained: what has not come out never will, the first shown first.
            int first = -1;
            for (int i = 0; i < decoder->pending_count; ++i)
                if (first < 0 || decoder->pending[i].pts < decoder->pending[first].pts) first = i;
            return first >= 0 ? refuse_sample(decoder, first) : rc;
        }
        if (rc != QM_HEVC_ALPHA_OK && rc != QM_HEVC_ALPHA_NO_ALPHA && rc != QM_HEVC_ALPHA_DAMAGED) return rc;
        decoder->held_rc = rc;
        decoder->held_pts = pts;
        decoder->held_order = order;
    }
    // Pictures come out in the order shown: a remembered sample shown before this one gave none.
    int first = -1;
    for (int i = 0; i < decoder->pending_count && decoder->held_order != AV_NOPTS_VALUE; ++i) {
        const int64_t t = decoder->pending[i].pts;
        if (t != AV_NOPTS_VALUE && t < decoder->held_order && (first < 0 || t < decoder->pending[first].pts)) first = i;
    }
    if (first >= 0) return refuse_sample(decoder, first);
    const int rc = decoder->held_rc;
    decoder->held_rc = 0;
    if (rc == QM_HEVC_ALPHA_NO_ALPHA || rc == QM_HEVC_ALPHA_DAMAGED) {
        decoder->dropped_pts = decoder->held_pts;
        return rc;
    }
    *picture = &decoder->held->picture;
    decoder->held = NULL;
    return QM_HEVC_ALPHA_OK;
}

void qm_hevc_alpha_release(qm_hevc_alpha_picture* picture) {
    if (picture == NULL) return;
    Holder* h = (Holder*)picture;
    qm_free_holder(h, &h->frame);
}

int64_t qm_hevc_alpha_dropped_pts(const qm_hevc_alpha_decoder* decoder) {
    return decoder != NULL ? decoder->dropped_pts : 0;
}

void qm_hevc_alpha_flush(qm_hevc_alpha_decoder* decoder) {
    if (decoder == NULL) return;
    avcodec_flush_buffers(decoder->context);
    forget_samples(decoder);
    qm_hevc_alpha_release(decoder->held ? &decoder->held->picture : NULL);
    decoder->held = NULL;
    decoder->held_rc = 0;
    decoder->pending_count = 0;
    decoder->skipping_leading = 0;
    decoder->at_start = 1;
}

void qm_hevc_alpha_error_text(int code, char* buffer, size_t size) {
    if (buffer == NULL || size == 0) return;
    if (code == QM_HEVC_ALPHA_NO_ALPHA) {
        snprintf(buffer, size, "%s", "the picture's alpha layer could not be decoded");
        return;
    }
    if (code == QM_HEVC_ALPHA_DAMAGED) {
        snprintf(buffer, size, "%s", "the picture's colour layer could not be decoded");
        return;
    }
    if (code == QM_HEVC_ALPHA_NO_PICTURE) {
        snprintf(buffer, size, "%s", "the sample gave no picture");
        return;
    }
    // Unknown codes get a text naming the number.
    av_strerror(code, buffer, size);
}
