// NotchLC decoding through the codec library, from a frame built by hand: the expected pixels come
// from the frame's own 12-bit values and the BT.709 full-range equations.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "lgpl/notchlc_test_frame.h"
#include "lgpl/quillmere_lgpl.h"

namespace {

using qm::test::notchlc::makeFrame;
using qm::test::notchlc::rgb709;

struct ContextDeleter {
    void operator()(qm_notchlc_context* c) const { qm_notchlc_destroy(c); }
};
using Context = std::unique_ptr<qm_notchlc_context, ContextDeleter>;

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
