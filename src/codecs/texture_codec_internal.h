#pragma once
// The two implementations behind the texture codec's block-row functions: portable scalar code and
// an SSE4.1 path chosen at run time. Both give identical bytes; tests run them side by side.

#include <cstddef>
#include <cstdint>

namespace qm::texture_detail {

// One 4x4 block gathered from BGRA rows as 16 R, G, B, A pixels, edge pixels repeated.
void gatherBlockScalar(const uint8_t* src, size_t srcBytesPerRow, int width, int height, int bx, int by,
                       uint8_t* rgba64);

// The scaled YCoCg transform of one gathered block, in place: (Co', Cg', scale, Y') per pixel.
void ycocgBlockScalar(uint8_t* rgba64);

// Reconstructs 16 pixels of a YCoCg block as B, G, R, A from its decoded colour half (Co', Cg',
// scale) and its decoded alpha half (Y).
void ycocgToBgraScalar(const uint8_t* colorRgba64, const uint8_t* luma16, uint8_t* bgra64);

void encodeBlocksScalar(uint32_t format, const uint8_t* src, size_t srcBytesPerRow, int width, int height,
                        int blocksPerRow, uint8_t* dst, int firstBlockRow, int endBlockRow, int highQuality);
void decodeRowsScalar(uint32_t format, const uint8_t* src, int blocksPerRow, int width, int height, uint8_t* dst,
                      size_t dstBytesPerRow, int firstBlockRow, int endBlockRow);

// SSE4.1 versions; call only when sse41Available() is true. The encoder carries its own vector
// transcription of the block compressors.
bool sse41Available();
void encodeBlocksSse41(uint32_t format, const uint8_t* src, size_t srcBytesPerRow, int width, int height,
                       int blocksPerRow, uint8_t* dst, int firstBlockRow, int endBlockRow, int highQuality);
void decodeRowsSse41(uint32_t format, const uint8_t* src, int blocksPerRow, int width, int height, uint8_t* dst,
                     size_t dstBytesPerRow, int firstBlockRow, int endBlockRow);

// The block compressors (stb_dxt), used by the scalar path.
void compressColorBlock(uint8_t* dst, const uint8_t* rgba64, bool alpha, bool highQuality);
void compressAlphaBlock(uint8_t* dst, const uint8_t* values16);

// The compressors' tables: best (max, min) 5- and 6-bit end points for a single 8-bit value, and
// the rounding midpoints of 5- and 6-bit quantisation.
extern const uint8_t (*const kSingleColour5)[2];
extern const uint8_t (*const kSingleColour6)[2];
extern const float* const kMidpoints5;
extern const float* const kMidpoints6;

// Block size in bytes of a format (8 or 16); formats above 3 count 16.
inline size_t blockSize(uint32_t format) { return (format == 0 || format == 3) ? 8 : 16; }

// Writes the decoded 16 BGRA pixels of block (bx, by) into the destination, clipped to the picture.
void storeBgraBlock(const uint8_t* bgra64, int bx, int by, int width, int height, uint8_t* dst,
                    size_t dstBytesPerRow);

}  // namespace qm::texture_detail
