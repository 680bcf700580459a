#include "codecs/texture_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "codecs/texture_codec_internal.h"

namespace {

using namespace qm::texture_detail;

constexpr qm_texture_format kFormats[] = {QM_TEXTURE_DXT1, QM_TEXTURE_DXT5, QM_TEXTURE_YCOCG, QM_TEXTURE_BC4};

struct Image {
    int width = 0;
    int height = 0;
    size_t stride = 0;
    std::vector<uint8_t> bytes;
    uint8_t* pixel(int x, int y) { return bytes.data() + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 4; }
};

// A picture with smooth gradients, hard edges and noise, with a row stride wider than the picture.
Image testImage(int width, int height, unsigned seed) {
    Image image{width, height, static_cast<size_t>(width) * 4 + 12, {}};
    image.bytes.assign(image.stride * static_cast<size_t>(height), 0xEE);
    std::mt19937 rng(seed);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = image.pixel(x, y);
            const int noise = static_cast<int>(rng() % 24);
            p[0] = static_cast<uint8_t>((x * 255) / std::max(1, width - 1));
            p[1] = static_cast<uint8_t>(std::min(255, (y * 255) / std::max(1, height - 1) + noise));
            p[2] = static_cast<uint8_t>(((x / 3 + y / 5) % 2) ? 230 : 20);
            p[3] = static_cast<uint8_t>(rng() % 256);
        }
    }
    return image;
}

std::vector<uint8_t> encode(qm_texture_format format, const Image& image, int highQuality = 0) {
    std::vector<uint8_t> texture(qm_texture_size(format, image.width, image.height), 0);
    qm_texture_encode(format, image.bytes.data(), image.stride, image.width, image.height, texture.data(), 0,
                      (image.height + 3) / 4, highQuality);
    return texture;
}

TEST(TextureEncode, EdgeBlocksRepeatTheLastColumnAndRow) {
    // 5x3 encodes like the same picture padded by hand to 8x4 with its last column and row repeated.
    Image small = testImage(5, 3, 1);
    Image padded{8, 4, 32, std::vector<uint8_t>(32 * 4)};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) std::memcpy(padded.pixel(x, y), small.pixel(std::min(x, 4), std::min(y, 2)), 4);
    for (qm_texture_format format : kFormats) {
        EXPECT_EQ(encode(format, small), encode(format, padded)) << "format " << format;
    }
}

TEST(TextureEncode, BlockRowRangesAndWiderRowsAddUp) {
    Image image = testImage(23, 19, 2);
    for (qm_texture_format format : kFormats) {
        const auto whole = encode(format, image);
        std::vector<uint8_t> parts(whole.size(), 0);
        qm_texture_encode(format, image.bytes.data(), image.stride, 23, 19, parts.data(), 2, 5, 0);
        qm_texture_encode(format, image.bytes.data(), image.stride, 23, 19, parts.data(), 0, 2, 0);
        EXPECT_EQ(parts, whole);

        // Eight blocks per row instead of six: the two extra blocks repeat the last column.
        const size_t block = blockSize(format);
        std::vector<uint8_t> wide(8 * 5 * block, 0);
        qm_texture_encode_blocks(format, image.bytes.data(), image.stride, 23, 19, 8, wide.data(), 0, 5, 0);
        for (int by = 0; by < 5; ++by) {
            EXPECT_EQ(0, std::memcmp(wide.data() + by * 8 * block, whole.data() + by * 6 * block, 6 * block));
            EXPECT_EQ(0, std::memcmp(wide.data() + (by * 8 + 6) * block, wide.data() + (by * 8 + 7) * block, block));
        }
    }
}

