// SSE4.1 block gathering, scaled YCoCg transform and YCoCg reconstruction. Compiled with -msse4.1
// and only called after a run-time check; every result matches the scalar code bit for bit.

#include <smmintrin.h>

#include <algorithm>
#include <cstring>

#include "codecs/texture_codec.h"
#include "codecs/texture_codec_internal.h"

namespace qm::texture_detail {
namespace {

// Gathers a block as 16 R, G, B, A pixels; whole rows of four come in one load.
inline void gatherBlock(const uint8_t* src, size_t srcBytesPerRow, int width, int height, int bx, int by,
                        uint8_t* rgba64) {
    if (4 * bx + 3 >= width) {
        gatherBlockScalar(src, srcBytesPerRow, width, height, bx, by, rgba64);
        return;
    }
    const __m128i bgraToRgba = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    for (int j = 0; j < 4; ++j) {
        const int row = std::min(4 * by + j, height - 1);
        const uint8_t* p = src + static_cast<size_t>(row) * srcBytesPerRow + static_cast<size_t>(bx) * 16;
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        _mm_store_si128(reinterpret_cast<__m128i*>(rgba64 + j * 16), _mm_shuffle_epi8(pixels, bgraToRgba));
    }
}

// Signed division by 4 truncating toward zero, as C++ integer division does.
inline __m128i divideBy4(__m128i v) {
    const __m128i bias = _mm_and_si128(_mm_srai_epi32(v, 31), _mm_set1_epi32(3));
    return _mm_srai_epi32(_mm_add_epi32(v, bias), 2);
}

inline void ycocgBlock(uint8_t* rgba64) {
    const __m128i byteMask = _mm_set1_epi32(0xFF);
    __m128i co[4], cg[4], y[4];
    __m128i m = _mm_setzero_si128();
    for (int j = 0; j < 4; ++j) {
        const __m128i px = _mm_load_si128(reinterpret_cast<const __m128i*>(rgba64 + j * 16));
        const __m128i r = _mm_and_si128(px, byteMask);
        const __m128i g = _mm_and_si128(_mm_srli_epi32(px, 8), byteMask);
        const __m128i b = _mm_and_si128(_mm_srli_epi32(px, 16), byteMask);
        const __m128i g2 = _mm_add_epi32(g, g);
        co[j] = _mm_sub_epi32(r, b);
        cg[j] = _mm_sub_epi32(_mm_sub_epi32(g2, r), b);
        y[j] = _mm_add_epi32(_mm_add_epi32(r, g2), b);
        const __m128i aco = _mm_abs_epi32(co[j]);
        m = _mm_max_epi32(m, _mm_max_epi32(_mm_add_epi32(aco, aco), _mm_abs_epi32(cg[j])));
    }
    m = _mm_max_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_max_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
    const int largest = _mm_cvtsi128_si32(m);
    const int shift = largest < 128 ? 2 : (largest < 256 ? 1 : 0);
    const __m128i coShift = _mm_cvtsi32_si128(shift + 1);
    const __m128i cgShift = _mm_cvtsi32_si128(shift);
    const __m128i scale = _mm_set1_epi32(((1 << shift) - 1) * 8 << 16);
    const __m128i two = _mm_set1_epi32(2);
    const __m128i low = _mm_set1_epi32(-128);
    const __m128i bias = _mm_set1_epi32(128);
    const __m128i top = _mm_set1_epi32(255);
    for (int j = 0; j < 4; ++j) {
        const __m128i coq = _mm_min_epi32(
            top, _mm_add_epi32(_mm_max_epi32(low, divideBy4(_mm_add_epi32(_mm_sll_epi32(co[j], coShift), two))), bias));
        const __m128i cgq = _mm_min_epi32(
            top, _mm_add_epi32(_mm_max_epi32(low, divideBy4(_mm_add_epi32(_mm_sll_epi32(cg[j], cgShift), two))), bias));
        const __m128i yq = _mm_min_epi32(top, _mm_srli_epi32(_mm_add_epi32(y[j], two), 2));
        const __m128i px = _mm_or_si128(_mm_or_si128(coq, _mm_slli_epi32(cgq, 8)),
                                        _mm_or_si128(scale, _mm_slli_epi32(yq, 24)));
        _mm_store_si128(reinterpret_cast<__m128i*>(rgba64 + j * 16), px);
    }
}

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

// Whether the 4x4 source pixels of a block lying wholly inside the picture are all the same.
inline bool uniformSource(const uint8_t* src, size_t srcBytesPerRow, int bx, int by) {
    const uint8_t* p = src + static_cast<size_t>(4 * by) * srcBytesPerRow + static_cast<size_t>(bx) * 16;
    int first;
    std::memcpy(&first, p, 4);
    const __m128i pixel = _mm_set1_epi32(first);
    __m128i same = _mm_set1_epi32(-1);
    for (int j = 0; j < 4; ++j)
        same = _mm_and_si128(
            same, _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j * srcBytesPerRow)), pixel));
    return _mm_movemask_epi8(same) == 0xFFFF;
}

