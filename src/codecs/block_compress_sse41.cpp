// The SSE4.1 block encoder: blocks are gathered as one vector of 16 values per channel, the scaled
// YCoCg transform runs on those 8 pixels at a time, and the stb_dxt colour and alpha block
// compressors are transcribed to work on them. The per-pixel work (sums, covariance, projections,
// index selection, index packing) runs 4 to 16 pixels per instruction; the few per-block float
// steps (power iteration, end point quantisation) stay scalar, written exactly as the library
// writes them, so every block comes out bit for bit as the scalar path makes it. Compiled with
// -msse4.1 and without FMA: fused multiply-adds would round the float steps differently.

#include <smmintrin.h>

#include <cmath>
#include <cstring>
#include <utility>

#include "codecs/texture_codec.h"
#include "codecs/texture_codec_internal.h"

namespace qm::texture_detail {
namespace {

struct Endpoints {
    uint16_t max16, min16;
};

// The library's optimal end points for a single colour.
inline Endpoints singleColour(int r, int g, int b) {
    const uint8_t(*o5)[2] = kSingleColour5;
    const uint8_t(*o6)[2] = kSingleColour6;
    return {static_cast<uint16_t>((o5[r][0] << 11) | (o6[g][0] << 5) | o5[b][0]),
            static_cast<uint16_t>((o5[r][1] << 11) | (o6[g][1] << 5) | o5[b][1])};
}

inline int mul8Bit(int a, int b) {
    const int t = a * b + 128;
    return (t + (t >> 8)) >> 8;
}

inline uint16_t as16Bit(int r, int g, int b) {
    return static_cast<uint16_t>((mul8Bit(r, 31) << 11) + (mul8Bit(g, 63) << 5) + mul8Bit(b, 31));
}

inline uint16_t quantize5(float x) {
    x = x < 0 ? 0 : x > 1 ? 1 : x;
    auto q = static_cast<uint16_t>(x * 31);
    q = static_cast<uint16_t>(q + (x > kMidpoints5[q]));
    return q;
}

inline uint16_t quantize6(float x) {
    x = x < 0 ? 0 : x > 1 ? 1 : x;
    auto q = static_cast<uint16_t>(x * 63);
    q = static_cast<uint16_t>(q + (x > kMidpoints6[q]));
    return q;
}

// Smallest of 16 bytes: pairwise down to 8, then the vector minimum instruction.
inline int horizontalMinU8(__m128i v) {
    v = _mm_min_epu8(v, _mm_srli_si128(v, 8));
    return _mm_cvtsi128_si32(_mm_minpos_epu16(_mm_cvtepu8_epi16(v))) & 0xFFFF;
}

inline int horizontalMaxU8(__m128i v) { return 255 - horizontalMinU8(_mm_xor_si128(v, _mm_set1_epi8(-1))); }

// Sum of the 16 bytes.
inline int sumU8(__m128i v) {
    const __m128i s = _mm_sad_epu8(v, _mm_setzero_si128());
    return _mm_cvtsi128_si32(s) + _mm_extract_epi32(s, 2);
}

// A 16-bit mask, bit i set where 32-bit lane i % 4 of vector i / 4 is all ones.
inline unsigned laneMask(__m128i m0, __m128i m1, __m128i m2, __m128i m3) {
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_packs_epi16(_mm_packs_epi32(m0, m1), _mm_packs_epi32(m2, m3))));
}

// Spreads 16 bits to the even bits of 32.
inline uint32_t spreadBits(uint32_t x) {
    x = (x | (x << 8)) & 0x00FF00FFu;
    x = (x | (x << 4)) & 0x0F0F0F0Fu;
    x = (x | (x << 2)) & 0x33333333u;
    x = (x | (x << 1)) & 0x55555555u;
    return x;
}

// A block as one vector of 16 values per channel.
struct Planes {
    __m128i r, g, b, a;
};