TEST(TextureEncode, UnknownFormatsAndEmptyRangesWriteNothing) {
    Image image = testImage(8, 8, 3);
    std::vector<uint8_t> texture(64, 0x5A);
    qm_texture_encode(4, image.bytes.data(), image.stride, 8, 8, texture.data(), 0, 2, 0);
    qm_texture_encode(QM_TEXTURE_DXT5, image.bytes.data(), image.stride, 8, 8, texture.data(), 2, 2, 0);
    qm_texture_encode_blocks(QM_TEXTURE_DXT5, image.bytes.data(), image.stride, 8, 8, 0, texture.data(), 0, 2, 0);
    EXPECT_EQ(texture, std::vector<uint8_t>(64, 0x5A));

    std::vector<uint8_t> pixels(8 * 8 * 4, 0x33);
    qm_texture_decode(4, texture.data(), 8, 8, pixels.data(), 32, 0, 2);
    qm_texture_decode(QM_TEXTURE_DXT1, texture.data(), 8, 8, pixels.data(), 32, 1, 0);
    EXPECT_EQ(pixels, std::vector<uint8_t>(8 * 8 * 4, 0x33));
}

TEST(BlockDecode, AlphaPalettes) {
    // Pixel p takes index p % 8. Equal or rising end points: six values, then 0 and 255; falling:
    // eight values, (8 - k) * a0 + (k - 1) * a1 over 7, rounded.
    uint64_t bits = 0;
    for (int p = 0; p < 16; ++p) bits |= static_cast<uint64_t>(p % 8) << (3 * p);
    const struct { uint8_t a0, a1; std::array<uint8_t, 8> palette; } cases[] = {
        {10, 10, {10, 10, 10, 10, 10, 10, 0, 255}},
        {200, 60, {200, 60, 180, 160, 140, 120, 100, 80}},
        {0, 255, {0, 255, 51, 102, 153, 204, 0, 255}}};
    for (const auto& c : cases) {
        uint8_t block[8] = {c.a0, c.a1};
        for (int i = 0; i < 6; ++i) block[2 + i] = static_cast<uint8_t>(bits >> (8 * i));
        uint8_t out[16];
        qm_decode_alpha_block(block, out);
        for (int p = 0; p < 16; ++p) EXPECT_EQ(out[p], c.palette[p % 8]) << int(c.a0) << " " << p;
    }
}

TEST(BlockDecode, ThreeColourBlocksDecodeOpaqueBlackInDxt1AndFourColoursInDxt5) {
    // c0 = pure red (0xF800) <= c1 = pure white (0xFFFF); pixel i takes index i % 4.
    const uint8_t colour[8] = {0x00, 0xF8, 0xFF, 0xFF, 0xE4, 0xE4, 0xE4, 0xE4};
    uint8_t rgba[64];
    qm_decode_color_block(colour, 0, rgba);
    EXPECT_EQ(std::vector<uint8_t>(rgba, rgba + 16),
              (std::vector<uint8_t>{255, 0, 0, 255, 255, 255, 255, 255, 255, 128, 128, 255, 0, 0, 0, 0}));
    qm_decode_color_block(colour, 1, rgba);
    EXPECT_EQ(std::vector<uint8_t>(rgba + 8, rgba + 16), (std::vector<uint8_t>{255, 85, 85, 255, 255, 170, 170, 255}));

    // As a DXT1 texture the transparent index comes out opaque black (B, G, R, A).
    uint8_t pixels[4 * 4 * 4];
    std::memset(pixels, 0x77, sizeof pixels);
    qm_texture_decode(QM_TEXTURE_DXT1, colour, 4, 4, pixels, 16, 0, 1);
    EXPECT_EQ(std::vector<uint8_t>(pixels + 12, pixels + 16), (std::vector<uint8_t>{0, 0, 0, 255}));
    EXPECT_EQ(std::vector<uint8_t>(pixels + 8, pixels + 12), (std::vector<uint8_t>{128, 128, 255, 255}));

    // Inside a DXT5 block the same half decodes index 3 as (C0 + 2 C1 + 1) / 3, alpha from the alpha half.
    uint8_t dxt5[16] = {99, 99, 0, 0, 0, 0, 0, 0};
    std::memcpy(dxt5 + 8, colour, 8);
    qm_texture_decode(QM_TEXTURE_DXT5, dxt5, 4, 4, pixels, 16, 0, 1);
    EXPECT_EQ(std::vector<uint8_t>(pixels + 12, pixels + 16), (std::vector<uint8_t>{170, 170, 255, 99}));
}

