#pragma once
// The Hap frame container: one or two block textures, each in a section that is stored, one Snappy
// block, or split into chunks compressed separately. Plain functions on caller-owned buffers.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Upper bound of an encoded frame, also the size the scratch buffer of qm_hap_encode needs.
uint64_t qm_hap_max_encoded_length(uint64_t totalTextureBytes, int32_t chunkCount, int32_t textureCount);

// Writes a frame of one or two textures; returns the bytes written, 0 on failure (capacity below the
// bound, a texture count other than 1 or 2, or a texture too large for a section).
uint64_t qm_hap_encode(int32_t textureCount, const uint8_t* const* textures, const uint64_t* lengths,
                       const uint8_t* textureNibbles, int32_t compress, int32_t chunkCount, uint8_t* out,
                       uint64_t outCapacity, uint8_t* scratch);

// Writes one texture section at `out`; returns its size (0 for an empty or oversized texture).
uint64_t qm_hap_write_texture(const uint8_t* texture, uint64_t length, uint8_t textureNibble, int32_t compress,
                              int32_t chunkCount, uint8_t* out, uint8_t* scratch);

// Reads a frame: returns the number of textures decoded (1 or 2) or -1. outputs and
// outputCapacities are two buffers and their sizes; outNibbles and outLengths receive each
// texture's format nibble and decoded byte count.
int32_t qm_hap_decode(const uint8_t* frame, uint64_t frameLength, uint8_t* const* outputs,
                      const uint64_t* outputCapacities, uint8_t* outNibbles, uint64_t* outLengths);

// Reads one texture section; 0 on success, -1 on failure. outConsumed receives the section's size
// (header plus body).
int32_t qm_hap_read_texture(const uint8_t* section, uint64_t available, uint8_t* output, uint64_t capacity,
                            uint8_t* outNibble, uint64_t* outLength, uint64_t* outConsumed);

#ifdef __cplusplus
}
#endif