// Four vectors of four pixels each, bytes grouped by channel, to one vector per channel.
inline Planes transpose(__m128i p0, __m128i p1, __m128i p2, __m128i p3) {
    const __m128i rg01 = _mm_unpacklo_epi32(p0, p1), ba01 = _mm_unpackhi_epi32(p0, p1);
    const __m128i rg23 = _mm_unpacklo_epi32(p2, p3), ba23 = _mm_unpackhi_epi32(p2, p3);
    return {_mm_unpacklo_epi64(rg01, rg23), _mm_unpackhi_epi64(rg01, rg23), _mm_unpacklo_epi64(ba01, ba23),
            _mm_unpackhi_epi64(ba01, ba23)};
}

// Four rows of four BGRA pixels.
inline Planes planesFromBgraRows(const __m128i rows[4]) {
    const __m128i byChannel = _mm_setr_epi8(2, 6, 10, 14, 1, 5, 9, 13, 0, 4, 8, 12, 3, 7, 11, 15);
    return transpose(_mm_shuffle_epi8(rows[0], byChannel), _mm_shuffle_epi8(rows[1], byChannel),
                     _mm_shuffle_epi8(rows[2], byChannel), _mm_shuffle_epi8(rows[3], byChannel));
}

// 16 R, G, B, A pixels.
inline Planes planesFromRgba(const uint8_t* rgba64) {
    const __m128i byChannel = _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    __m128i p[4];
    for (int j = 0; j < 4; ++j)
        p[j] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rgba64 + 16 * j)), byChannel);
    return transpose(p[0], p[1], p[2], p[3]);
}

inline bool uniform(__m128i plane) {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(plane, _mm_shuffle_epi8(plane, _mm_setzero_si128()))) == 0xFFFF;
}

// Signed 16-bit division by 4 truncating toward zero, as C++ integer division does.
inline __m128i divideBy4(__m128i v) {
    const __m128i bias = _mm_and_si128(_mm_srai_epi16(v, 15), _mm_set1_epi16(3));
    return _mm_srai_epi16(_mm_add_epi16(v, bias), 2);
}

