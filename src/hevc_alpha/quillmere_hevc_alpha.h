#pragma once
// quillmere_hevc_alpha: the private library that decodes both layers of HEVC with an alpha layer.
// It carries a newer libavcodec linked in statically and exports nothing but these C functions, so
// the rest of the program keeps the system's FFmpeg and no symbol or structure of the two versions
// meets: only bytes, sizes, times, plane pointers and strides cross this interface.
//
// A decoder is used by one thread at a time; different decoders may run on different threads. A
// picture stays valid until it is released, also after its decoder is closed, and may be released
// on any thread.

#include <stddef.h>
#include <stdint.h>

#if defined(QM_HEVC_ALPHA_BUILDING)
#define QM_HEVC_ALPHA_API __attribute__((visibility("default")))
#else
#define QM_HEVC_ALPHA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Results: 0 on success, else negative. The values are those of FFmpeg's error codes (negated errno
// values and its own tags), which every FFmpeg version shares.
#define QM_HEVC_ALPHA_OK 0
#define QM_HEVC_ALPHA_AGAIN (-11)  // -EAGAIN: send more samples before the next picture
#define QM_HEVC_ALPHA_EOF (-0x20464f45)  // -'EOF ' as FFmpeg tags it: the ended stream is drained
#define QM_HEVC_ALPHA_INVALID (-22)  // -EINVAL: bad arguments
// From qm_hevc_alpha_receive: the next picture's alpha layer was not decoded (its slices are missing
// or the decoder found them damaged, with any number of threads, its parameter sets are missing or
// damaged, its references name a picture that is not there, or it is predicted from an alpha
// picture so refused). The picture is dropped rather than handed out with an alpha plane nothing
// was decoded into; qm_hevc_alpha_dropped_pts gives its time.
#define QM_HEVC_ALPHA_NO_ALPHA (-0x504C4151)  // -'QALP', a tag no FFmpeg error uses
// From qm_hevc_alpha_receive: a sample sent gave no picture (the decoder could not start one, such
// as when its slice headers are damaged or its references gone), found when a picture shown after
// it comes out, or at the end of the stream; qm_hevc_alpha_dropped_pts gives the sample's time.
// Leading pictures skipped where decoding begins at a random access point, and samples sent to be
// skipped, are not missed.
#define QM_HEVC_ALPHA_NO_PICTURE (-0x43495051)  // -'QPIC'
// From qm_hevc_alpha_receive: the next picture's colour layer did not decode as coded (a slice of it
// the decoder found damaged and skipped, or a picture predicted from one so refused). The picture is
// dropped; qm_hevc_alpha_dropped_pts gives its time.
#define QM_HEVC_ALPHA_DAMAGED (-0x474D4451)  // -'QDMG'

// qm_hevc_alpha_send flags.
#define QM_HEVC_ALPHA_SKIP_NONREF 1  // the sample's picture is not wanted: skip it if nothing refers to it

// Colour range codes (as ISO/IEC 23091-2 signals them; 0 when the stream does not say).
#define QM_HEVC_ALPHA_RANGE_UNSPECIFIED 0
#define QM_HEVC_ALPHA_RANGE_VIDEO 1
#define QM_HEVC_ALPHA_RANGE_FULL 2

// One decoded picture: Y'CbCr of the colour layer and the alpha layer's plane, at the colour layer's
// size. Samples deeper than 8 bits are held in 16-bit little-endian words.
typedef struct qm_hevc_alpha_picture {
    int32_t width;
    int32_t height;
    int32_t bit_depth;       // 8 or 10 (12 where the stream has it)
    int32_t chroma_shift_x;  // log2 of the chroma subsampling: 1, 1 for 4:2:0
    int32_t chroma_shift_y;
    int32_t has_alpha;       // 0: the stream's pictures carry no alpha layer; planes[3] is NULL
    const uint8_t* planes[4];  // Y, Cb, Cr, alpha
    int32_t strides[4];        // bytes per row of each plane
    int64_t pts;               // the time given with the sample the picture came from
    int32_t key_frame;
    // As the colour layer signals them, as ISO/IEC 23091-2 code points (2: unspecified).
    int32_t matrix;
    int32_t primaries;
    int32_t transfer;
    int32_t range;        // QM_HEVC_ALPHA_RANGE_*
    // Alpha samples run from 0 (transparent) to the largest value of the depth (opaque), straight
    // (not premultiplied), as every writer of such streams codes them.
    int32_t alpha_range;  // QM_HEVC_ALPHA_RANGE_FULL
} qm_hevc_alpha_picture;

typedef struct qm_hevc_alpha_decoder qm_hevc_alpha_decoder;

// The version of the decoder's FFmpeg, e.g. "9.0.2".
QM_HEVC_ALPHA_API const char* qm_hevc_alpha_version(void);

// A decoder for a track whose sample description holds `hvcc` (the hvcC record; may be empty for
// streams that carry their parameter sets in band). threads: 0 lets the library choose.
QM_HEVC_ALPHA_API int qm_hevc_alpha_open(const uint8_t* hvcc, size_t hvcc_size, int threads,
                                         qm_hevc_alpha_decoder** decoder);
QM_HEVC_ALPHA_API void qm_hevc_alpha_close(qm_hevc_alpha_decoder* decoder);

// One stored sample (NAL units with the length prefix the hvcC names) with its presentation time;
// data NULL ends the stream. QM_HEVC_ALPHA_AGAIN: take pictures first, then send it again.
QM_HEVC_ALPHA_API int qm_hevc_alpha_send(qm_hevc_alpha_decoder* decoder, const uint8_t* data, size_t size,
                                         int64_t pts, int flags);

// The next picture in presentation order, to be released with qm_hevc_alpha_release.
// QM_HEVC_ALPHA_AGAIN: send more; QM_HEVC_ALPHA_EOF: the ended stream is drained.
QM_HEVC_ALPHA_API int qm_hevc_alpha_receive(qm_hevc_alpha_decoder* decoder, qm_hevc_alpha_picture** picture);
QM_HEVC_ALPHA_API void qm_hevc_alpha_release(qm_hevc_alpha_picture* picture);

// The time of the last picture or sample refused with QM_HEVC_ALPHA_NO_ALPHA or
// QM_HEVC_ALPHA_NO_PICTURE, or of the sample the decoder last failed on.
QM_HEVC_ALPHA_API int64_t qm_hevc_alpha_dropped_pts(const qm_hevc_alpha_decoder* decoder);

// Forgets every sample sent so far (before a seek); the next sample sent should be a key frame.
QM_HEVC_ALPHA_API void qm_hevc_alpha_flush(qm_hevc_alpha_decoder* decoder);

// The text of an error code, into buffer (always terminated).
QM_HEVC_ALPHA_API void qm_hevc_alpha_error_text(int code, char* buffer, size_t size);

#ifdef __cplusplus
}
#endif
