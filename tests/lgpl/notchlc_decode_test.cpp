// NotchLC decoding through the codec library, from a frame built by hand: the expected pixels come
// from the frame's own 12-bit values and the BT.709 full-range equations.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "lgpl/quillmere_lgpl.h"

namespace {

struct ContextDeleter {
    void operator()(qm_notchlc_context* c) const { qm_notchlc_destroy(c); }
};
using Context = std::unique_ptr<qm_notchlc_context, ContextDeleter>;

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    if (b.size() < at + 4) b.resize(at + 4);
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}
void append32(std::vector<uint8_t>& b, uint32_t v) { put32(b, b.size(), v); }

// A 32x16 frame of two 16x16 areas. Left: luma 1000, neutral chroma (2048). Right: luma 2000, Cb
// 2048, Cr 2800. Each 4x4 luma block stores min = max, so its per-pixel bits do not matter; each
// 16x16 chroma block stores equal end points. With `alpha`, the left area is opaque and the right
// one transparent; without, the frame carries no alpha section at all.
std::vector<uint8_t> makeFrame(bool alpha, uint32_t leftLuma = 1000) {
    constexpr uint32_t W = 32, H = 16;
    std::vector<uint8_t> body(40, 0);  // ten 32-bit header fields, filled below
    for (uint32_t row = 0; row < H / 4; ++row) append32(body, 0);  // luma bit rows all start at 0
    const size_t lumaControl = body.size();
    for (uint32_t by = 0; by < H / 4; ++by) {
        for (uint32_t bx = 0; bx < W / 4; ++bx) {
            const uint32_t y = bx < 4 ? leftLuma : 2000;
            append32(body, y | (y << 12));  // min, max; two-bit controls 0
        }
    }
    const size_t chromaOffsets = body.size();
    append32(body, 0);  // left block's chroma at 0
    append32(body, 3);  // right block's at 3 x 4 bytes
    const size_t chromaData = body.size();
    // flags (0, 0), then Cb0, Cr0, Cb1, Cr1 as high bytes (low nibbles from the zero locator)
    for (uint8_t b : {0, 0, 0, 0, 0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0}) body.push_back(b);
    for (uint8_t b : {0, 0, 0, 0, 0x80, 0xAF, 0x80, 0xAF, 0, 0, 0, 0}) body.push_back(b);
    const size_t alphaControl = body.size();
    append32(body, 0x55555555);  // left: every 4x4 opaque
    append32(body, 0);
    append32(body, 0);  // right: every 4x4 transparent
    append32(body, 0);
    const size_t lumaData = body.size();
    body.resize(body.size() + 64, 0);
    const uint32_t end = uint32_t(body.size());
    // Without alpha the alpha section starts where the luma bits do.
    const uint32_t alphaAt = uint32_t(alpha ? alphaControl : lumaData);
    const uint32_t header[10] = {W, H, uint32_t(chromaOffsets / 4), uint32_t(lumaControl / 4), alphaAt / 4,
                                 uint32_t(chromaData / 4), end - uint32_t(lumaData), 0, 0, end};
    for (size_t i = 0; i < 10; ++i) put32(body, 4 * i, header[i]);

    // Container: "NLC1" as a little-endian number, sizes, compression 1 (one all-literal LZ4 sequence).
    std::vector<uint8_t> packed = {0xF0};
    size_t rest = body.size() - 15;
    for (; rest >= 255; rest -= 255) packed.push_back(255);
    packed.push_back(uint8_t(rest));
    packed.insert(packed.end(), body.begin(), body.end());
    std::vector<uint8_t> frame = {'1', 'C', 'L', 'N'};
    append32(frame, uint32_t(body.size()));
    append32(frame, uint32_t(packed.size()));
    append32(frame, 1);
    frame.insert(frame.end(), packed.begin(), packed.end());
    return frame;
}

// BT.709 full range, 12-bit code values to R, G, B in 0...1.
std::array<double, 3> rgb709(double y12, double cb12, double cr12) {
    const double y = y12 / 4095.0, cb = (cb12 - 2048.0) / 4095.0, cr = (cr12 - 2048.0) / 4095.0;
    const double kr = 0.2126, kb = 0.0722, kg = 1.0 - kr - kb;
    const double r = y + 2.0 * (1.0 - kr) * cr;
    const double b = y + 2.0 * (1.0 - kb) * cb;
    const double g = (y - kr * r - kb * b) / kg;
    return {std::clamp(r, 0.0, 1.0), std::clamp(g, 0.0, 1.0), std::clamp(b, 0.0, 1.0)};
}