// The scaled YCoCg transform: (Co', Cg', scale, Y') planes, the scalar transform's arithmetic in
// 16-bit lanes (every intermediate stays within +-1020).
inline Planes ycocgPlanes(const Planes& p) {
    const __m128i zero = _mm_setzero_si128();
    __m128i co[2], cg[2], y[2];
    __m128i m = zero;
    for (int h = 0; h < 2; ++h) {
        const __m128i r = h == 0 ? _mm_unpacklo_epi8(p.r, zero) : _mm_unpackhi_epi8(p.r, zero);
        const __m128i g = h == 0 ? _mm_unpacklo_epi8(p.g, zero) : _mm_unpackhi_epi8(p.g, zero);
        const __m128i b = h == 0 ? _mm_unpacklo_epi8(p.b, zero) : _mm_unpackhi_epi8(p.b, zero);
        const __m128i g2 = _mm_add_epi16(g, g);
        co[h] = _mm_sub_epi16(r, b);
        cg[h] = _mm_sub_epi16(_mm_sub_epi16(g2, r), b);
        y[h] = _mm_add_epi16(_mm_add_epi16(r, g2), b);
        const __m128i aco = _mm_abs_epi16(co[h]);
        m = _mm_max_epi16(m, _mm_max_epi16(_mm_add_epi16(aco, aco), _mm_abs_epi16(cg[h])));
    }
    m = _mm_max_epi16(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_max_epi16(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
    m = _mm_max_epi16(m, _mm_srli_epi32(m, 16));
    const int largest = _mm_cvtsi128_si32(m) & 0xFFFF;
    // A larger scale keeps more chroma precision for pale blocks.
    const int shift = largest < 128 ? 2 : (largest < 256 ? 1 : 0);
    const __m128i coShift = _mm_cvtsi32_si128(shift + 1), cgShift = _mm_cvtsi32_si128(shift);
    const __m128i two = _mm_set1_epi16(2), low = _mm_set1_epi16(-128), centre = _mm_set1_epi16(128);
    const __m128i top = _mm_set1_epi16(255);
    __m128i coq[2], cgq[2], yq[2];
    for (int h = 0; h < 2; ++h) {
        coq[h] = _mm_min_epi16(
            top, _mm_add_epi16(_mm_max_epi16(low, divideBy4(_mm_add_epi16(_mm_sll_epi16(co[h], coShift), two))), centre));
        cgq[h] = _mm_min_epi16(
            top, _mm_add_epi16(_mm_max_epi16(low, divideBy4(_mm_add_epi16(_mm_sll_epi16(cg[h], cgShift), two))), centre));
        yq[h] = _mm_min_epi16(top, _mm_srli_epi16(_mm_add_epi16(y[h], two), 2));
    }
    return {_mm_packus_epi16(coq[0], coq[1]), _mm_packus_epi16(cgq[0], cgq[1]),
            _mm_set1_epi8(static_cast<char>(((1 << shift) - 1) * 8)), _mm_packus_epi16(yq[0], yq[1])};
}

// Per pixel r * wr + g * wg + b * wb as 32-bit lanes: pixels 0-3, 4-7, 8-11, 12-15. Weights fit
// 16 bits; each product and sum fits 32.
struct Dots {
    __m128i d[4];
};

inline Dots project(const Planes& p, int wr, int wg, int wb) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i rgWeights = _mm_set1_epi32((wr & 0xFFFF) | (wg << 16));
    const __m128i bWeights = _mm_set1_epi32(wb & 0xFFFF);
    const __m128i rg[2] = {_mm_unpacklo_epi8(p.r, p.g), _mm_unpackhi_epi8(p.r, p.g)};
    const __m128i b[2] = {_mm_unpacklo_epi8(p.b, zero), _mm_unpackhi_epi8(p.b, zero)};
    Dots out;
    for (int h = 0; h < 2; ++h) {
        // (r, g) byte pairs become 16-bit pairs; b pairs with zero.
        const __m128i rgLo = _mm_unpacklo_epi8(rg[h], zero), rgHi = _mm_unpackhi_epi8(rg[h], zero);
        const __m128i bLo = _mm_unpacklo_epi16(b[h], zero), bHi = _mm_unpackhi_epi16(b[h], zero);
        out.d[2 * h] = _mm_add_epi32(_mm_madd_epi16(rgLo, rgWeights), _mm_madd_epi16(bLo, bWeights));
        out.d[2 * h + 1] = _mm_add_epi32(_mm_madd_epi16(rgHi, rgWeights), _mm_madd_epi16(bHi, bWeights));
    }
    return out;
}

// Alpha (BC4) block of 16 values: end points max and min, and the index each value is nearest to.
void alphaBlock(uint8_t* dest, __m128i values) {
    const int mn = horizontalMinU8(values), mx = horizontalMaxU8(values);
    const int dist = mx - mn;
    const int dist4 = dist * 4, dist2 = dist * 2;
    int bias = (dist < 8) ? (dist - 1) : (dist / 2 + 2);
    bias -= mn * 7;

    const __m128i zero = _mm_setzero_si128();
    const __m128i seven = _mm_set1_epi16(7), biasV = _mm_set1_epi16(static_cast<short>(bias));
    const __m128i d4 = _mm_set1_epi16(static_cast<short>(dist4)), d2 = _mm_set1_epi16(static_cast<short>(dist2));
    const __m128i d4m = _mm_set1_epi16(static_cast<short>(dist4 - 1)), d2m = _mm_set1_epi16(static_cast<short>(dist2 - 1));
    const __m128i d1m = _mm_set1_epi16(static_cast<short>(dist - 1));
    const __m128i four = _mm_set1_epi16(4), two = _mm_set1_epi16(2), one = _mm_set1_epi16(1);
    auto indices = [&](__m128i v) {
        __m128i a = _mm_add_epi16(_mm_mullo_epi16(v, seven), biasV);
        __m128i t = _mm_cmpgt_epi16(a, d4m);
        __m128i ind = _mm_and_si128(t, four);
        a = _mm_sub_epi16(a, _mm_and_si128(t, d4));
        t = _mm_cmpgt_epi16(a, d2m);
        ind = _mm_add_epi16(ind, _mm_and_si128(t, two));
        a = _mm_sub_epi16(a, _mm_and_si128(t, d2));
        ind = _mm_sub_epi16(ind, _mm_cmpgt_epi16(a, d1m));
        // The linear scale 0 (min) .. 7 (max) becomes the block's index order.
        ind = _mm_and_si128(_mm_sub_epi16(zero, ind), seven);
        return _mm_xor_si128(ind, _mm_and_si128(_mm_cmpgt_epi16(two, ind), one));
    };
    const __m128i bytes =
        _mm_packus_epi16(indices(_mm_unpacklo_epi8(values, zero)), indices(_mm_unpackhi_epi8(values, zero)));
    // 3-bit indices to 6-bit pairs, then 12-bit quads, then 48 bits.
    const __m128i pairs = _mm_maddubs_epi16(bytes, _mm_set1_epi16(0x0801));
    const __m128i quads = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00400001));
    const auto low = static_cast<uint64_t>(_mm_cvtsi128_si64(quads));
    const auto high = static_cast<uint64_t>(_mm_extract_epi64(quads, 1));
    const uint64_t bits = (low & 0xFFF) | ((low >> 32) << 12) | ((high & 0xFFF) << 24) | ((high >> 32) << 36);
    // End points max, min, then the indices: one little-endian store (this file is x86 only).
    const uint64_t block = static_cast<uint64_t>(mx) | (static_cast<uint64_t>(mn) << 8) | (bits << 16);
    std::memcpy(dest, &block, 8);
}

