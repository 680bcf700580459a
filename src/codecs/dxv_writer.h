#pragma once
// DXV3 frames ("DXV3 Normal Quality", with or without alpha) from 8-bit BGRA pictures: a DXT1 or
// premultiplied DXT5 texture at 16-pixel padded size, shrunk by a back-reference coder over 32-bit
// words driven by 2-bit operation codes. Plain functions without state between calls.

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The coded stream being written: operation words are reserved in place, their arguments follow.
// A write that would pass `end` sets `overflow` instead; nothing is written after that.
typedef struct qm_dxv_stream {
    uint8_t* pos;      // next byte to write
    uint8_t* end;      // one past the last writable byte
    uint8_t* op;       // the open operation word, NULL before the first
    uint32_t opCodes;  // codes already in the open operation word (0...16)
    int32_t overflow;  // non-zero once a write did not fit
} qm_dxv_stream;

// S + S / 2 + 76, S the texture bytes of the padded picture; 0 for a size below 1.
uint64_t qm_dxv_max_encoded_size(int32_t width, int32_t height, int32_t withAlpha);

// Writes one frame of `width` x `height` BGRA pixels; returns its length (header included), or 0
// for a bad size or row length, an output smaller than qm_dxv_max_encoded_size or a failed
// allocation.
// `highQuality` selects the block compressor's refinement.
uint64_t qm_dxv_encode(const uint8_t* src, size_t srcBytesPerRow, int32_t width, int32_t height, int32_t withAlpha,
                       int32_t highQuality, uint8_t* out, uint64_t outCapacity);

// Appends one 2-bit code, opening a new operation word when none is open or the open one is full.
void qm_dxv_put_op(qm_dxv_stream* stream, uint32_t code);

// Appends a distance of `distance` words in units of `unit` words: 1 unit as code 1, 2...257 units
// as code 2 and a byte, 258...65793 units as code 3 and a 16-bit number. Returns 0, writing
// nothing, for any other distance.
int32_t qm_dxv_put_match(qm_dxv_stream* stream, uint32_t distance, uint32_t unit);

#ifdef __cplusplus
}
#endif