class NotchLCDecode : public ::testing::Test {
protected:
    int32_t decode(const std::vector<uint8_t>& frame, int32_t format, int w, int h, size_t pixelBytes) {
        stride = size_t(w) * pixelBytes + 16;
        pixels.assign(stride * size_t(h), 0xEE);
        hasAlpha = -1;
        return qm_notchlc_decode(context.get(), frame.data(), frame.size(), format, pixels.data(), stride, w, h,
                                 &hasAlpha);
    }
    const uint8_t* px8(int x, int y) const { return pixels.data() + size_t(y) * stride + size_t(x) * 4; }
    uint16_t px16(int x, int y, int channel) const {
        uint16_t v;
        std::memcpy(&v, pixels.data() + size_t(y) * stride + size_t(x) * 8 + size_t(channel) * 2, 2);
        return v;
    }

    Context context{qm_notchlc_create()};
    std::vector<uint8_t> pixels;
    size_t stride = 0;
    int32_t hasAlpha = -1;
};

TEST_F(NotchLCDecode, OpaqueFrameToBGRA) {
    ASSERT_NE(context, nullptr);
    ASSERT_EQ(decode(makeFrame(false), QM_NOTCHLC_BGRA, 32, 16, 4), QM_LGPL_OK);
    EXPECT_EQ(hasAlpha, 0);
    const auto left = rgb709(1000, 2048, 2048);
    const auto right = rgb709(2000, 2048, 2800);
    for (int y : {0, 7, 15}) {
        for (int x : {0, 15}) {
            const uint8_t* p = px8(x, y);
            EXPECT_NEAR(p[2], left[0] * 255, 2) << x << "," << y;
            EXPECT_NEAR(p[1], left[1] * 255, 2);
            EXPECT_NEAR(p[0], left[2] * 255, 2);
            EXPECT_EQ(p[3], 255);
        }
        for (int x : {16, 31}) {
            const uint8_t* p = px8(x, y);
            EXPECT_NEAR(p[2], right[0] * 255, 2) << x << "," << y;  // reddish: catches swapped R and B
            EXPECT_NEAR(p[1], right[1] * 255, 2);
            EXPECT_NEAR(p[0], right[2] * 255, 2);
            EXPECT_EQ(p[3], 255);
        }
    }
    // The row padding beyond the picture is not touched.
    EXPECT_EQ(pixels[32 * 4], 0xEE);
}

TEST_F(NotchLCDecode, OpaqueFrameToRGBA64) {
    ASSERT_EQ(decode(makeFrame(false), QM_NOTCHLC_RGBA64, 32, 16, 8), QM_LGPL_OK);
    EXPECT_EQ(hasAlpha, 0);
    const auto left = rgb709(1000, 2048, 2048);
    const auto right = rgb709(2000, 2048, 2800);
    for (int y : {0, 15}) {
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(px16(3, y, c), left[size_t(c)] * 65535, 2 * 257) << c;
            EXPECT_NEAR(px16(20, y, c), right[size_t(c)] * 65535, 2 * 257) << c;
        }
        EXPECT_EQ(px16(3, y, 3), 65535);
        EXPECT_EQ(px16(20, y, 3), 65535);
    }
    // Deeper than 8 bits: the 12-bit grey is not an 8-bit value scaled up.
    EXPECT_NE(px16(0, 0, 0) % 257, 0);
}

TEST_F(NotchLCDecode, FullScaleStaysFullScale) {
    ASSERT_EQ(decode(makeFrame(false, 4095), QM_NOTCHLC_RGBA64, 32, 16, 8), QM_LGPL_OK);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(px16(5, 5, c), 65535) << c;
    ASSERT_EQ(decode(makeFrame(false, 4095), QM_NOTCHLC_BGRA, 32, 16, 4), QM_LGPL_OK);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(px8(5, 5)[c], 255) << c;
    ASSERT_EQ(decode(makeFrame(false, 0), QM_NOTCHLC_RGBA64, 32, 16, 8), QM_LGPL_OK);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(px16(5, 5, c), 0) << c;
}

