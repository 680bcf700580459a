#include "codecs/texture_codec.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "codecs/texture_codec_internal.h"

// Our private copy of the block compressors: static, so it never clashes with the copy that the
// shared stb library exports.
#define STB_DXT_STATIC
#define STB_DXT_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb_dxt.h>
#pragma GCC diagnostic pop

namespace qm::texture_detail {

void compressColorBlock(uint8_t* dst, const uint8_t* rgba64, bool alpha, bool highQuality) {
    stb_compress_dxt_block(dst, rgba64, alpha ? 1 : 0, highQuality ? STB_DXT_HIGHQUAL : STB_DXT_NORMAL);
}

void compressAlphaBlock(uint8_t* dst, const uint8_t* values16) { stb_compress_bc4_block(dst, values16); }

const uint8_t (*const kSingleColour5)[2] = stb__OMatch5;
const uint8_t (*const kSingleColour6)[2] = stb__OMatch6;
const float* const kMidpoints5 = stb__midpoints5;
const float* const kMidpoints6 = stb__midpoints6;

void gatherBlockScalar(const uint8_t* src, size_t srcBytesPerRow, int width, int height, int bx, int by,
                       uint8_t* rgba64) {
    for (int j = 0; j < 4; ++j) {
        const int row = std::min(4 * by + j, height - 1);
        const uint8_t* line = src + static_cast<size_t>(row) * srcBytesPerRow;
        for (int i = 0; i < 4; ++i) {
            const int column = std::min(4 * bx + i, width - 1);
            const uint8_t* p = line + static_cast<size_t>(column) * 4;
            uint8_t* q = rgba64 + (j * 4 + i) * 4;
            q[0] = p[2];
            q[1] = p[1];
            q[2] = p[0];
            q[3] = p[3];
        }
    }
}

void ycocgBlockScalar(uint8_t* rgba64) {
    int co[16], cg[16], y[16];
    int m = 0;
    for (int i = 0; i < 16; ++i) {
        const int r = rgba64[i * 4], g = rgba64[i * 4 + 1], b = rgba64[i * 4 + 2];
        co[i] = r - b;
        cg[i] = 2 * g - r - b;
        y[i] = r + 2 * g + b;
        m = std::max(m, std::max(2 * std::abs(co[i]), std::abs(cg[i])));
    }
    // A larger scale keeps more chroma precision for pale blocks.
    const int shift = m < 128 ? 2 : (m < 256 ? 1 : 0);
    const int scaleByte = ((1 << shift) - 1) * 8;
    for (int i = 0; i < 16; ++i) {
        rgba64[i * 4] = static_cast<uint8_t>(std::min(255, std::max(-128, (co[i] * (1 << (shift + 1)) + 2) / 4) + 128));
        rgba64[i * 4 + 1] = static_cast<uint8_t>(std::min(255, std::max(-128, (cg[i] * (1 << shift) + 2) / 4) + 128));
        rgba64[i * 4 + 2] = static_cast<uint8_t>(scaleByte);
        rgba64[i * 4 + 3] = static_cast<uint8_t>(std::min(255, (y[i] + 2) / 4));
    }
}

void ycocgToBgraScalar(const uint8_t* colorRgba64, const uint8_t* luma16, uint8_t* bgra64) {
    for (int i = 0; i < 16; ++i) {
        const float scale = static_cast<float>(colorRgba64[i * 4 + 2]) * 0.125f + 1.0f;
        const float co = static_cast<float>(colorRgba64[i * 4] - 128) / scale;
        const float cg = static_cast<float>(colorRgba64[i * 4 + 1] - 128) / scale;
        const float y = static_cast<float>(luma16[i]);
        const float r = y + co - cg;
        const float g = y + cg;
        const float b = y - co - cg;
        auto channel = [](float v) {
            return static_cast<uint8_t>(std::clamp(static_cast<int>(v + 0.5f), 0, 255));
        };
        bgra64[i * 4] = channel(b);
        bgra64[i * 4 + 1] = channel(g);
        bgra64[i * 4 + 2] = channel(r);
        bgra64[i * 4 + 3] = 255;
    }
}

void storeBgraBlock(const uint8_t* bgra64, int bx, int by, int width, int height, uint8_t* dst,
                    size_t dstBytesPerRow) {
    const int x0 = 4 * bx;
    const int columns = std::min(4, width - x0);
    if (columns <= 0) return;
    for (int j = 0; j < 4; ++j) {
        const int y = 4 * by + j;
        if (y >= height) break;
        std::memcpy(dst + static_cast<size_t>(y) * dstBytesPerRow + static_cast<size_t>(x0) * 4, bgra64 + j * 16,
                    static_cast<size_t>(columns) * 4);
    }
}

namespace {

void encodeOneBlock(uint32_t format, uint8_t* block, uint8_t* out, bool highQuality) {
    switch (format) {
    case QM_TEXTURE_DXT1: compressColorBlock(out, block, false, highQuality); break;
    case QM_TEXTURE_DXT5: compressColorBlock(out, block, true, highQuality); break;
    case QM_TEXTURE_YCOCG:
        ycocgBlockScalar(block);
        compressColorBlock(out, block, true, highQuality);
        break;
    case QM_TEXTURE_BC4: {
        uint8_t alpha[16];
        for (int i = 0; i < 16; ++i) alpha[i] = block[i * 4 + 3];
        compressAlphaBlock(out, alpha);
        break;
    }
    default: break;
    }
}

// Decodes one block of formats 0-2 as B, G, R, A.
void decodeColorFormatBlock(uint32_t format, const uint8_t* in, uint8_t* bgra64) {
    uint8_t rgba[64];
    if (format == QM_TEXTURE_DXT1) {
        qm_decode_color_block(in, 0, rgba);
        for (int i = 0; i < 16; ++i) rgba[i * 4 + 3] = 255;
    } else {
        uint8_t alpha[16];
        qm_decode_alpha_block(in, alpha);
        qm_decode_color_block(in + 8, 1, rgba);
        if (format == QM_TEXTURE_YCOCG) {
            ycocgToBgraScalar(rgba, alpha, bgra64);
            return;
        }
        for (int i = 0; i < 16; ++i) rgba[i * 4 + 3] = alpha[i];
    }
    for (int i = 0; i < 16; ++i) {
        bgra64[i * 4] = rgba[i * 4 + 2];
        bgra64[i * 4 + 1] = rgba[i * 4 + 1];
        bgra64[i * 4 + 2] = rgba[i * 4];
        bgra64[i * 4 + 3] = rgba[i * 4 + 3];
    }
}

void storeAlphaBlock(const uint8_t* alpha16, int bx, int by, int width, int height, uint8_t* dst,
                     size_t dstBytesPerRow) {
    for (int j = 0; j < 4; ++j) {
        const int y = 4 * by + j;
        if (y >= height) break;
        uint8_t* line = dst + static_cast<size_t>(y) * dstBytesPerRow;
        for (int i = 0; i < 4; ++i) {
            const int x = 4 * bx + i;
            if (x >= width) break;
            line[static_cast<size_t>(x) * 4 + 3] = alpha16[j * 4 + i];
        }
    }
}

}  // namespace

void encodeBlocksScalar(uint32_t format, const uint8_t* src, size_t srcBytesPerRow, int width, int height,
                        int blocksPerRow, uint8_t* dst, int firstBlockRow, int endBlockRow, int highQuality) {
    const size_t size = blockSize(format);
    for (int by = firstBlockRow; by < endBlockRow; ++by) {
        uint8_t* out = dst + static_cast<size_t>(by) * static_cast<size_t>(blocksPerRow) * size;
        if (format > QM_TEXTURE_BC4) continue;
        for (int bx = 0; bx < blocksPerRow; ++bx, out += size) {
            alignas(16) uint8_t block[64];
            gatherBlockScalar(src, srcBytesPerRow, width, height, bx, by, block);
            encodeOneBlock(format, block, out, highQuality != 0);
        }
    }
}

void decodeRowsScalar(uint32_t format, const uint8_t* src, int blocksPerRow, int width, int height, uint8_t* dst,
                      size_t dstBytesPerRow, int firstBlockRow, int endBlockRow) {
    if (format > QM_TEXTURE_BC4) return;
    const size_t size = blockSize(format);
    // Blocks right of the picture are never visible; skip them.
    const int visibleBlocks = std::min(blocksPerRow, (width + 3) / 4);
    for (int by = firstBlockRow; by < endBlockRow && 4 * by < height; ++by) {
        const uint8_t* in = src + static_cast<size_t>(by) * static_cast<size_t>(blocksPerRow) * size;
        for (int bx = 0; bx < visibleBlocks; ++bx, in += size) {
            if (format == QM_TEXTURE_BC4) {
                uint8_t alpha[16];
                qm_decode_alpha_block(in, alpha);
                storeAlphaBlock(alpha, bx, by, width, height, dst, dstBytesPerRow);
            } else {
                uint8_t bgra[64];
                decodeColorFormatBlock(format, in, bgra);
                storeBgraBlock(bgra, bx, by, width, height, dst, dstBytesPerRow);
            }
        }
    }
}

bool sse41Available() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool available = __builtin_cpu_supports("sse4.1");
    return available;
#else
    return false;
#endif
}

}  // namespace qm::texture_detail