// The four palette colours of a pair of 5:6:5 end points as R, G, B (the library's order: max end,
// min end, then the two thirds).
struct Palette {
    int c[4][3];
};

inline Palette evalColors(uint16_t c0, uint16_t c1) {
    Palette p{};
    auto expand = [](uint16_t v, int* out) {
        out[0] = (((v & 0xf800) >> 11) * 33) >> 2;
        out[1] = (((v & 0x07e0) >> 5) * 65) >> 4;
        out[2] = ((v & 0x001f) * 33) >> 2;
    };
    expand(c0, p.c[0]);
    expand(c1, p.c[1]);
    for (int ch = 0; ch < 3; ++ch) {
        p.c[2][ch] = (2 * p.c[0][ch] + p.c[1][ch]) / 3;
        p.c[3][ch] = (2 * p.c[1][ch] + p.c[0][ch]) / 3;
    }
    return p;
}

// Nearest palette index per pixel along the palette's line, as 2-bit fields.
uint32_t matchColors(const Planes& p, const Palette& pal) {
    const int dirr = pal.c[0][0] - pal.c[1][0];
    const int dirg = pal.c[0][1] - pal.c[1][1];
    const int dirb = pal.c[0][2] - pal.c[1][2];
    int stops[4];
    for (int i = 0; i < 4; ++i) stops[i] = pal.c[i][0] * dirr + pal.c[i][1] * dirg + pal.c[i][2] * dirb;
    const __m128i c0Point = _mm_set1_epi32(stops[1] + stops[3]);
    const __m128i halfPoint = _mm_set1_epi32(stops[3] + stops[2]);
    const __m128i c3Point = _mm_set1_epi32(stops[2] + stops[0]);
    const Dots dots = project(p, dirr, dirg, dirb);
    __m128i low[4], high[4];
    for (int k = 0; k < 4; ++k) {
        const __m128i dot = _mm_add_epi32(dots.d[k], dots.d[k]);
        const __m128i belowHalf = _mm_cmpgt_epi32(halfPoint, dot);
        const __m128i belowC0 = _mm_cmpgt_epi32(c0Point, dot);
        const __m128i belowC3 = _mm_cmpgt_epi32(c3Point, dot);
        // Below half: 1 below c0Point, else 3; otherwise 2 below c3Point, else 0.
        low[k] = belowHalf;
        high[k] = _mm_blendv_epi8(belowC3, _mm_andnot_si128(belowC0, belowHalf), belowHalf);
    }
    return spreadBits(laneMask(low[0], low[1], low[2], low[3])) |
           (spreadBits(laneMask(high[0], high[1], high[2], high[3])) << 1);
}