TEST_F(NotchLCDecode, AlphaFrameSetsTheFlagAndCarriesItsAlpha) {
    ASSERT_EQ(decode(makeFrame(true), QM_NOTCHLC_BGRA, 32, 16, 4), QM_LGPL_OK);
    EXPECT_EQ(hasAlpha, 1);
    EXPECT_EQ(px8(0, 0)[3], 255);
    EXPECT_EQ(px8(15, 15)[3], 255);
    EXPECT_EQ(px8(16, 0)[3], 0);
    EXPECT_EQ(px8(31, 15)[3], 0);
    ASSERT_EQ(decode(makeFrame(true), QM_NOTCHLC_RGBA64, 32, 16, 8), QM_LGPL_OK);
    EXPECT_EQ(hasAlpha, 1);
    EXPECT_EQ(px16(0, 0, 3), 65535);
    EXPECT_EQ(px16(31, 0, 3), 0);
}

TEST_F(NotchLCDecode, LargerFramesAreCroppedSmallerOnesRefused) {
    ASSERT_EQ(decode(makeFrame(false), QM_NOTCHLC_BGRA, 20, 10, 4), QM_LGPL_OK);
    EXPECT_NEAR(px8(0, 0)[1], rgb709(1000, 2048, 2048)[1] * 255, 2);
    EXPECT_NEAR(px8(19, 9)[2], rgb709(2000, 2048, 2800)[0] * 255, 2);
    EXPECT_EQ(decode(makeFrame(false), QM_NOTCHLC_BGRA, 33, 16, 4), QM_LGPL_INVALID);
    EXPECT_EQ(decode(makeFrame(false), QM_NOTCHLC_BGRA, 32, 17, 4), QM_LGPL_INVALID);
}

TEST_F(NotchLCDecode, BadArgumentsAndDamagedFramesFailAndTheContextRecovers) {
    const auto good = makeFrame(true);
    std::vector<uint8_t> dst(32 * 16 * 8);
    int32_t flag = 0;
    EXPECT_NE(qm_notchlc_decode(context.get(), good.data(), good.size(), 2, dst.data(), 32 * 8, 32, 16, &flag), 0);
    EXPECT_NE(qm_notchlc_decode(context.get(), good.data(), good.size(), 0, dst.data(), 32 * 4 - 1, 32, 16, &flag), 0);
    EXPECT_NE(qm_notchlc_decode(context.get(), good.data(), good.size(), 0, dst.data(), 32 * 4, 0, 16, &flag), 0);
    EXPECT_NE(qm_notchlc_decode(context.get(), good.data(), good.size(), 0, nullptr, 32 * 4, 32, 16, &flag), 0);
    EXPECT_NE(qm_notchlc_decode(context.get(), good.data(), good.size(), 0, dst.data(), 32 * 4, 32, 16, nullptr), 0);
    EXPECT_NE(qm_notchlc_decode(nullptr, good.data(), good.size(), 0, dst.data(), 32 * 4, 32, 16, &flag), 0);
    EXPECT_NE(qm_notchlc_decode(context.get(), good.data(), 0, 0, dst.data(), 32 * 4, 32, 16, &flag), 0);

    std::mt19937 random(7);
    std::vector<uint8_t> garbage(600);
    for (auto& b : garbage) b = uint8_t(random());
    EXPECT_NE(decode(garbage, QM_NOTCHLC_BGRA, 32, 16, 4), 0);
    // Right container, damaged body: every truncation, and a flipped tag.
    for (size_t n = 1; n < good.size(); n += 7) {
        EXPECT_NE(decode(std::vector<uint8_t>(good.begin(), good.begin() + long(n)), QM_NOTCHLC_BGRA, 32, 16, 4), 0)
            << n;
    }
    auto badTag = good;
    badTag[0] = 'N';
    EXPECT_NE(decode(badTag, QM_NOTCHLC_BGRA, 32, 16, 4), 0);

    ASSERT_EQ(decode(good, QM_NOTCHLC_BGRA, 32, 16, 4), QM_LGPL_OK);
    EXPECT_EQ(hasAlpha, 1);
}

}  // namespace