TEST(BlockDecode, OnlyInsidePixelsAndOnlyAlphaForBc4AreWritten) {
    std::vector<uint8_t> pixels(6 * 5 * 4, 0xFF);
    std::vector<uint8_t> twoBlocks = {200, 60, 0, 0, 0, 0, 0, 0, 10, 10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                      200, 60, 0, 0, 0, 0, 0, 0, 10, 10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    qm_texture_decode(QM_TEXTURE_BC4, twoBlocks.data(), 6, 5, pixels.data(), 24, 0, 2);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x)  // second block: all index 7 = 255
            EXPECT_EQ(std::vector<uint8_t>(&pixels[y * 24 + x * 4], &pixels[y * 24 + x * 4 + 4]),
                      (std::vector<uint8_t>{255, 255, 255, static_cast<uint8_t>(x < 4 ? 200 : 255)})) << x << "," << y;

    Image one{1, 1, 4, {10, 200, 30, 77}};
    for (qm_texture_format format : kFormats) {
        const auto texture = encode(format, one);
        std::vector<uint8_t> block(4 * 4 * 4, 0x42);
        qm_texture_decode(format, texture.data(), 1, 1, block.data(), 16, 0, 1);
        for (size_t i = 4; i < block.size(); ++i) ASSERT_EQ(block[i], 0x42) << "format " << format;
    }
}

TEST(BlockDecode, AlphaPlaneReadsStridedBlocks) {
    // Two DXT5-like blocks side by side; the plane takes their alpha halves (offset 0) or a
    // BC4 grid hidden in the colour halves (offset 8).
    std::vector<uint8_t> blocks(32, 0);
    blocks[0] = blocks[1] = 11;   // block 0 alpha: everything 11
    blocks[16] = blocks[17] = 22;  // block 1 alpha: everything 22
    blocks[8] = blocks[9] = 33;
    blocks[24] = blocks[25] = 44;
    std::vector<uint8_t> plane(10 * 4, 0xAB);
    qm_bc4_decode_plane(blocks.data(), 16, 0, 2, 1, plane.data(), 10);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 10; ++x) EXPECT_EQ(plane[y * 10 + x], x < 4 ? 11 : x < 8 ? 22 : 0xAB);
    }
    qm_bc4_decode_plane(blocks.data(), 16, 8, 2, 1, plane.data(), 10);
    EXPECT_EQ(plane[3], 33);
    EXPECT_EQ(plane[34], 44);
}

TEST(VectorPath, MatchesScalarCodeByteForByte) {
    if (!sse41Available()) GTEST_SKIP() << "no SSE4.1 on this processor";
    for (const auto& size : {std::pair{1, 1}, std::pair{5, 3}, std::pair{37, 23}, std::pair{64, 48}}) {
        Image image = testImage(size.first, size.second, 7);
        const int rows = (size.second + 3) / 4;
        const int blocksPerRow = (size.first + 3) / 4 + 1;  // also a wider-than-needed row
        for (qm_texture_format format : kFormats) {
            for (int hq = 0; hq < 2; ++hq) {
                const size_t bytes = static_cast<size_t>(blocksPerRow) * rows * blockSize(format);
                std::vector<uint8_t> scalar(bytes, 0), vector(bytes, 0);
                encodeBlocksScalar(format, image.bytes.data(), image.stride, size.first, size.second, blocksPerRow,
                                   scalar.data(), 0, rows, hq);
                encodeBlocksSse41(format, image.bytes.data(), image.stride, size.first, size.second, blocksPerRow,
                                  vector.data(), 0, rows, hq);
                ASSERT_EQ(scalar, vector) << "format " << format << " size " << size.first << "x" << size.second;
            }
        }
    }
    // Decoding arbitrary block bytes (every scale byte, endpoint and index pattern) also agrees.
    std::mt19937 rng(11);
    std::vector<uint8_t> texture(16 * 16 * 64);
    for (auto& b : texture) b = static_cast<uint8_t>(rng());
    for (qm_texture_format format : kFormats) {
        std::vector<uint8_t> scalar(61 * 63 * 4, 0x10), vector(61 * 63 * 4, 0x10);
        decodeRowsScalar(format, texture.data(), 16, 61, 63, scalar.data(), 61 * 4, 0, 16);
        decodeRowsSse41(format, texture.data(), 16, 61, 63, vector.data(), 61 * 4, 0, 16);
        ASSERT_EQ(scalar, vector) << "format " << format;
    }
}