// Principal-axis end points of N non-constant blocks. The blocks go through each step side by
// side: their long dependency chains (power iteration, the double-precision scaling) then overlap.
template <int N>
void optimizeColors(const Planes* const* p, const int (*sums)[3], Endpoints* out) {
    const __m128i zero = _mm_setzero_si128();
    alignas(16) float covf[N][8];
    float extent[N][3];
    for (int k = 0; k < N; ++k) {
        const int mu[3] = {(sums[k][0] + 8) >> 4, (sums[k][1] + 8) >> 4, (sums[k][2] + 8) >> 4};
        const __m128i planes[3] = {p[k]->r, p[k]->g, p[k]->b};
        for (int ch = 0; ch < 3; ++ch)
            extent[k][ch] = static_cast<float>(horizontalMaxU8(planes[ch]) - horizontalMinU8(planes[ch]));
        // Covariance: centred channels as 16-bit lanes, products summed in pairs.
        __m128i cov[6] = {zero, zero, zero, zero, zero, zero};
        for (int h = 0; h < 2; ++h) {
            __m128i c[3];
            for (int ch = 0; ch < 3; ++ch) {
                const __m128i wide = h == 0 ? _mm_unpacklo_epi8(planes[ch], zero) : _mm_unpackhi_epi8(planes[ch], zero);
                c[ch] = _mm_sub_epi16(wide, _mm_set1_epi16(static_cast<short>(mu[ch])));
            }
            cov[0] = _mm_add_epi32(cov[0], _mm_madd_epi16(c[0], c[0]));
            cov[1] = _mm_add_epi32(cov[1], _mm_madd_epi16(c[0], c[1]));
            cov[2] = _mm_add_epi32(cov[2], _mm_madd_epi16(c[0], c[2]));
            cov[3] = _mm_add_epi32(cov[3], _mm_madd_epi16(c[1], c[1]));
            cov[4] = _mm_add_epi32(cov[4], _mm_madd_epi16(c[1], c[2]));
            cov[5] = _mm_add_epi32(cov[5], _mm_madd_epi16(c[2], c[2]));
        }
        const __m128i first4 = _mm_hadd_epi32(_mm_hadd_epi32(cov[0], cov[1]), _mm_hadd_epi32(cov[2], cov[3]));
        const __m128i last2 = _mm_hadd_epi32(_mm_hadd_epi32(cov[4], cov[5]), zero);
        const __m128 scale = _mm_set1_ps(255.0f);
        _mm_store_ps(covf[k], _mm_div_ps(_mm_cvtepi32_ps(first4), scale));
        _mm_store_ps(covf[k] + 4, _mm_div_ps(_mm_cvtepi32_ps(last2), scale));
    }

    float v[N][3];
    for (int k = 0; k < N; ++k)
        for (int ch = 0; ch < 3; ++ch) v[k][ch] = extent[k][ch];
    for (int iter = 0; iter < 4; ++iter) {
        for (int k = 0; k < N; ++k) {
            const float* c = covf[k];
            const float r = v[k][0] * c[0] + v[k][1] * c[1] + v[k][2] * c[2];
            const float g = v[k][0] * c[1] + v[k][1] * c[3] + v[k][2] * c[4];
            const float b = v[k][0] * c[2] + v[k][1] * c[4] + v[k][2] * c[5];
            v[k][0] = r;
            v[k][1] = g;
            v[k][2] = b;
        }
    }
    int axis[N][3];
    for (int k = 0; k < N; ++k) {
        const float vfr = v[k][0], vfg = v[k][1], vfb = v[k][2];
        double magn = std::fabs(vfr);
        if (std::fabs(vfg) > magn) magn = std::fabs(vfg);
        if (std::fabs(vfb) > magn) magn = std::fabs(vfb);
        if (magn < 4.0f) {  // too small: luminance
            axis[k][0] = 299;
            axis[k][1] = 587;
            axis[k][2] = 114;
        } else {
            magn = 512.0 / magn;
            axis[k][0] = static_cast<int>(vfr * magn);
            axis[k][1] = static_cast<int>(vfg * magn);
            axis[k][2] = static_cast<int>(vfb * magn);
        }
    }

    // The first pixel with the smallest and the first with the largest projection.
    for (int k = 0; k < N; ++k) {
        const Dots dots = project(*p[k], axis[k][0], axis[k][1], axis[k][2]);
        __m128i lo = _mm_min_epi32(_mm_min_epi32(dots.d[0], dots.d[1]), _mm_min_epi32(dots.d[2], dots.d[3]));
        __m128i hi = _mm_max_epi32(_mm_max_epi32(dots.d[0], dots.d[1]), _mm_max_epi32(dots.d[2], dots.d[3]));
        lo = _mm_min_epi32(lo, _mm_shuffle_epi32(lo, _MM_SHUFFLE(1, 0, 3, 2)));
        lo = _mm_min_epi32(lo, _mm_shuffle_epi32(lo, _MM_SHUFFLE(2, 3, 0, 1)));
        hi = _mm_max_epi32(hi, _mm_shuffle_epi32(hi, _MM_SHUFFLE(1, 0, 3, 2)));
        hi = _mm_max_epi32(hi, _mm_shuffle_epi32(hi, _MM_SHUFFLE(2, 3, 0, 1)));
        const int minIndex = __builtin_ctz(laneMask(_mm_cmpeq_epi32(dots.d[0], lo), _mm_cmpeq_epi32(dots.d[1], lo),
                                                    _mm_cmpeq_epi32(dots.d[2], lo), _mm_cmpeq_epi32(dots.d[3], lo)));
        const int maxIndex = __builtin_ctz(laneMask(_mm_cmpeq_epi32(dots.d[0], hi), _mm_cmpeq_epi32(dots.d[1], hi),
                                                    _mm_cmpeq_epi32(dots.d[2], hi), _mm_cmpeq_epi32(dots.d[3], hi)));
        alignas(16) uint8_t r[16], g[16], b[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(r), p[k]->r);
        _mm_store_si128(reinterpret_cast<__m128i*>(g), p[k]->g);
        _mm_store_si128(reinterpret_cast<__m128i*>(b), p[k]->b);
        out[k] = {as16Bit(r[maxIndex], g[maxIndex], b[maxIndex]), as16Bit(r[minIndex], g[minIndex], b[minIndex])};
    }
}

