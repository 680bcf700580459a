#pragma once
// What the library's decoders share.
#include <string.h>

#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>

// The sample description into the decoder's context: 0, or AVERROR(ENOMEM).
static inline int qm_set_extradata(AVCodecContext* context, const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    context->extradata = av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE);
    if (context->extradata == NULL) return AVERROR(ENOMEM);
    memcpy(context->extradata, data, size);
    context->extradata_size = (int)size;
    return 0;
}

// A copy of the caller's sample into `packet`, padded as the decoders read: 0, or FFmpeg's code.
static inline int qm_fill_packet(AVPacket* packet, const uint8_t* data, size_t size) {
    av_packet_unref(packet);
    const int rc = av_new_packet(packet, (int)size);
    if (rc < 0) return rc;
    memcpy(packet->data, data, size);
    return 0;
}

// A picture handed out and the frame that holds its planes, allocated together with the picture
// first, so that a picture pointer is its holder's; freed whole.
static inline void qm_free_holder(void* holder, AVFrame** frame) {
    av_frame_free(frame);
    av_free(holder);
}
