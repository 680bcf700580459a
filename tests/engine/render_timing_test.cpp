#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "engine/render_timing.h"
#include "engine/rgb_color.h"

namespace qm {
namespace {

TEST(FrameDuration, NtscWholeAndOtherRates) {
    struct Case {
        double rate;
        int64_t value;
        int32_t timescale;
    };
    for (const Case& c : {Case{29.97, 1001, 30000}, Case{23.976, 1001, 24000}, Case{59.94, 1001, 60000},
                          Case{29.974, 1001, 30000}, Case{30, 100, 3000}, Case{25, 100, 2500}, Case{60, 100, 6000},
                          Case{12.5, 1000, 12500}, Case{29.98, 1000, 29980}, Case{24.5, 1000, 24500},
                          Case{0.5, 1000, 500}}) {
        const MediaTime d = frameDuration(c.rate);
        EXPECT_TRUE(d.isNumeric()) << c.rate;
        EXPECT_EQ(d.value, c.value) << c.rate;
        EXPECT_EQ(d.timescale, c.timescale) << c.rate;
    }
}

TEST(FrameDuration, RatesOutsideTheUsableRangeAreInvalid) {
    for (double rate : {0.0, -25.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e8, 1e-5}) {
        EXPECT_FALSE(frameDuration(rate).isValid()) << rate;
    }
}

TEST(RenderFrameCount, PartialFramesCountAndFloatNoiseDoesNot) {
    EXPECT_EQ(renderFrameCount(3.0 + 60.0 + 3.0, frameDuration(25)), 1650);
    EXPECT_EQ(renderFrameCount(66.0, frameDuration(29.97)), 1979);
    EXPECT_EQ(renderFrameCount(10.0, frameDuration(29.97)), 300);
    EXPECT_EQ(renderFrameCount(0.01, frameDuration(29.97)), 1);
    // 100 frames at 24 fps: 100 / 24 is not exact in binary, and 0.1 + 0.2 + ... sums drift.
    EXPECT_EQ(renderFrameCount(100.0 / 24.0, frameDuration(24)), 100);
    EXPECT_EQ(renderFrameCount(0.1 + 0.2 + 3.7, frameDuration(25)), 100);
    EXPECT_EQ(renderFrameCount(0.0, frameDuration(25)), 1);
    EXPECT_EQ(renderFrameCount(std::nan(""), frameDuration(25)), 1);
    EXPECT_EQ(renderFrameCount(5.0, MediaTime::invalid()), 1);
}

TEST(RenderBatchSize, MemoryProcessorAndFixedBounds) {
    EXPECT_EQ(renderBatchSize(1920, 1080, 8), 8);
    EXPECT_EQ(renderBatchSize(3840, 2160, 16), 16);
    EXPECT_EQ(renderBatchSize(7680, 4320, 16), 5);
    EXPECT_EQ(renderBatchSize(16384, 16384, 16), 2);
    EXPECT_EQ(renderBatchSize(1920, 1080, 1), 2);
    EXPECT_EQ(renderBatchSize(640, 360, 64), 32);
    EXPECT_EQ(renderBatchSize(0, 0, 0), 2);
}

TEST(RGBColor, JsonRoundTripAndStrictRead) {
    const RGBColor color{0.1, 0.75, 0.25};
    nlohmann::ordered_json ordered = color;
    EXPECT_EQ(ordered.dump(), R"({"r":0.1,"g":0.75,"b":0.25})");
    EXPECT_EQ(nlohmann::json(color).get<RGBColor>(), color);
    EXPECT_EQ(nlohmann::json::parse(R"({"b":1,"g":0,"r":0.5})").get<RGBColor>(), (RGBColor{0.5, 0, 1}));
    EXPECT_THROW(nlohmann::json::parse(R"({"r":0.5,"g":0})").get<RGBColor>(), nlohmann::json::exception);
    EXPECT_THROW(nlohmann::json::parse(R"({"r":"red","g":0,"b":0})").get<RGBColor>(), nlohmann::json::exception);
    EXPECT_EQ((RGBColor{-1, 2, std::nan("")}.clamped()), (RGBColor{0, 1, 0}));
}

}  // namespace
}  // namespace qm