void encodeBlocksSse41(uint32_t format, const uint8_t* src, size_t srcBytesPerRow, int width, int height,
                       int blocksPerRow, uint8_t* dst, int firstBlockRow, int endBlockRow, int highQuality) {
    if (format > QM_TEXTURE_BC4) return;
    const size_t size = blockSize(format);
    const bool hq = highQuality != 0;
    const __m128i alphaBytes = _mm_setr_epi8(3, 7, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    // Flat areas (backgrounds, letterboxing, titles on black) repeat one block many times: the
    // block of the last uniform colour met is kept and copied while that colour repeats.
    uint32_t uniformPixel = 0;
    bool haveUniform = false;
    alignas(16) uint8_t uniformBlock[16];
    for (int by = firstBlockRow; by < endBlockRow; ++by) {
        uint8_t* out = dst + static_cast<size_t>(by) * static_cast<size_t>(blocksPerRow) * size;
        const bool wholeRow = 4 * by + 3 < height;
        for (int bx = 0; bx < blocksPerRow; ++bx, out += size) {
            bool uniform = false;
            if (wholeRow && 4 * bx + 3 < width && uniformSource(src, srcBytesPerRow, bx, by)) {
                uint32_t pixel;
                std::memcpy(&pixel,
                            src + static_cast<size_t>(4 * by) * srcBytesPerRow + static_cast<size_t>(bx) * 16, 4);
                if (haveUniform && pixel == uniformPixel) {
                    std::memcpy(out, uniformBlock, size);
                    continue;
                }
                uniform = true;
                uniformPixel = pixel;
            }
            alignas(16) uint8_t block[64];
            gatherBlock(src, srcBytesPerRow, width, height, bx, by, block);
            switch (format) {
            case QM_TEXTURE_DXT1: compressColorBlockSse41(out, block, false, hq); break;
            case QM_TEXTURE_DXT5: compressColorBlockSse41(out, block, true, hq); break;
            case QM_TEXTURE_YCOCG:
                ycocgBlock(block);
                compressColorBlockSse41(out, block, true, hq);
                break;
            default: {
                alignas(16) uint8_t alpha[16];
                for (int j = 0; j < 4; ++j) {
                    const __m128i px = _mm_load_si128(reinterpret_cast<const __m128i*>(block + j * 16));
                    const int four = _mm_cvtsi128_si32(_mm_shuffle_epi8(px, alphaBytes));
                    std::memcpy(alpha + j * 4, &four, 4);
                }
                compressAlphaBlockSse41(out, alpha);
                break;
            }
            }
            if (uniform) {
                std::memcpy(uniformBlock, out, size);
                haveUniform = true;
            }
        }
    }
}

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
