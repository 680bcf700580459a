#include "engine/conversion_settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace qm {
namespace {

using nlohmann::ordered_json;

TEST(ConversionSettings, EncodesEveryFieldInOrderAndRoundTrips) {
    ConversionSettings s;
    s.format = OutputFormat::proRes4444XQ;
    s.deliveryQuality = DeliveryQuality::maximum;
    s.outputSize = OutputSize::percent;
    s.scalePercent = 33.5;
    s.hapChunks = 8;
    s.hapHighQuality = true;
    s.includeAudio = false;
    EXPECT_EQ(s.toJson().dump(),
              R"({"format":"proRes4444XQ","deliveryQuality":"maximum","outputSize":"percent","scalePercent":33.5,)"
              R"("hapChunks":8,"hapHighQuality":true,"includeAudio":false})");
    EXPECT_EQ(ConversionSettings::fromJson(s.toJson()), s);
    EXPECT_EQ(ConversionSettings::fromJsonText(s.toJson().dump()), s);
    s.scalePercent = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(s.toJson(), std::invalid_argument);
    EXPECT_NE(s, s);  // a NaN never equals anything
}

TEST(ConversionSettings, EachFieldFallsBackToItsOwnDefault) {
    EXPECT_EQ(ConversionSettings::fromJsonText("{}"), ConversionSettings());
    const auto s = ConversionSettings::fromJsonText(
        R"({"format":"notchLC","deliveryQuality":"ultra","outputSize":"hd720","scalePercent":"75",)"
        R"("hapChunks":4,"hapHighQuality":1,"includeAudio":false,"extra":[1,2]})");
    ConversionSettings expected;
    expected.format = OutputFormat::notchLC;  // kept although it cannot be written
    expected.outputSize = OutputSize::hd720;
    expected.hapChunks = 4;
    expected.includeAudio = false;
    EXPECT_EQ(s, expected);

    // Wrong types and unknown or miscased raw values; an integer is a fine Double.
    const auto wrong = ConversionSettings::fromJsonText(
        R"({"format":7,"deliveryQuality":null,"outputSize":"HD720","scalePercent":12,"hapChunks":2.5,)"
        R"("hapHighQuality":"true","includeAudio":null})");
    expected = ConversionSettings();
    expected.scalePercent = 12.0;
    EXPECT_EQ(wrong, expected);

    EXPECT_EQ(ConversionSettings::fromJsonText(R"({"hapChunks":3.0})").hapChunks, 3);
    EXPECT_EQ(ConversionSettings::fromJsonText(R"({"hapChunks":4294967296})").hapChunks, 0);
    EXPECT_EQ(ConversionSettings::fromJsonText(R"({"hapChunks":-2})").hapChunks, -2);
}

TEST(ConversionSettings, OnlyAnObjectDecodes) {
    for (const char* text : {"[]", "[{}]", "null", "\"hapQ\"", "3", "", "{", "{\"format\":}"})
        EXPECT_THROW(ConversionSettings::fromJsonText(text), std::invalid_argument) << text;
    EXPECT_THROW(ConversionSettings::fromJson(nlohmann::json::array()), std::invalid_argument);
    EXPECT_EQ(ConversionSettings::fromJson(nlohmann::json::parse(R"({"includeAudio":false})")).includeAudio, false);
}

OutputDimensions dims(OutputSize size, int w, int h, double percent = 50) {
    ConversionSettings s;
    s.outputSize = size;
    s.scalePercent = percent;
    return s.outputDimensions(w, h);
}

TEST(ConversionSettings, PercentScaleIsEvenAndBounded) {
    EXPECT_EQ(dims(OutputSize::percent, 1920, 1080, 50), (OutputDimensions{960, 540}));
    EXPECT_EQ(dims(OutputSize::percent, 1001, 1001, 33), (OutputDimensions{330, 330}));  // 2 x round(165.165)
    EXPECT_EQ(dims(OutputSize::percent, 1920, 1080, 0), (OutputDimensions{20, 10}));    // 1 percent: 2 x round(9.6), 2 x round(5.4)
    EXPECT_EQ(dims(OutputSize::percent, 100, 100, 0.5), (OutputDimensions{2, 2}));
    EXPECT_EQ(dims(OutputSize::percent, 640, 480, std::nan("")), (OutputDimensions{6, 4}));  // 2 x round(3.2), 2 x round(2.4)
    EXPECT_EQ(dims(OutputSize::percent, 8000, 8000, 1000), (OutputDimensions{16384, 16384}));
    EXPECT_EQ(dims(OutputSize::percent, 100, 60, std::numeric_limits<double>::infinity()), (OutputDimensions{400, 240}));
    EXPECT_EQ(dims(OutputSize::percent, 10, 10, 25), (OutputDimensions{2, 2}));  // 2 x round(1.25) = 2
    EXPECT_EQ(dims(OutputSize::percent, 30, 10, 50), (OutputDimensions{16, 6}));  // halves away from zero: 7.5 -> 8, 2.5 -> 3
}

TEST(ConversionSettings, BoxesShrinkWithoutUpscalingAndTurnForPortrait) {
    EXPECT_EQ(dims(OutputSize::hd1080, 3840, 2160), (OutputDimensions{1920, 1080}));
    EXPECT_EQ(dims(OutputSize::hd1080, 1280, 720), (OutputDimensions{1280, 720}));
    EXPECT_EQ(dims(OutputSize::hd1080, 2160, 3840), (OutputDimensions{1080, 1920}));
    EXPECT_EQ(dims(OutputSize::hd1080, 1921, 1081), (OutputDimensions{1920, 1080}));
    EXPECT_EQ(dims(OutputSize::hd720, 1919, 1079), (OutputDimensions{1280, 720}));
    EXPECT_EQ(dims(OutputSize::uhd4k, 1919, 1079), (OutputDimensions{1919, 1079}));  // fits: odd sides kept
    EXPECT_EQ(dims(OutputSize::hd720, 10000, 10), (OutputDimensions{1280, 2}));     // raised to 2
    EXPECT_EQ(dims(OutputSize::hd720, 1000, 1000), (OutputDimensions{720, 720}));
    EXPECT_EQ(dims(OutputSize::hd720, 0, 0), (OutputDimensions{0, 0}));
    EXPECT_EQ(dims(OutputSize::original, 1919, 1079), (OutputDimensions{1919, 1079}));
}

}  // namespace
}  // namespace qm