// Least-squares end points for the given indices; returns whether they changed.
bool refineBlock(const Planes& p, const int sums[3], Endpoints& e, uint32_t mask) {
    const Endpoints old = e;
    if ((mask ^ (mask << 2)) < 4) {  // one index for every pixel: the system would be singular
        e = singleColour((sums[0] + 8) >> 4, (sums[1] + 8) >> 4, (sums[2] + 8) >> 4);
        return old.min16 != e.min16 || old.max16 != e.max16;
    }
    // Index of pixel k in byte k.
    const __m128i spread = _mm_shuffle_epi8(_mm_cvtsi32_si128(static_cast<int>(mask)),
                                            _mm_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3));
    const __m128i lowBit = _mm_setr_epi8(1, 4, 16, 64, 1, 4, 16, 64, 1, 4, 16, 64, 1, 4, 16, 64);
    const __m128i highBit = _mm_add_epi8(lowBit, lowBit);
    const __m128i index = _mm_or_si128(
        _mm_and_si128(_mm_cmpeq_epi8(_mm_and_si128(spread, lowBit), lowBit), _mm_set1_epi8(1)),
        _mm_and_si128(_mm_cmpeq_epi8(_mm_and_si128(spread, highBit), highBit), _mm_set1_epi8(2)));
    // Weight of the max end point per index, and the products the normal equations sum up.
    const __m128i w1 = _mm_shuffle_epi8(_mm_setr_epi8(3, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), index);
    const int xx = sumU8(_mm_shuffle_epi8(_mm_setr_epi8(9, 0, 4, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), index));
    const int yy = sumU8(_mm_shuffle_epi8(_mm_setr_epi8(0, 9, 1, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), index));
    const int xy = sumU8(_mm_shuffle_epi8(_mm_setr_epi8(0, 0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), index));
    const __m128i ones = _mm_set1_epi16(1);
    const __m128i at1 = _mm_hadd_epi32(
        _mm_hadd_epi32(_mm_madd_epi16(_mm_maddubs_epi16(p.r, w1), ones), _mm_madd_epi16(_mm_maddubs_epi16(p.g, w1), ones)),
        _mm_hadd_epi32(_mm_madd_epi16(_mm_maddubs_epi16(p.b, w1), ones), _mm_setzero_si128()));
    const int at1r = _mm_cvtsi128_si32(at1), at1g = _mm_extract_epi32(at1, 1), at1b = _mm_extract_epi32(at1, 2);
    const int at2r = 3 * sums[0] - at1r, at2g = 3 * sums[1] - at1g, at2b = 3 * sums[2] - at1b;

    const float f = 3.0f / 255.0f / static_cast<float>(xx * yy - xy * xy);
    e.max16 = static_cast<uint16_t>((quantize5(static_cast<float>(at1r * yy - at2r * xy) * f) << 11) |
                                    (quantize6(static_cast<float>(at1g * yy - at2g * xy) * f) << 5) |
                                    quantize5(static_cast<float>(at1b * yy - at2b * xy) * f));
    e.min16 = static_cast<uint16_t>((quantize5(static_cast<float>(at2r * xx - at1r * xy) * f) << 11) |
                                    (quantize6(static_cast<float>(at2g * xx - at1g * xy) * f) << 5) |
                                    quantize5(static_cast<float>(at2b * xx - at1b * xy) * f));
    return old.min16 != e.min16 || old.max16 != e.max16;
}

