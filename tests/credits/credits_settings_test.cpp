// The credits settings' JSON form: tolerant per key, whole slots or nothing, clamped into the
// panel's ranges, and the stored values of the choice enumerations.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "credits/credits_settings.h"

namespace qm {
namespace {

using S = CreditsSettings;

TEST(CreditsSettings, DefaultsRoundTripWithEveryKeyInOrder) {
    const S defaults;
    EXPECT_EQ(S::fromJsonText("{}"), defaults);
    const auto json = defaults.toJson();
    ASSERT_EQ(json.size(), 28u);
    const char* order[] = {"width", "height", "frameRate", "background", "backgroundColor", "head", "tail",
                           "contentWidthPercent", "textScalePercent", "textColorMode", "textColor", "fontFamily",
                           "logoMode", "logoOuterOnly", "chineseConversion", "skipLeadingLines", "effect", "effectColor",
                           "effectSize", "effectStrength", "shadowOffset", "effectOnImages", "rollSeconds", "timeIsTotal",
                           "fadeIn", "fadeOut", "gapPercent", "wholePixelSteps"};
    size_t i = 0;
    for (const auto& [key, value] : json.items()) EXPECT_EQ(key, order[i++]);
    EXPECT_EQ(json["head"].size(), 7u);
    EXPECT_EQ(json["tail"].dump(), R"({"key":"auto","keyColor":{"r":0.0,"g":1.0,"b":0.0},"tolerance":8.0,"softness":10.0,"outerOnly":false,"scalePercent":50.0,"hold":3.0})");
    EXPECT_EQ(json["fontFamily"], "");
    EXPECT_EQ(json["width"].dump(), "1920");
    EXPECT_EQ(S::fromJson(json), defaults);

    S changed;
    changed.background = S::Background::color;
    changed.effect = S::Effect::outline;
    changed.head.key = S::KeyMode::black;
    changed.chineseConversion = ChineseConverter::Direction::toSimplified;
    changed.fontFamily = "Noto Sans";
    EXPECT_EQ(S::fromJsonText(changed.toJson().dump()), changed);
    EXPECT_EQ(S::fromJson(nlohmann::json::parse(changed.toJson().dump())), changed);
}

TEST(CreditsSettings, DecodingIsTolerantKeyByKey) {
    const S a = S::fromJsonText(R"({"width": "wide", "height": 720, "extra": [1], "frameRate": null})");
    EXPECT_EQ(a.width, 1920);
    EXPECT_EQ(a.height, 720);
    EXPECT_EQ(a.frameRate, 25);
    for (const char* text : {"Color", "colour", "COLOR", ""})
        EXPECT_EQ(S::fromJsonText(std::string(R"({"background": ")") + text + "\"}").background, S::Background::black) << text;
    EXPECT_EQ(S::fromJsonText(R"({"background": "color"})").background, S::Background::color);
    EXPECT_EQ(S::fromJsonText(R"({"head": {"key": "auto"}})").head.key, S::KeyMode::automatic);

    // A slot lacking one key falls back whole; a complete one beside it is taken.
    const S b = S::fromJsonText(R"({
        "head": {"key": "black", "keyColor": {"r": 1, "g": 0, "b": 0}, "tolerance": 20, "softness": 5,
                 "outerOnly": true, "scalePercent": 80},
        "tail": {"key": "color", "keyColor": {"r": 0, "g": 0, "b": 1}, "tolerance": 20, "softness": 5,
                 "outerOnly": true, "scalePercent": 80, "hold": 7}})");
    EXPECT_EQ(b.head, S::ImageSlot());
    EXPECT_EQ(b.tail.key, S::KeyMode::color);
    EXPECT_EQ(b.tail.keyColor, (RGBColor{0, 0, 1}));
    EXPECT_EQ(b.tail.hold, 7);
    // A bad member of a slot, or a colour missing a component, counts as missing.
    EXPECT_EQ(S::fromJsonText(R"({"tail": {"key": "teal", "keyColor": {"r": 0, "g": 0, "b": 1}, "tolerance": 1,
        "softness": 1, "outerOnly": true, "scalePercent": 80, "hold": 7}})").tail, S::ImageSlot());
    EXPECT_EQ(S::fromJsonText(R"({"textColor": {"r": 0.5, "g": 0.5}})").textColor, (RGBColor{1, 1, 1}));
    EXPECT_EQ(S::fromJsonText(R"({"skipLeadingLines": 2.5, "effectOnImages": 1})").skipLeadingLines, 0);