// Blocks of every shape the compressors branch on: uniform (alone and in runs, with the alpha equal
// or not), two colours, gradients with noise, near-uniform, grey ramps, noise, one odd pixel.
Image mixedBlocks(int blocksWide, int blocksHigh, unsigned seed) {
    Image image{blocksWide * 4, blocksHigh * 4, static_cast<size_t>(blocksWide) * 16, {}};
    image.bytes.assign(image.stride * static_cast<size_t>(image.height), 0);
    std::mt19937 rng(seed);
    auto byte = [&] { return static_cast<uint8_t>(rng()); };
    std::array<uint8_t, 4> run = {0, 0, 0, 255};
    for (int by = 0; by < blocksHigh; ++by) {
        for (int bx = 0; bx < blocksWide; ++bx) {
            const int kind = static_cast<int>(rng() % 9);
            const std::array<uint8_t, 4> a = {byte(), byte(), byte(), byte()}, b = {byte(), byte(), byte(), byte()};
            if (kind == 0 && rng() % 4 == 0) run = a;
            const int odd = static_cast<int>(rng() % 16);
            for (int i = 0; i < 16; ++i) {
                uint8_t* p = image.pixel(bx * 4 + i % 4, by * 4 + i / 4);
                const int t = i * 17;
                for (int c = 0; c < 4; ++c) {
                    int v = 0;
                    switch (kind) {
                    case 0: v = run[c]; break;
                    case 1: v = c == 3 ? byte() : a[c]; break;
                    case 2: v = (rng() % 2 ? a : b)[c]; break;
                    case 3: v = (a[c] * (255 - t) + b[c] * t) / 255 + static_cast<int>(rng() % 9) - 4; break;
                    case 4: v = a[c] + static_cast<int>(rng() % 3) - 1; break;
                    case 5: v = c == 3 ? a[3] : (i * 3 + a[0] % 8); break;
                    case 6: v = byte(); break;
                    case 7: v = i == odd ? b[c] : a[c]; break;
                    default: v = (i < 8 ? a : b)[c]; break;
                    }
                    p[c] = static_cast<uint8_t>(std::clamp(v, 0, 255));
                }
            }
        }
    }
    return image;
}

TEST(VectorPath, CompressorsMatchTheLibraryOnEveryKindOfBlock) {
    if (!sse41Available()) GTEST_SKIP() << "no SSE4.1 on this processor";
    for (unsigned seed = 1; seed <= 4; ++seed) {
        const Image image = mixedBlocks(64, 32, seed);
        for (qm_texture_format format : kFormats) {
            for (int hq = 0; hq < 2; ++hq) {
                const size_t bytes = qm_texture_size(format, image.width, image.height);
                std::vector<uint8_t> scalar(bytes, 0), vector(bytes, 0);
                encodeBlocksScalar(format, image.bytes.data(), image.stride, image.width, image.height, 64,
                                   scalar.data(), 0, 32, hq);
                encodeBlocksSse41(format, image.bytes.data(), image.stride, image.width, image.height, 64,
                                  vector.data(), 0, 32, hq);
                for (size_t k = 0; k < bytes; k += blockSize(format))
                    ASSERT_EQ(0, std::memcmp(&scalar[k], &vector[k], blockSize(format)))
                        << "format " << format << " hq " << hq << " seed " << seed << " block " << k / blockSize(format);
            }
        }
    }
}

}  // namespace