void writeColorBlock(uint8_t* dest, Endpoints e, uint32_t mask) {
    if (e.max16 < e.min16) {
        std::swap(e.max16, e.min16);
        mask ^= 0x55555555;
    }
    dest[0] = static_cast<uint8_t>(e.max16);
    dest[1] = static_cast<uint8_t>(e.max16 >> 8);
    dest[2] = static_cast<uint8_t>(e.min16);
    dest[3] = static_cast<uint8_t>(e.min16 >> 8);
    std::memcpy(dest + 4, &mask, 4);
}

// Colour block of a block whose 16 colours are equal.
void constantColorBlock(uint8_t* dest, const Planes& p) {
    writeColorBlock(dest, singleColour(_mm_extract_epi8(p.r, 0), _mm_extract_epi8(p.g, 0), _mm_extract_epi8(p.b, 0)),
                    0xaaaaaaaa);
}

// Colour blocks of N blocks whose colours are not all equal.
template <int N>
void colorBlocks(uint8_t* const* dest, const Planes* const* p, bool highQuality) {
    int sums[N][3];
    for (int k = 0; k < N; ++k) {
        sums[k][0] = sumU8(p[k]->r);
        sums[k][1] = sumU8(p[k]->g);
        sums[k][2] = sumU8(p[k]->b);
    }
    Endpoints ends[N];
    optimizeColors<N>(p, sums, ends);
    uint32_t masks[N];
    for (int k = 0; k < N; ++k)
        masks[k] = ends[k].max16 != ends[k].min16 ? matchColors(*p[k], evalColors(ends[k].max16, ends[k].min16)) : 0;
    const int refineCount = highQuality ? 2 : 1;
    for (int k = 0; k < N; ++k) {
        Endpoints& e = ends[k];
        uint32_t& mask = masks[k];
        for (int i = 0; i < refineCount; ++i) {
            const uint32_t lastMask = mask;
            if (refineBlock(*p[k], sums[k], e, mask)) {
                if (e.max16 != e.min16) {
                    mask = matchColors(*p[k], evalColors(e.max16, e.min16));
                } else {
                    mask = 0;
                    break;
                }
            }
            if (mask == lastMask) break;
        }
        writeColorBlock(dest[k], e, mask);
    }
}

// Colour blocks waiting to be compressed two at a time.
class ColorQueue {
public:
    explicit ColorQueue(bool highQuality) : highQuality_(highQuality) {}
    ~ColorQueue() { flush(); }