    for (const char* text : {"[]", "3", "\"x\"", "not json", ""}) EXPECT_THROW(S::fromJsonText(text), std::invalid_argument) << text;
}

TEST(CreditsSettings, StoredValuesAreClampedIntoThePanelRanges) {
    struct Case {
        const char* json;
        std::function<double(const S&)> field;
        double expected;
    };
    const Case cases[] = {
        {R"({"width": 0})", [](const S& s) { return double(s.width); }, 16},
        {R"({"width": 1000000})", [](const S& s) { return double(s.width); }, 16384},
        {R"({"height": 18446744073709551615})", [](const S& s) { return double(s.height); }, 16384},
        {R"({"height": -5})", [](const S& s) { return double(s.height); }, 16},
        {R"({"frameRate": 0})", [](const S& s) { return s.frameRate; }, 1},
        {R"({"frameRate": 1000})", [](const S& s) { return s.frameRate; }, 240},
        {R"({"contentWidthPercent": 1})", [](const S& s) { return s.contentWidthPercent; }, 10},
        {R"({"textScalePercent": 900})", [](const S& s) { return s.textScalePercent; }, 400},
        {R"({"skipLeadingLines": 99})", [](const S& s) { return double(s.skipLeadingLines); }, 20},
        {R"({"effectSize": -3})", [](const S& s) { return s.effectSize; }, 0},
        {R"({"effectStrength": 250})", [](const S& s) { return s.effectStrength; }, 100},
        {R"({"shadowOffset": 41})", [](const S& s) { return s.shadowOffset; }, 40},
        {R"({"rollSeconds": -1})", [](const S& s) { return s.rollSeconds; }, 1},
        {R"({"rollSeconds": 1e9})", [](const S& s) { return s.rollSeconds; }, 3600},
        {R"({"fadeIn": 31})", [](const S& s) { return s.fadeIn; }, 30},
        {R"({"fadeOut": -1})", [](const S& s) { return s.fadeOut; }, 0},
        {R"({"gapPercent": 101})", [](const S& s) { return s.gapPercent; }, 100},
    };
    for (const Case& c : cases) EXPECT_EQ(c.field(S::fromJsonText(c.json)), c.expected) << c.json;
    // Colours and slots, member by member.
    EXPECT_EQ(S::fromJsonText(R"({"effectColor": {"r": 2, "g": -1, "b": 0.5}})").effectColor, (RGBColor{1, 0, 0.5}));
    const S::ImageSlot head = S::fromJsonText(R"({"head": {"key": "white", "keyColor": {"r": 0, "g": 3, "b": 0},
        "tolerance": 99, "softness": -1, "outerOnly": false, "scalePercent": 1, "hold": 1000}})").head;
    EXPECT_EQ(head.keyColor, (RGBColor{0, 1, 0}));
    EXPECT_EQ(head.tolerance, 60);
    EXPECT_EQ(head.softness, 0);
    EXPECT_EQ(head.scalePercent, 5);
    EXPECT_EQ(head.hold, 600);
}

TEST(CreditsSettings, EqualityClampsAndNonFiniteNumbers) {
    S a, b;
    b.fontFamily = "Noto Serif CJK TC";
    EXPECT_NE(a, b);
    a.rollSeconds = b.rollSeconds = std::nan("");
    EXPECT_NE(a, a);
    EXPECT_THROW(a.toJson(), std::invalid_argument);
    // A copy for rendering takes the defaults for NaN and the limits for the rest.
    S wild;
    wild.rollSeconds = std::nan("");
    wild.frameRate = std::numeric_limits<double>::infinity();
    wild.width = std::numeric_limits<int64_t>::min();
    wild.tail.scalePercent = std::nan("");
    const S c = wild.clamped();
    EXPECT_EQ(c.rollSeconds, 60);
    EXPECT_EQ(c.frameRate, 240);
    EXPECT_EQ(c.width, 16);
    EXPECT_EQ(c.tail.scalePercent, 50);
    EXPECT_EQ(S().clamped(), S());
}

}  // namespace
}  // namespace qm
