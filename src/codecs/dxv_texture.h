#pragma once
// Unpacked DXV textures (the codec library's texture record) to 8-bit BGRA pictures: DXT1, DXT5
// with premultiplied alpha undone, and the high-quality YCoCg forms (full-size luma, half-size
// chroma). One plain function without state.

#include <stddef.h>
#include <stdint.h>

#include "lgpl/quillmere_lgpl.h"

#ifdef __cplusplus
extern "C" {
#endif

// Writes `width` x `height` BGRA pixels (the picture, at most the texture's size) to dst. Returns 0,
// or -1 for an unknown format, a picture larger than the texture, a malformed record or a failed
// scratch allocation (dst may then be partly written).
int32_t qm_dxv_to_bgra(const qm_dxv_texture* texture, int32_t width, int32_t height, uint8_t* dst,
                       size_t dstBytesPerRow);

#ifdef __cplusplus
}
#endif