using namespace qm::texture_detail;

extern "C" {

uint64_t qm_texture_size(qm_texture_format format, int32_t width, int32_t height) {
    if (width < 1 || height < 1) return 0;
    return static_cast<uint64_t>((static_cast<int64_t>(width) + 3) / 4) *
           static_cast<uint64_t>((static_cast<int64_t>(height) + 3) / 4) * blockSize(format);
}

void qm_texture_encode(qm_texture_format format, const uint8_t* src, size_t srcBytesPerRow, int32_t width,
                       int32_t height, uint8_t* dst, int32_t firstBlockRow, int32_t endBlockRow,
                       int32_t highQuality) {
    const int32_t blocksPerRow = width < 1 ? 0 : static_cast<int32_t>((static_cast<int64_t>(width) + 3) / 4);
    qm_texture_encode_blocks(format, src, srcBytesPerRow, width, height, blocksPerRow, dst, firstBlockRow,
                             endBlockRow, highQuality);
}

void qm_texture_encode_blocks(qm_texture_format format, const uint8_t* src, size_t srcBytesPerRow, int32_t width,
                              int32_t height, int32_t blocksPerRow, uint8_t* dst, int32_t firstBlockRow,
                              int32_t endBlockRow, int32_t highQuality) {
    firstBlockRow = std::max(firstBlockRow, 0);
    if (firstBlockRow >= endBlockRow || blocksPerRow < 1 || width < 1 || height < 1) return;
    if (sse41Available()) {
        encodeBlocksSse41(format, src, srcBytesPerRow, width, height, blocksPerRow, dst, firstBlockRow, endBlockRow,
                          highQuality);
    } else {
        encodeBlocksScalar(format, src, srcBytesPerRow, width, height, blocksPerRow, dst, firstBlockRow, endBlockRow,
                           highQuality);
    }
}

void qm_texture_decode(qm_texture_format format, const uint8_t* src, int32_t width, int32_t height, uint8_t* dst,
                       size_t dstBytesPerRow, int32_t firstBlockRow, int32_t endBlockRow) {
    const int32_t blocksPerRow = width < 1 ? 0 : static_cast<int32_t>((static_cast<int64_t>(width) + 3) / 4);
    qm_texture_decode_rows(format, src, blocksPerRow, width, height, dst, dstBytesPerRow, firstBlockRow, endBlockRow);
}

void qm_texture_decode_rows(qm_texture_format format, const uint8_t* src, int32_t blocksPerRow, int32_t width,
                            int32_t height, uint8_t* dst, size_t dstBytesPerRow, int32_t firstBlockRow,
                            int32_t endBlockRow) {
    firstBlockRow = std::max(firstBlockRow, 0);
    if (firstBlockRow >= endBlockRow || blocksPerRow < 1 || width < 1 || height < 1) return;
    if (sse41Available()) {
        decodeRowsSse41(format, src, blocksPerRow, width, height, dst, dstBytesPerRow, firstBlockRow, endBlockRow);
    } else {
        decodeRowsScalar(format, src, blocksPerRow, width, height, dst, dstBytesPerRow, firstBlockRow, endBlockRow);
    }
}

void qm_bc4_decode_plane(const uint8_t* src, size_t blockStride, size_t byteOffset, int32_t blocksWide,
                         int32_t blocksHigh, uint8_t* dst, size_t dstBytesPerRow) {
    if (blocksWide < 1 || blocksHigh < 1) return;
    for (int32_t by = 0; by < blocksHigh; ++by) {
        for (int32_t bx = 0; bx < blocksWide; ++bx) {
            const size_t k = static_cast<size_t>(by) * static_cast<size_t>(blocksWide) + static_cast<size_t>(bx);
            uint8_t values[16];
            qm_decode_alpha_block(src + k * blockStride + byteOffset, values);
            for (int j = 0; j < 4; ++j) {
                std::memcpy(dst + (static_cast<size_t>(by) * 4 + static_cast<size_t>(j)) * dstBytesPerRow +
                                static_cast<size_t>(bx) * 4,
                            values + j * 4, 4);
            }
        }
    }
}

void qm_decode_alpha_block(const uint8_t* block, uint8_t* out16) {
    const unsigned a0 = block[0], a1 = block[1];
    unsigned palette[8];
    palette[0] = a0;
    palette[1] = a1;
    if (a0 > a1) {
        for (unsigned k = 2; k < 8; ++k) palette[k] = ((8 - k) * a0 + (k - 1) * a1 + 3) / 7;
    } else {
        for (unsigned k = 2; k < 6; ++k) palette[k] = ((6 - k) * a0 + (k - 1) * a1 + 2) / 5;
        palette[6] = 0;
        palette[7] = 255;
    }
    uint64_t bits = 0;
    for (int i = 0; i < 6; ++i) bits |= static_cast<uint64_t>(block[2 + i]) << (8 * i);
    for (int i = 0; i < 16; ++i) out16[i] = static_cast<uint8_t>(palette[(bits >> (3 * i)) & 7]);
}

void qm_decode_color_block(const uint8_t* block, int32_t force4, uint8_t* out64) {
    const unsigned c0 = block[0] | (block[1] << 8);
    const unsigned c1 = block[2] | (block[3] << 8);
    unsigned colors[4][4];
    auto expand = [](unsigned c, unsigned* rgba) {
        const unsigned r5 = (c >> 11) & 31, g6 = (c >> 5) & 63, b5 = c & 31;
        rgba[0] = (r5 << 3) | (r5 >> 2);
        rgba[1] = (g6 << 2) | (g6 >> 4);
        rgba[2] = (b5 << 3) | (b5 >> 2);
        rgba[3] = 255;
    };
    expand(c0, colors[0]);
    expand(c1, colors[1]);
    if (force4 != 0 || c0 > c1) {
        for (int ch = 0; ch < 3; ++ch) {
            colors[2][ch] = (2 * colors[0][ch] + colors[1][ch] + 1) / 3;
            colors[3][ch] = (colors[0][ch] + 2 * colors[1][ch] + 1) / 3;
        }
        colors[2][3] = colors[3][3] = 255;
    } else {
        for (int ch = 0; ch < 3; ++ch) colors[2][ch] = (colors[0][ch] + colors[1][ch] + 1) / 2;
        colors[2][3] = 255;
        colors[3][0] = colors[3][1] = colors[3][2] = colors[3][3] = 0;
    }
    const uint32_t indices = static_cast<uint32_t>(block[4]) | (static_cast<uint32_t>(block[5]) << 8) |
                             (static_cast<uint32_t>(block[6]) << 16) | (static_cast<uint32_t>(block[7]) << 24);
    for (int i = 0; i < 16; ++i) {
        const unsigned* c = colors[(indices >> (2 * i)) & 3];
        for (int ch = 0; ch < 4; ++ch) out64[i * 4 + ch] = static_cast<uint8_t>(c[ch]);
    }
}

}  // extern "C"
