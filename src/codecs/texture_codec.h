#pragma once
// 4x4 block-compressed GPU textures (DXT1, DXT5, scaled YCoCg in DXT5, BC4) to and from 8-bit
// BGRA rows. Plain functions on caller-owned memory, no state: disjoint block-row ranges of one
// texture may be encoded or decoded on different threads at once.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The block texture format of a frame texture.
typedef uint32_t qm_texture_format;
#define QM_TEXTURE_DXT1 0u   // 8-byte blocks, RGB
#define QM_TEXTURE_DXT5 1u   // 16-byte blocks, RGB + alpha
#define QM_TEXTURE_YCOCG 2u  // 16-byte blocks: scaled YCoCg carried in a DXT5 block
#define QM_TEXTURE_BC4 3u    // 8-byte blocks, one channel

// ((width + 3) / 4) x ((height + 3) / 4) x block size (8 for DXT1 and BC4, 16 otherwise).
// A width or height below 1 gives 0.
uint64_t qm_texture_size(qm_texture_format format, int32_t width, int32_t height);

// Encodes block rows [firstBlockRow, endBlockRow) of `width` x `height` BGRA pixels into `dst`, the
// start of the whole texture, with (width + 3) / 4 blocks per row. Blocks that overhang the picture
// repeat its last column and row. `highQuality` non-zero selects the compressor's refinement mode.
void qm_texture_encode(qm_texture_format format, const uint8_t* src, size_t srcBytesPerRow, int32_t width,
                       int32_t height, uint8_t* dst, int32_t firstBlockRow, int32_t endBlockRow,
                       int32_t highQuality);

// As above with the caller's own number of blocks per row (which may exceed (width + 3) / 4).
void qm_texture_encode_blocks(qm_texture_format format, const uint8_t* src, size_t srcBytesPerRow, int32_t width,
                              int32_t height, int32_t blocksPerRow, uint8_t* dst, int32_t firstBlockRow,
                              int32_t endBlockRow, int32_t highQuality);

// Decodes block rows [firstBlockRow, endBlockRow) of a texture with (width + 3) / 4 blocks per row
// into BGRA rows; only pixels inside width x height are written. BC4 writes the alpha byte only.
void qm_texture_decode(qm_texture_format format, const uint8_t* src, int32_t width, int32_t height, uint8_t* dst,
                       size_t dstBytesPerRow, int32_t firstBlockRow, int32_t endBlockRow);

// As above with the caller's own number of blocks per row.
void qm_texture_decode_rows(qm_texture_format format, const uint8_t* src, int32_t blocksPerRow, int32_t width,
                            int32_t height, uint8_t* dst, size_t dstBytesPerRow, int32_t firstBlockRow,
                            int32_t endBlockRow);

// Decodes a row-major grid of alpha blocks into a one-byte-per-pixel plane. Block k is read at
// src + k x blockStride + byteOffset (BC4 blocks, or the alpha halves of DXT5 blocks). Every 4x4
// value of every block is written: the plane holds blocksWide x 4 columns, blocksHigh x 4 rows.
void qm_bc4_decode_plane(const uint8_t* src, size_t blockStride, size_t byteOffset, int32_t blocksWide,
                         int32_t blocksHigh, uint8_t* dst, size_t dstBytesPerRow);

// One 8-byte alpha (BC4) block to its 16 values, pixels row-major.
void qm_decode_alpha_block(const uint8_t* block, uint8_t* out16);

// One 8-byte colour block to 16 pixels as R, G, B, A (64 bytes). force4 non-zero always uses the
// four-colour palette (as inside DXT5 blocks).
void qm_decode_color_block(const uint8_t* block, int32_t force4, uint8_t* out64);

#ifdef __cplusplus
}
#endif
