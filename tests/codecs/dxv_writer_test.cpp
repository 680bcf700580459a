// The DXV3 writer: operation-word layout, exact small frames, incompressible frames, and round trips
// through the codec library's unpacking and the texture conversion. The back-reference coding is
// lossless, so a round trip must give exactly the pixels of the block texture alone.

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "codecs/dxv_texture.h"
#include "codecs/dxv_writer.h"
#include "codecs/texture_codec.h"
#include "codecs/dxv_test_images.h"
#include "lgpl/quillmere_lgpl.h"

namespace {

using qm::test::dxv::Picture;
using qm::test::dxv::reference;

struct ContextDeleter {
    void operator()(qm_dxv_context* c) const { qm_dxv_destroy(c); }
};

std::vector<uint8_t> encode(const Picture& p, bool alpha, bool hq) {
    std::vector<uint8_t> out(qm_dxv_max_encoded_size(p.width, p.height, alpha));
    const uint64_t n = qm_dxv_encode(p.bgra.data(), size_t(p.width) * 4, p.width, p.height, alpha, hq, out.data(),
                                     out.size());
    EXPECT_GT(n, 12u);
    out.resize(n);
    return out;
}

// Unpacks and converts a frame; empty on failure.
Picture decode(const std::vector<uint8_t>& frame, int width, int height, qm_dxv_texture* textureOut = nullptr) {
    static thread_local std::unique_ptr<qm_dxv_context, ContextDeleter> context(qm_dxv_create());
    qm_dxv_texture texture{};
    if (qm_dxv_unpack(context.get(), frame.data(), frame.size(), width, height, &texture) != 0) return {};
    if (textureOut != nullptr) *textureOut = texture;
    Picture out{width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 4)};
    if (qm_dxv_to_bgra(&texture, width, height, out.bgra.data(), size_t(width) * 4) != 0) return {};
    return out;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

TEST(DxvWriter, OperationWordsAndDistanceForms) {
    uint8_t buffer[64] = {};
    qm_dxv_stream s{buffer, buffer + sizeof buffer, nullptr, 0, 0};
    qm_dxv_put_op(&s, 2);  // opens the first operation word at the start
    EXPECT_EQ(s.pos, buffer + 4);
    EXPECT_EQ(qm_dxv_put_match(&s, 2 * 65793, 2), 1);  // the farthest: code 3, 0xFFFF
    EXPECT_EQ(qm_dxv_put_match(&s, 2 * 65794, 2), 0);  // one unit farther: nothing written
    EXPECT_EQ(qm_dxv_put_match(&s, 3, 2), 0);          // not a whole number of units
    EXPECT_EQ(qm_dxv_put_match(&s, 0, 2), 0);
    EXPECT_EQ(qm_dxv_put_match(&s, 2 * 258, 2), 1);    // code 3, 0
    EXPECT_EQ(qm_dxv_put_match(&s, 2 * 257, 2), 1);    // code 2, 255
    EXPECT_EQ(qm_dxv_put_match(&s, 8, 4), 1);          // code 2, 0
    EXPECT_EQ(qm_dxv_put_match(&s, 4, 4), 1);          // code 1
    // codes 2, 3, 3, 2, 2, 1 in bits 0-11
    EXPECT_EQ(le32(std::vector<uint8_t>(buffer, buffer + 4), 0), 0b01'10'10'11'11'10u);
    const std::vector<uint8_t> args(buffer + 4, s.pos);
    EXPECT_EQ(args, (std::vector<uint8_t>{0xFF, 0xFF, 0x00, 0x00, 0xFF, 0x00}));

    // Ten more codes fill the word; the seventeenth opens a new one after the arguments so far.
    for (int i = 0; i < 10; ++i) qm_dxv_put_op(&s, 3);
    uint8_t* before = s.pos;
    qm_dxv_put_op(&s, 1);
    EXPECT_EQ(s.op, before);
    EXPECT_EQ(s.pos, before + 4);
    EXPECT_EQ(before[0], 1);
    EXPECT_EQ(buffer[3], 0xFF);  // codes 12-15 of the first word are all 3
    EXPECT_EQ(s.overflow, 0);

    // Writes that do not fit set the flag and leave the bytes past the end alone.
    uint8_t small[6] = {0, 0, 0, 0, 0, 0xAB};
    qm_dxv_stream t{small, small + 5, nullptr, 0, 0};
    EXPECT_EQ(qm_dxv_put_match(&t, 2 * 258, 2), 1);  // word + 2 bytes do not fit in 5
    EXPECT_NE(t.overflow, 0);
    EXPECT_LE(t.pos, small + 5);
    EXPECT_EQ(small[5], 0xAB);
    qm_dxv_put_op(&t, 1);
    EXPECT_LE(t.pos, small + 5);
}

// Noise does not shrink, yet stays coded: older FFmpeg decoders refuse a raw payload of the texture's
// size. Each word is then a literal with its code, a pair or alpha half one code more, so the
// stream is the texture, its first words and a code word per 16 codes.
TEST(DxvWriter, NoiseStaysCodedWithinTheLiteralsBound) {
    std::mt19937 random(3);
    Picture noise{64, 48, std::vector<uint8_t>(64 * 48 * 4)};
    for (auto& b : noise.bgra) b = uint8_t(random());
    for (bool alpha : {false, true}) {
        const auto f = encode(noise, alpha, false);
        const uint64_t size = uint64_t(64 / 4) * (48 / 4) * (alpha ? 16 : 8);
        const uint64_t codes = alpha ? 4 * (size / 16 - 1) : 3 * (size / 8 - 1);
        EXPECT_EQ(f[6], 0) << alpha;
        EXPECT_EQ(le32(f, 8), f.size() - 12);
        EXPECT_LE(f.size(), 12 + size + 4 * ((codes + 15) / 16));
        EXPECT_GT(f.size(), 12 + size);
        const Picture back = decode(f, 64, 48);
        ASSERT_FALSE(back.bgra.empty());
        EXPECT_EQ(back.bgra, reference(noise, alpha, false).bgra);
    }
}

TEST(DxvWriter, OutputCapacityAndSizes) {
    const Picture p = qm::test::dxv::lavfiPicture("testsrc2", 40, 20);
    const uint64_t bound = qm_dxv_max_encoded_size(40, 20, 0);
    EXPECT_EQ(qm_dxv_max_encoded_size(0, 20, 0), 0u);
    std::vector<uint8_t> out(bound);
    EXPECT_GT(qm_dxv_encode(p.bgra.data(), 160, 40, 20, 0, 0, out.data(), bound), 0u);
    EXPECT_EQ(qm_dxv_encode(p.bgra.data(), 160, 40, 20, 0, 0, out.data(), bound - 1), 0u);
    EXPECT_EQ(qm_dxv_encode(p.bgra.data(), 160, 0, 20, 0, 0, out.data(), bound), 0u);
    EXPECT_EQ(qm_dxv_encode(p.bgra.data(), 160, 40, -1, 0, 0, out.data(), bound), 0u);
    EXPECT_EQ(qm_dxv_encode(nullptr, 160, 40, 20, 0, 0, out.data(), bound), 0u);
    EXPECT_EQ(qm_dxv_encode(p.bgra.data(), 159, 40, 20, 0, 0, out.data(), bound), 0u);
}

TEST(DxvWriter, AlphaFramesStorePremultipliedColour) {
    // (B, G, R, A) = (255, 128, 0, 128) is stored as (128, 64, 0, 128).
    Picture p{4, 4, {}};
    for (int i = 0; i < 16; ++i) p.bgra.insert(p.bgra.end(), {255, 128, 0, 128});
    qm_dxv_texture texture{};
    ASSERT_FALSE(decode(encode(p, true, false), 4, 4, &texture).bgra.empty());
    uint8_t rgba[64];
    qm_decode_color_block(texture.plane0 + 8, 1, rgba);
    EXPECT_NEAR(rgba[0], 0, 4);    // R (5 bits)
    EXPECT_NEAR(rgba[1], 64, 2);   // G (6 bits)
    EXPECT_NEAR(rgba[2], 128, 4);  // B (5 bits)
    EXPECT_EQ(texture.plane0[0], 128);
}

TEST(DxvWriter, LongStretchesCostAFewBytes) {
    // 1040x1040 of one colour with alpha: 67600 equal blocks, one copy whose count needs a 0xFFFF
    // piece (67599 = 256 + 65535 + 1808).
    const Picture solid = qm::test::dxv::solidBlocks(1040, 1040, [](size_t) { return 0x80336699u; });
    const auto f = encode(solid, true, false);
    EXPECT_EQ(f.size(), 12u + 16 + 4 + 1 + 2 + 2);
    EXPECT_EQ(f[32], 0xFF);
    EXPECT_EQ(f[33], 0xFF);
    EXPECT_EQ(f[34], 0xFF);
    EXPECT_EQ(f[35], 1808 & 0xFF);
    EXPECT_EQ(f[36], 1808 >> 8);
    const Picture back = decode(f, 1040, 1040);
    ASSERT_FALSE(back.bgra.empty());
    EXPECT_EQ(back.bgra, reference(solid, true, false).bgra);

    // One alpha value under changing colour: long alpha runs (past 255 blocks) with their own colours.
    const Picture runs = qm::test::dxv::solidBlocks(2048, 64, [](size_t i) {
        return 0xC8000000u | uint32_t((i * 2654435761u) & 0xFFFFFF);
    });
    const auto g = encode(runs, true, false);
    const Picture runsBack = decode(g, 2048, 64);
    ASSERT_FALSE(runsBack.bgra.empty());
    EXPECT_EQ(runsBack.bgra, reference(runs, true, false).bgra);
}

}  // namespace
