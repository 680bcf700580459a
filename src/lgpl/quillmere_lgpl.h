#pragma once
// quillmere_lgpl: the separate codec library that reads DXV and NotchLC frames. A plain C interface
// so that the library can be replaced without rebuilding its callers.
//
// Each context keeps the decoding state of one stream and is used by one call at a time; different
// contexts may be used on different threads at once.

#include <stddef.h>
#include <stdint.h>

#if defined(QM_LGPL_BUILDING)
#define QM_LGPL_API __attribute__((visibility("default")))
#else
#define QM_LGPL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Texture formats of an unpacked DXV frame.
#define QM_DXV_TEXTURE_DXT1 0         // plane0: DXT1 blocks
#define QM_DXV_TEXTURE_DXT5 1         // plane0: DXT5 blocks, colour premultiplied by alpha
#define QM_DXV_TEXTURE_YCOCG 2        // plane0: BC4 luma; plane1: half-size Co/Cg BC4 pairs
#define QM_DXV_TEXTURE_YCOCG_ALPHA 3  // as above, plane0 blocks carry luma and alpha

// The texture of one unpacked DXV frame (48 bytes; the layout is fixed). The planes belong to the
// context and stay valid until its next unpack or its destruction.
typedef struct qm_dxv_texture {
    int32_t format;         // QM_DXV_TEXTURE_*
    int32_t width;          // texture width in pixels (a multiple of 4)
    int32_t height;         // texture height in pixels
    int32_t reserved;
    const uint8_t* plane0;  // block rows of width / 4 blocks
    uint64_t plane0Size;    // bytes in plane0
    const uint8_t* plane1;  // formats 2 and 3 only
    uint64_t plane1Size;    // bytes in plane1
} qm_dxv_texture;

typedef struct qm_dxv_context qm_dxv_context;
typedef struct qm_notchlc_context qm_notchlc_context;

// Results of the unpack and decode calls.
#define QM_LGPL_OK 0
#define QM_LGPL_INVALID (-1)      // malformed or truncated data, or bad arguments
#define QM_LGPL_UNSUPPORTED (-2)  // a well-formed stream variant this library does not read
#define QM_LGPL_NO_MEMORY (-3)

// A new context, or NULL when memory runs out.
QM_LGPL_API qm_dxv_context* qm_dxv_create(void);

// Unpacks one DXV frame of a width x height picture into `texture`. Reads DXV3 frames with DXT1 or
// DXT5 textures, back-reference coded or raw. The high-quality YCoCg variants are rejected with
// QM_LGPL_UNSUPPORTED. Returns QM_LGPL_OK on success; `texture` is filled only then.
QM_LGPL_API int32_t qm_dxv_unpack(qm_dxv_context* context, const uint8_t* bytes, size_t byteCount, int32_t width,
                                  int32_t height, qm_dxv_texture* texture);

QM_LGPL_API void qm_dxv_destroy(qm_dxv_context* context);

// Output formats of qm_notchlc_decode.
#define QM_NOTCHLC_BGRA 0    // 8-bit B, G, R, A
#define QM_NOTCHLC_RGBA64 1  // 16-bit R, G, B, A, little-endian

// A new context, or NULL when memory runs out or no NotchLC decoder is available.
QM_LGPL_API qm_notchlc_context* qm_notchlc_create(void);

// Decodes one NotchLC frame into `dst` (width x height pixels, rows bytesPerRow apart) in the given
// output format. A frame larger than the destination is cropped to its top-left corner; a smaller
// one fails. *hasAlpha becomes non-zero when any pixel of the picture is not fully opaque.
QM_LGPL_API int32_t qm_notchlc_decode(qm_notchlc_context* context, const uint8_t* bytes, size_t byteCount,
                                      int32_t outputFormat, void* dst, size_t bytesPerRow, int32_t width,
                                      int32_t height, int32_t* hasAlpha);

QM_LGPL_API void qm_notchlc_destroy(qm_notchlc_context* context);

#ifdef __cplusplus
}
#endif