    void add(uint8_t* dest, const Planes& p) {
        dest_[count_] = dest;
        planes_[count_] = p;
        if (++count_ < 2) return;
        const Planes* both[2] = {&planes_[0], &planes_[1]};
        colorBlocks<2>(dest_, both, highQuality_);
        count_ = 0;
    }

    void flush() {
        if (count_ == 0) return;
        const Planes* one[1] = {&planes_[0]};
        colorBlocks<1>(dest_, one, highQuality_);
        count_ = 0;
    }

private:
    const bool highQuality_;
    uint8_t* dest_[2] = {nullptr, nullptr};
    Planes planes_[2];
    int count_ = 0;
};

}  // namespace

void encodeBlocksSse41(uint32_t format, const uint8_t* src, size_t srcBytesPerRow, int width, int height,
                       int blocksPerRow, uint8_t* dst, int firstBlockRow, int endBlockRow, int highQuality) {
    if (format > QM_TEXTURE_BC4) return;
    const size_t size = blockSize(format);
    const bool hq = highQuality != 0;
    // Flat areas (backgrounds, letterboxing, titles on black) repeat one block many times: the
    // block of the last uniform colour met is kept and copied while that colour repeats.
    __m128i uniformPixel = _mm_setzero_si128();
    bool haveUniform = false;
    alignas(16) uint8_t uniformBlock[16];
    ColorQueue colors(hq);
    for (int by = firstBlockRow; by < endBlockRow; ++by) {
        uint8_t* out = dst + static_cast<size_t>(by) * static_cast<size_t>(blocksPerRow) * size;
        const bool wholeRows = 4 * by + 3 < height;
        const uint8_t* line = src + static_cast<size_t>(4 * by) * srcBytesPerRow;
        for (int bx = 0; bx < blocksPerRow; ++bx, out += size) {
            Planes p;
            bool sourceUniform = false;
            if (wholeRows && 4 * bx + 3 < width) {
                __m128i rows[4];
                for (int j = 0; j < 4; ++j)
                    rows[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + j * srcBytesPerRow + 16 * bx));
                const __m128i first = _mm_shuffle_epi32(rows[0], 0);
                __m128i same = _mm_cmpeq_epi32(rows[0], first);
                for (int j = 1; j < 4; ++j) same = _mm_and_si128(same, _mm_cmpeq_epi32(rows[j], first));
                if (_mm_movemask_epi8(same) == 0xFFFF) {
                    if (haveUniform && _mm_movemask_epi8(_mm_cmpeq_epi32(first, uniformPixel)) == 0xFFFF) {
                        std::memcpy(out, uniformBlock, size);
                        continue;
                    }
                    sourceUniform = true;
                    uniformPixel = first;
                }
                p = planesFromBgraRows(rows);
            } else {
                alignas(16) uint8_t block[64];
                gatherBlockScalar(src, srcBytesPerRow, width, height, bx, by, block);
                p = planesFromRgba(block);
            }
            // A constant colour block (as the library tests it: without alpha on all four bytes) is
            // done at once; the others wait for a partner.
            switch (format) {
            case QM_TEXTURE_DXT1:
                if (uniform(p.r) && uniform(p.g) && uniform(p.b) && uniform(p.a))
                    constantColorBlock(out, p);
                else
                    colors.add(out, p);
                break;
            case QM_TEXTURE_DXT5:
                alphaBlock(out, p.a);
                if (uniform(p.r) && uniform(p.g) && uniform(p.b))
                    constantColorBlock(out + 8, p);
                else
                    colors.add(out + 8, p);
                break;
            case QM_TEXTURE_YCOCG: {
                const Planes q = ycocgPlanes(p);
                alphaBlock(out, q.a);
                if (uniform(q.r) && uniform(q.g))
                    constantColorBlock(out + 8, q);
                else
                    colors.add(out + 8, q);
                break;
            }
            default: alphaBlock(out, p.a); break;
            }
            if (sourceUniform) {
                std::memcpy(uniformBlock, out, size);
                haveUniform = true;
            }
        }
    }
}

}  // namespace qm::texture_detail
