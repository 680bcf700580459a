#pragma once
// Every choice of an End Credits video in one value record, its five choice enumerations and its
// JSON form (tolerant key by key when reading, and clamped into the ranges the settings panel
// offers, so that no stored value can stall or exhaust a render).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <QString>
#include <nlohmann/json.hpp>

#include "documents/chinese_converter.h"
#include "engine/rgb_color.h"

namespace qm {

struct CreditsSettings {
    enum class Background { black, transparent, color };
    enum class TextColorMode { single, document };
    enum class LogoMode { original, removeWhite, white };
    enum class Effect { none, glow, shadow, outline };
    // `automatic` is stored as "auto".
    enum class KeyMode { none, automatic, white, black, color };

    // Treatment of the opening or the closing picture.
    struct ImageSlot {
        KeyMode key = KeyMode::automatic;
        RGBColor keyColor{0, 1, 0};
        double tolerance = 8;  // percent
        double softness = 10;  // percent
        bool outerOnly = false;
        double scalePercent = 50;
        double hold = 3;  // seconds
        bool operator==(const ImageSlot&) const = default;
    };

    int64_t width = 1920;
    int64_t height = 1080;
    double frameRate = 25;
    Background background = Background::black;
    RGBColor backgroundColor{0, 0, 0};
    ImageSlot head;
    ImageSlot tail;
    double contentWidthPercent = 60;
    double textScalePercent = 100;
    TextColorMode textColorMode = TextColorMode::single;
    RGBColor textColor{1, 1, 1};
    std::string fontFamily;
    LogoMode logoMode = LogoMode::original;
    bool logoOuterOnly = false;
    ChineseConverter::Direction chineseConversion = ChineseConverter::Direction::none;
    int64_t skipLeadingLines = 0;
    Effect effect = Effect::none;
    RGBColor effectColor{0, 0, 0};
    double effectSize = 6;
    double effectStrength = 80;
    double shadowOffset = 4;
    bool effectOnImages = false;
    double rollSeconds = 60;
    bool timeIsTotal = false;
    double fadeIn = 0.5;
    double fadeOut = 0.5;
    double gapPercent = 15;
    bool wholePixelSteps = true;

    // All 28 fields; a NaN never equals anything.
    bool operator==(const CreditsSettings&) const = default;

    // Every field within the settings panel's range (width and height 16…16384, frame rate
    // 1…240, roll 1…3600 s, colours 0…1, …); a NaN takes the field's default.
    CreditsSettings clamped() const;

    // All 28 keys in field order, `head` and `tail` with their seven keys. Throws
    // std::invalid_argument for a number that is not finite (JSON has none).
    nlohmann::ordered_json toJson() const;
    // Starts from the defaults; a key that is missing, null, of the wrong kind or (for a slot)
    // lacking any of its keys keeps that field's default; unknown keys are ignored. The result is
    // clamped. Throws std::invalid_argument when the value is not a JSON object (or the text not
    // JSON).
    static CreditsSettings fromJson(const nlohmann::ordered_json& json);
    static CreditsSettings fromJson(const nlohmann::json& json);
    static CreditsSettings fromJsonText(std::string_view text);
};

nlohmann::ordered_json slotToJson(const CreditsSettings::ImageSlot& slot);

// The cases of each choice enumeration in order, their stored values and English display titles.
template <typename E>
struct CreditsChoiceEntry {
    E value;
    const char* raw;
    const char* title;
};

template <typename E>
struct CreditsChoice;

template <>
struct CreditsChoice<CreditsSettings::Background> {
    using B = CreditsSettings::Background;
    static constexpr std::array<CreditsChoiceEntry<B>, 3> entries{
        {{B::black, "black", "Black"}, {B::transparent, "transparent", "Transparent"}, {B::color, "color", "Colour"}}};
};

template <>
struct CreditsChoice<CreditsSettings::TextColorMode> {
    using T = CreditsSettings::TextColorMode;
    static constexpr std::array<CreditsChoiceEntry<T>, 2> entries{
        {{T::single, "single", "One colour"}, {T::document, "document", "Document colours"}}};
};

template <>
struct CreditsChoice<CreditsSettings::LogoMode> {
    using L = CreditsSettings::LogoMode;
    static constexpr std::array<CreditsChoiceEntry<L>, 3> entries{{{L::original, "original", "As is"},
                                                                   {L::removeWhite, "removeWhite", "Remove background (automatic)"},
                                                                   {L::white, "white", "Remove background, make white"}}};
};

template <>
struct CreditsChoice<CreditsSettings::Effect> {
    using F = CreditsSettings::Effect;
    static constexpr std::array<CreditsChoiceEntry<F>, 4> entries{{{F::none, "none", "None"},
                                                                   {F::glow, "glow", "Glow"},
                                                                   {F::shadow, "shadow", "Drop Shadow"},
                                                                   {F::outline, "outline", "Dark Outline"}}};
};

template <>
struct CreditsChoice<CreditsSettings::KeyMode> {
    using K = CreditsSettings::KeyMode;
    static constexpr std::array<CreditsChoiceEntry<K>, 5> entries{{{K::none, "none", "None"},
                                                                   {K::automatic, "auto", "Automatic"},
                                                                   {K::white, "white", "Remove White"},
                                                                   {K::black, "black", "Remove Black"},
                                                                   {K::color, "color", "Remove Colour"}}};
};

template <typename E>
std::array<E, CreditsChoice<E>::entries.size()> allCases() {
    std::array<E, CreditsChoice<E>::entries.size()> cases{};
    for (size_t i = 0; i < cases.size(); ++i) cases[i] = CreditsChoice<E>::entries[i].value;
    return cases;
}

template <typename E>
std::string_view creditsRawValue(E value) {
    for (const auto& entry : CreditsChoice<E>::entries)
        if (entry.value == value) return entry.raw;
    return {};
}

// Exact, case-sensitive match of a stored value; nothing for any other text.
template <typename E>
std::optional<E> creditsChoiceFromRawValue(std::string_view raw) {
    for (const auto& entry : CreditsChoice<E>::entries)
        if (raw == entry.raw) return entry.value;
    return std::nullopt;
}

// The display title, translated in the context "CreditsSettings".
QString translatedCreditsTitle(const char* english);
template <typename E>
QString creditsTitle(E value) {
    for (const auto& entry : CreditsChoice<E>::entries)
        if (entry.value == value) return translatedCreditsTitle(entry.title);
    return {};
}

}  // namespace qm
