#pragma once
// The H.264 decoder of the private library quillmere_hevc_alpha (see quillmere_hevc_alpha.h for what
// crosses its interface). It decodes on frame threads and tells each picture's damage, as marked
// once the picture has finished decoding, in every run and at any thread count.
//
// A decoder is used by one thread at a time. A picture stays valid until it is released, also after
// its decoder is closed, and may be released on any thread.

#include <stddef.h>
#include <stdint.h>

#include "quillmere_hevc_alpha.h"

#ifdef __cplusplus
extern "C" {
#endif

// Results are FFmpeg's codes (0, negated errno values and FFmpeg's tags), shared by every version.

// qm_h264_send flags.
#define QM_H264_SKIP_NONREF 1  // the sample's picture is not wanted: skip it if nothing refers to it
#define QM_H264_KEY 2          // the container marks the sample a key frame
#define QM_H264_DISCARD 4      // an edit list leaves the sample out: decoded, its picture never given

typedef struct qm_h264_picture {
    int32_t width;
    int32_t height;
    // FFmpeg's name of the layout ("yuv420p", "yuv422p10le", "gray", ...): the names are the same
    // in every version.
    char format[32];
    const uint8_t* planes[4];
    int32_t strides[4];
    int64_t pts;              // as sent with the picture's sample
    int64_t dts;
    int64_t best_effort_pts;  // FFmpeg's best guess where stamps are missing or out of order
    int64_t duration;         // as sent with the sample, 0 if unknown
    int32_t key_frame;
    // Non-zero where the decoder could not decode the picture as coded: a slice it skipped or
    // concealed, or a reference missing. Pictures predicted from such a one are not marked.
    int32_t damaged;
    // FFmpeg's enumerations, whose values are those of ISO/IEC 23091-2 and the same in every version.
    int32_t matrix;
    int32_t primaries;
    int32_t transfer;
    int32_t range;            // 0 unspecified, 1 video, 2 full
    int32_t chroma_location;
    int32_t sar_num;
    int32_t sar_den;
    int32_t interlaced;
    int32_t top_field_first;
    int32_t repeat_pict;
} qm_h264_picture;

typedef struct qm_h264_decoder qm_h264_decoder;

// A decoder for a track whose sample description holds `extradata` (an avcC record, or parameter
// sets with start codes; may be empty), its stamps counted in time_base_num/time_base_den seconds.
// threads: 0 lets the library choose.
QM_HEVC_ALPHA_API int qm_h264_open(const uint8_t* extradata, size_t extradata_size, int time_base_num,
                                   int time_base_den, int threads, qm_h264_decoder** decoder);
QM_HEVC_ALPHA_API void qm_h264_close(qm_h264_decoder* decoder);

// One stored sample with its stamps (INT64_MIN: none); data NULL ends the stream. As
// avcodec_send_packet: QM_HEVC_ALPHA_AGAIN asks to take pictures first, then to send it again.
QM_HEVC_ALPHA_API int qm_h264_send(qm_h264_decoder* decoder, const uint8_t* data, size_t size, int64_t pts,
                                   int64_t dts, int64_t duration, int flags);

// The next picture in presentation order, to be released with qm_h264_release; as
// avcodec_receive_frame: QM_HEVC_ALPHA_AGAIN asks for more samples, QM_HEVC_ALPHA_EOF ends.
QM_HEVC_ALPHA_API int qm_h264_receive(qm_h264_decoder* decoder, qm_h264_picture** picture);
QM_HEVC_ALPHA_API void qm_h264_release(qm_h264_picture* picture);

// How many pictures the decoder holds back to put them in presentation order.
QM_HEVC_ALPHA_API int qm_h264_reorder_depth(const qm_h264_decoder* decoder);
// Whether samples are decoded on frame threads: a sample's error then comes back with a later one.
QM_HEVC_ALPHA_API int qm_h264_frame_threads(const qm_h264_decoder* decoder);

#ifdef __cplusplus
}
#endif
