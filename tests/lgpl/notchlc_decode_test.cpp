// NotchLC decoding through the codec library, from a frame built by hand: the expected pixels come
// from the frame's own 12-bit values and the BT.709 full-range equations.

#include <gtest/gtest.h>

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

class NotchLCDecode : public ::testing::Test {
protected:
    int32_t decode(const std::vector<uint8_t>& frame, int32_t format, int w = 32, int h = 16) {
        deep = format == QM_NOTCHLC_RGBA64;
        stride = size_t(w) * (deep ? 8 : 4) + 16;
        pixels.assign(stride * size_t(h), 0xEE);
        hasAlpha = -1;
        return qm_notchlc_decode(context.get(), frame.data(), frame.size(), format, pixels.data(), stride, w, h,
                                 &hasAlpha);
    }
    // Channel c (R, G, B, A) of a pixel, scaled to 0...1.
    double channel(int x, int y, int c) const {
        const uint8_t* p = pixels.data() + size_t(y) * stride + size_t(x) * (deep ? 8 : 4);
        if (!deep) return p[c == 3 ? 3 : 2 - c] / 255.0;
        uint16_t v;
        std::memcpy(&v, p + 2 * c, 2);
        return v / 65535.0;
    }

    std::unique_ptr<qm_notchlc_context, ContextDeleter> context{qm_notchlc_create()};
    std::vector<uint8_t> pixels;
    size_t stride = 0;
    bool deep = false;
    int32_t hasAlpha = -1;
};

TEST_F(NotchLCDecode, OpaqueAndAlphaFramesInBothFormats) {
    const auto left = rgb709(1000, 2048, 2048);
    const auto right = rgb709(2000, 2048, 2800);  // reddish: catches swapped R and B
    for (int32_t format : {QM_NOTCHLC_BGRA, QM_NOTCHLC_RGBA64}) {
        for (bool alpha : {false, true}) {
            SCOPED_TRACE(testing::Message() << "format " << format << " alpha " << alpha);
            ASSERT_EQ(decode(makeFrame(alpha), format), QM_LGPL_OK);
            EXPECT_EQ(hasAlpha, alpha ? 1 : 0);
            for (int y : {0, 7, 15}) {
                for (int x : {0, 15, 16, 31}) {
                    for (int c = 0; c < 3; ++c) EXPECT_NEAR(channel(x, y, c), (x < 16 ? left : right)[size_t(c)], 2 / 255.0);
                    EXPECT_EQ(channel(x, y, 3), alpha && x >= 16 ? 0.0 : 1.0) << x << "," << y;
                }
            }
            EXPECT_EQ(pixels[32 * (deep ? 8 : 4)], 0xEE);  // the row padding beyond the picture
        }
    }
    // Deeper than 8 bits: the 12-bit grey is not an 8-bit value scaled up.
    decode(makeFrame(false), QM_NOTCHLC_RGBA64);
    EXPECT_NE(static_cast<int>(channel(0, 0, 0) * 65535 + 0.5) % 257, 0);
}

TEST_F(NotchLCDecode, FullScaleStaysFullScale) {
    for (int32_t format : {QM_NOTCHLC_BGRA, QM_NOTCHLC_RGBA64}) {
        ASSERT_EQ(decode(makeFrame(false, 4095), format), QM_LGPL_OK);
        for (int c = 0; c < 4; ++c) EXPECT_EQ(channel(5, 5, c), 1.0) << c;
        ASSERT_EQ(decode(makeFrame(false, 0), format), QM_LGPL_OK);
        for (int c = 0; c < 3; ++c) EXPECT_EQ(channel(5, 5, c), 0.0) << c;
    }
}

TEST_F(NotchLCDecode, LargerFramesAreCroppedSmallerOnesRefused) {
    ASSERT_EQ(decode(makeFrame(false), QM_NOTCHLC_BGRA, 20, 10), QM_LGPL_OK);
    EXPECT_NEAR(channel(0, 0, 1), rgb709(1000, 2048, 2048)[1], 2 / 255.0);
    EXPECT_NEAR(channel(19, 9, 0), rgb709(2000, 2048, 2800)[0], 2 / 255.0);
    EXPECT_EQ(decode(makeFrame(false), QM_NOTCHLC_BGRA, 33, 16), QM_LGPL_INVALID);
    EXPECT_EQ(decode(makeFrame(false), QM_NOTCHLC_BGRA, 32, 17), QM_LGPL_INVALID);
}

TEST_F(NotchLCDecode, BadArgumentsAndDamagedFramesFailAndTheContextRecovers) {
    const auto good = makeFrame(true);
    std::vector<uint8_t> dst(32 * 16 * 8);
    int32_t flag = 0;
    const struct { qm_notchlc_context* c; size_t size; int32_t format; uint8_t* dst; size_t stride; int w; int32_t* flag; } bad[] = {
        {context.get(), good.size(), 2, dst.data(), 32 * 8, 32, &flag},  // unknown format
        {context.get(), good.size(), 0, dst.data(), 32 * 4 - 1, 32, &flag},
        {context.get(), good.size(), 0, dst.data(), 32 * 4, 0, &flag},
        {context.get(), good.size(), 0, nullptr, 32 * 4, 32, &flag},
        {context.get(), good.size(), 0, dst.data(), 32 * 4, 32, nullptr},
        {nullptr, good.size(), 0, dst.data(), 32 * 4, 32, &flag},
        {context.get(), 0, 0, dst.data(), 32 * 4, 32, &flag}};
    for (size_t i = 0; i < std::size(bad); ++i)
        EXPECT_NE(qm_notchlc_decode(bad[i].c, good.data(), bad[i].size, bad[i].format, bad[i].dst, bad[i].stride,
                                    bad[i].w, 16, bad[i].flag), 0) << i;

    std::mt19937 random(7);
    std::vector<uint8_t> garbage(600);
    for (auto& b : garbage) b = uint8_t(random());
    EXPECT_NE(decode(garbage, QM_NOTCHLC_BGRA), 0);
    // Right container, damaged body: truncations, and a flipped tag.
    for (size_t n = 1; n < good.size(); n += 7)
        EXPECT_NE(decode(std::vector<uint8_t>(good.begin(), good.begin() + long(n)), QM_NOTCHLC_BGRA), 0) << n;
    auto badTag = good;
    badTag[0] = 'N';
    EXPECT_NE(decode(badTag, QM_NOTCHLC_BGRA), 0);

    ASSERT_EQ(decode(good, QM_NOTCHLC_BGRA), QM_LGPL_OK);
    EXPECT_EQ(hasAlpha, 1);
}

}  // namespace
