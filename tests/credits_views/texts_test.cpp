#include "credits/views/chinese_choices_sheet.h"
#include "credits/views/clock_format.h"
#include "credits/views/credits_preview.h"
#include "credits/views/credits_settings_panel.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(ClockFormat, FormatsMinutesSecondsAndTenths) {
    const std::pair<double, const char*> cases[] = {
        {0, "0:00"},      {83, "1:23"},        {0.5, "0:00.5"}, {1.25, "0:01.3"},    {59.94, "0:59.9"},
        {59.96, "1:00"},  {0.04, "0:00"},      {3600, "60:00"}, {-5, "0:00"},        {-0.04, "0:00"},
        {1e30, "0:00"},   {std::numeric_limits<double>::infinity(), "0:00"},
        {std::numeric_limits<double>::quiet_NaN(), "0:00"},
    };
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(ClockFormat::format(seconds), QString::fromUtf8(text)) << seconds;
        // What is shown reads back to the tenth.
        if (seconds >= 0 && seconds <= 3600) {
            EXPECT_NEAR(ClockFormat::parse(ClockFormat::format(seconds)).value_or(-1), std::round(seconds * 10) / 10, 1e-9);
        }
    }
}

TEST(ClockFormat, ReadsWhatUsersType) {
    const std::pair<const char*, double> accepted[] = {
        {"83", 83},        {"1:23", 83},   {"1\xEF\xBC\x9A" "23", 83}, {" 1 : 23 ", 83},
        {"\xE3\x80\x80" "1:23\t", 83},     {"1:2:3", 3723}, {"1:75", 135}, {"1.5:00", 90},
        {"1:", 60},        {":30", 30},    {"", 0},
    };
    for (const auto& [text, seconds] : accepted) {
        const auto read = ClockFormat::parse(QString::fromUtf8(text));
        ASSERT_TRUE(read.has_value()) << text;
        EXPECT_DOUBLE_EQ(*read, seconds) << text;
    }
    for (const char* refused : {"1:2:3:4", "abc", "1,5", "-5", "1:-5", "\xE2\x88\x92" "5", "inf", "nan", "1e999",
                                "1e308:1e308", "1:2\n"})
        EXPECT_FALSE(ClockFormat::parse(QString::fromUtf8(refused)).has_value()) << refused;
}

TEST(CreditsTexts, ClockStringsRatesSlidersAndPercentages) {
    EXPECT_EQ(clockString(59.5), "1:00");
    EXPECT_EQ(clockString(0.4), "0:00");
    EXPECT_EQ(clockString(3725), "62:05");
    EXPECT_EQ(clockString(-3), "0:00");
    EXPECT_EQ(clockString(std::numeric_limits<double>::infinity()), "0:00");
    EXPECT_EQ(timeText(83), "1:23");

    const double rates[] = {23.976, 24, 25, 29.97, 30, 50, 59.94, 60};
    QStringList labels;
    for (double rate : rates) labels << frameRateLabel(rate);
    EXPECT_EQ(labels, (QStringList{"23.976", "24", "25", "29.97", "30", "50", "59.94", "60"}));
    EXPECT_NE(frameRateLabel(24.0001), frameRateLabel(24));

    EXPECT_EQ(sliderValueText(0.5, "%"), "1%");
    EXPECT_EQ(sliderValueText(-0.5, "px"), "-1px");
    EXPECT_EQ(sliderValueText(14.6, "s"), "15 s");
    EXPECT_EQ(sliderValueText(99.4, "% of width"), "99% of width");

    EXPECT_EQ(percentText(0.996), "99%");
    EXPECT_EQ(percentText(1), "100%");
    EXPECT_EQ(percentText(0), "0%");
}

TEST(CreditsPreviewGeometry, PictureAreaFitsTheCanvasAspect) {
    const QRectF square = creditsPictureArea(QRectF(16, 16, 800, 800), 1920, 1080);
    EXPECT_DOUBLE_EQ(square.width(), 800);
    EXPECT_DOUBLE_EQ(square.height(), 450);
    EXPECT_DOUBLE_EQ(square.top(), 16 + 175);
    const QRectF wide = creditsPictureArea(QRectF(0, 0, 800, 300), 1920, 1080);
    EXPECT_NEAR(wide.width(), 300 * 1920.0 / 1080, 1e-9);
    EXPECT_DOUBLE_EQ(wide.height(), 300);
    EXPECT_NEAR(wide.left(), (800 - wide.width()) / 2, 1e-9);
    const QRectF tiny = creditsPictureArea(QRectF(0, 0, 0.5, 0), 1920, 1080);
    EXPECT_GE(tiny.width(), 1);
    EXPECT_GE(tiny.height(), 1);
}

TEST(ReviewContext, PlaceIsCutInCharactersAndStopsAtTheEnd) {
    ChineseConverter::Choice c;
    c.context = "\xE4\xBD\xA0\xE5\xB9\xB2\xE4\xBB\x80\xE4\xB9\x88";  // 你干什么
    c.result = "\xE5\xB9\xB2";                                      // 干
    c.contextOffset = 1;
    EXPECT_EQ(contextSpans(c), (ContextSpans{QString::fromUtf8("你"), QString::fromUtf8("干"), QString::fromUtf8("什么")}));
    c.contextOffset = -3;
    EXPECT_EQ(contextSpans(c).place, QString::fromUtf8("你"));
    c.contextOffset = 3;
    c.result = "\xE5\xB9\xB2\xE5\xB9\xB2\xE5\xB9\xB2";  // three characters from the last one: up to the end only
    EXPECT_EQ(contextSpans(c), (ContextSpans{QString::fromUtf8("你干什"), QString::fromUtf8("么"), QString()}));
    c.contextOffset = 40;
    EXPECT_EQ(contextSpans(c), (ContextSpans{QString::fromUtf8("你干什么"), QString(), QString()}));
    // A character outside the basic plane and a combined one count as one character each.
    c.context = "\xF0\xA0\x80\x80" "e\xCC\x81" "x";  // 𠀀, e + combining acute, x
    c.result = "x";
    c.contextOffset = 2;
    EXPECT_EQ(contextSpans(c).place, "x");
}

}  // namespace
}  // namespace qm
