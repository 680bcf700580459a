// SSE4.1 YCoCg reconstruction for the row decoder. Compiled with -msse4.1 and only called after a
// run-time check; every result matches the scalar code bit for bit. The encoder's vector path is in
// block_compress_sse41.cpp.

#include <smmintrin.h>

#include <algorithm>
#include <cstring>

#include "codecs/texture_codec.h"
#include "codecs/texture_codec_internal.h"

namespace qm::texture_detail {
namespace {

// Reconstructs a YCoCg block, four pixels per step, in the scalar code's order of operations.
inline void ycocgToBgra(const uint8_t* colorRgba64, const uint8_t* luma16, uint8_t* bgra64) {
    const __m128i byteMask = _mm_set1_epi32(0xFF);
    const __m128 eighth = _mm_set1_ps(0.125f);
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 half = _mm_set1_ps(0.5f);
    const __m128i centre = _mm_set1_epi32(128);
    const __m128i zero = _mm_setzero_si128();
    const __m128i top = _mm_set1_epi32(255);
    const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    for (int j = 0; j < 4; ++j) {
        const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(colorRgba64 + j * 16));
        int lumaBits;
        std::memcpy(&lumaBits, luma16 + j * 4, 4);
        const __m128 y = _mm_cvtepi32_ps(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(lumaBits)));
        const __m128 scale =
            _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(px, 16), byteMask)), eighth), one);
        const __m128 co =
            _mm_div_ps(_mm_cvtepi32_ps(_mm_sub_epi32(_mm_and_si128(px, byteMask), centre)), scale);
        const __m128 cg = _mm_div_ps(
            _mm_cvtepi32_ps(_mm_sub_epi32(_mm_and_si128(_mm_srli_epi32(px, 8), byteMask), centre)), scale);
        const __m128 r = _mm_sub_ps(_mm_add_ps(y, co), cg);
        const __m128 g = _mm_add_ps(y, cg);
        const __m128 b = _mm_sub_ps(_mm_sub_ps(y, co), cg);
        auto channel = [&](__m128 v) {
            return _mm_min_epi32(top, _mm_max_epi32(zero, _mm_cvttps_epi32(_mm_add_ps(v, half))));
        };
        const __m128i out = _mm_or_si128(_mm_or_si128(channel(b), _mm_slli_epi32(channel(g), 8)),
                                         _mm_or_si128(_mm_slli_epi32(channel(r), 16), opaque));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bgra64 + j * 16), out);
    }
}

}  // namespace

void decodeRowsSse41(uint32_t format, const uint8_t* src, int blocksPerRow, int width, int height, uint8_t* dst,
                     size_t dstBytesPerRow, int firstBlockRow, int endBlockRow) {
    // Only the YCoCg reconstruction has arithmetic worth vectorising; the rest is table lookups.
    if (format != QM_TEXTURE_YCOCG) {
        decodeRowsScalar(format, src, blocksPerRow, width, height, dst, dstBytesPerRow, firstBlockRow, endBlockRow);
        return;
    }
    const int visibleBlocks = std::min(blocksPerRow, (width + 3) / 4);
    for (int by = firstBlockRow; by < endBlockRow && 4 * by < height; ++by) {
        const uint8_t* in = src + static_cast<size_t>(by) * static_cast<size_t>(blocksPerRow) * 16;
        for (int bx = 0; bx < visibleBlocks; ++bx, in += 16) {
            uint8_t luma[16];
            alignas(16) uint8_t color[64];
            alignas(16) uint8_t bgra[64];
            qm_decode_alpha_block(in, luma);
            qm_decode_color_block(in + 8, 1, color);
            ycocgToBgra(color, luma, bgra);
            storeBgraBlock(bgra, bx, by, width, height, dst, dstBytesPerRow);
        }
    }
}

}  // namespace qm::texture_detail
