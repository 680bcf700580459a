#include "credits/credits_settings.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace qm {

QString translatedCreditsTitle(const char* english) { return QCoreApplication::translate("CreditsSettings", english); }

namespace {

// Inside [lo, hi]; a NaN takes the fallback.
double within(double value, double lo, double hi, double fallback) {
    return std::isnan(value) ? fallback : std::clamp(value, lo, hi);
}

CreditsSettings::ImageSlot clampedSlot(const CreditsSettings::ImageSlot& s) {
    const CreditsSettings::ImageSlot d;
    CreditsSettings::ImageSlot c = s;
    c.keyColor = s.keyColor.clamped();
    c.tolerance = within(s.tolerance, 0, 60, d.tolerance);
    c.softness = within(s.softness, 0, 60, d.softness);
    c.scalePercent = within(s.scalePercent, 5, 100, d.scalePercent);
    c.hold = within(s.hold, 0, 600, d.hold);
    return c;
}

void requireFinite(double value, const char* key) {
    if (!std::isfinite(value)) throw std::invalid_argument(std::string(key) + " is not a finite number");
}

template <typename Json>
void putColor(Json& json, const char* key, const RGBColor& color) {
    requireFinite(color.r, key), requireFinite(color.g, key), requireFinite(color.b, key);
    json[key] = color;
}

template <typename Json>
const Json* member(const Json& json, const char* key) {
    const auto it = json.find(key);
    if (it == json.end() || it->is_null()) return nullptr;
    return &*it;
}

// Each reader leaves the field alone unless the key holds a value of the field's kind.
template <typename Json>
bool readDouble(const Json& json, const char* key, double& field) {
    const Json* value = member(json, key);
    if (!value || !value->is_number()) return false;
    field = value->template get<double>();
    return true;
}

// An integer, or a float without a fraction; values beyond 64 bits saturate (the clamp follows).
template <typename Json>
bool readInt(const Json& json, const char* key, int64_t& field) {
    const Json* value = member(json, key);
    if (!value || !value->is_number()) return false;
    if (value->is_number_unsigned()) {
        const auto v = value->template get<uint64_t>();
        field = v > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max() : int64_t(v);
        return true;
    }
    if (value->is_number_integer()) {
        field = value->template get<int64_t>();
        return true;
    }
    const double v = value->template get<double>();
    if (!std::isfinite(v) || v != std::trunc(v)) return false;
    field = v >= 9.2e18 ? std::numeric_limits<int64_t>::max() : v <= -9.2e18 ? std::numeric_limits<int64_t>::min() : int64_t(v);
    return true;
}

template <typename Json>
bool readBool(const Json& json, const char* key, bool& field) {
    const Json* value = member(json, key);
    if (!value || !value->is_boolean()) return false;
    field = value->template get<bool>();
    return true;
}

template <typename Json>
bool readString(const Json& json, const char* key, std::string& field) {
    const Json* value = member(json, key);
    if (!value || !value->is_string()) return false;
    field = value->template get<std::string>();
    return true;
}

template <typename Json, typename E>
bool readChoice(const Json& json, const char* key, E& field) {
    const Json* value = member(json, key);
    if (!value || !value->is_string()) return false;
    auto parsed = creditsChoiceFromRawValue<E>(value->template get_ref<const std::string&>());
    if (!parsed) return false;
    field = *parsed;
    return true;
}

template <typename Json>
bool readColor(const Json& json, const char* key, RGBColor& field) {
    const Json* value = member(json, key);
    if (!value || !value->is_object()) return false;
    try {
        field = value->template get<RGBColor>();
    } catch (const nlohmann::json::exception&) {
        return false;
    }
    return true;
}

// A slot is taken only when all seven keys are present and readable.
template <typename Json>
bool readSlot(const Json& json, const char* key, CreditsSettings::ImageSlot& field) {
    const Json* value = member(json, key);
    if (!value || !value->is_object()) return false;
    CreditsSettings::ImageSlot s;
    const bool complete = readChoice(*value, "key", s.key) && readColor(*value, "keyColor", s.keyColor) &&
                          readDouble(*value, "tolerance", s.tolerance) && readDouble(*value, "softness", s.softness) &&
                          readBool(*value, "outerOnly", s.outerOnly) && readDouble(*value, "scalePercent", s.scalePercent) &&
                          readDouble(*value, "hold", s.hold);
    if (complete) field = s;
    return complete;
}

template <typename Json>
CreditsSettings decode(const Json& json) {
    if (!json.is_object()) throw std::invalid_argument("credits settings are not a JSON object");
    CreditsSettings s;
    readInt(json, "width", s.width);
    readInt(json, "height", s.height);
    readDouble(json, "frameRate", s.frameRate);
    readChoice(json, "background", s.background);
    readColor(json, "backgroundColor", s.backgroundColor);
    readSlot(json, "head", s.head);
    readSlot(json, "tail", s.tail);
    readDouble(json, "contentWidthPercent", s.contentWidthPercent);
    readDouble(json, "textScalePercent", s.textScalePercent);
    readChoice(json, "textColorMode", s.textColorMode);
    readColor(json, "textColor", s.textColor);
    readString(json, "fontFamily", s.fontFamily);
    readChoice(json, "logoMode", s.logoMode);
    readBool(json, "logoOuterOnly", s.logoOuterOnly);
    if (const Json* value = member(json, "chineseConversion"); value && value->is_string())
        if (auto d = ChineseConverter::directionFromRawValue(value->template get_ref<const std::string&>()))
            s.chineseConversion = *d;
    readInt(json, "skipLeadingLines", s.skipLeadingLines);
    readChoice(json, "effect", s.effect);
    readColor(json, "effectColor", s.effectColor);
    readDouble(json, "effectSize", s.effectSize);
    readDouble(json, "effectStrength", s.effectStrength);
    readDouble(json, "shadowOffset", s.shadowOffset);
    readBool(json, "effectOnImages", s.effectOnImages);
    readDouble(json, "rollSeconds", s.rollSeconds);
    readBool(json, "timeIsTotal", s.timeIsTotal);
    readDouble(json, "fadeIn", s.fadeIn);
    readDouble(json, "fadeOut", s.fadeOut);
    readDouble(json, "gapPercent", s.gapPercent);
    readBool(json, "wholePixelSteps", s.wholePixelSteps);
    return s.clamped();
}

}  // namespace

CreditsSettings CreditsSettings::clamped() const {
    const CreditsSettings d;
    CreditsSettings c = *this;
    c.width = std::clamp<int64_t>(width, 16, 16384);
    c.height = std::clamp<int64_t>(height, 16, 16384);
    c.frameRate = within(frameRate, 1, 240, d.frameRate);
    c.backgroundColor = backgroundColor.clamped();
    c.head = clampedSlot(head);
    c.tail = clampedSlot(tail);
    c.contentWidthPercent = within(contentWidthPercent, 10, 100, d.contentWidthPercent);
    c.textScalePercent = within(textScalePercent, 25, 400, d.textScalePercent);
    c.textColor = textColor.clamped();
    c.skipLeadingLines = std::clamp<int64_t>(skipLeadingLines, 0, 20);
    c.effectColor = effectColor.clamped();
    c.effectSize = within(effectSize, 0, 40, d.effectSize);
    c.effectStrength = within(effectStrength, 0, 100, d.effectStrength);
    c.shadowOffset = within(shadowOffset, 0, 40, d.shadowOffset);
    c.rollSeconds = within(rollSeconds, 1, 3600, d.rollSeconds);
    c.fadeIn = within(fadeIn, 0, 30, d.fadeIn);
    c.fadeOut = within(fadeOut, 0, 30, d.fadeOut);
    c.gapPercent = within(gapPercent, 0, 100, d.gapPercent);
    return c;
}

nlohmann::ordered_json slotToJson(const CreditsSettings::ImageSlot& slot) {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    json["key"] = std::string(creditsRawValue(slot.key));
    putColor(json, "keyColor", slot.keyColor);
    for (auto [key, value] : {std::pair{"tolerance", slot.tolerance}, std::pair{"softness", slot.softness}}) {
        requireFinite(value, key);
        json[key] = value;
    }
    json["outerOnly"] = slot.outerOnly;
    requireFinite(slot.scalePercent, "scalePercent");
    json["scalePercent"] = slot.scalePercent;
    requireFinite(slot.hold, "hold");
    json["hold"] = slot.hold;
    return json;
}

nlohmann::ordered_json CreditsSettings::toJson() const {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    auto number = [&](const char* key, double value) {
        requireFinite(value, key);
        json[key] = value;
    };
    json["width"] = width;
    json["height"] = height;
    number("frameRate", frameRate);
    json["background"] = std::string(creditsRawValue(background));
    putColor(json, "backgroundColor", backgroundColor);
    json["head"] = slotToJson(head);
    json["tail"] = slotToJson(tail);
    number("contentWidthPercent", contentWidthPercent);
    number("textScalePercent", textScalePercent);
    json["textColorMode"] = std::string(creditsRawValue(textColorMode));
    putColor(json, "textColor", textColor);
    json["fontFamily"] = fontFamily;
    json["logoMode"] = std::string(creditsRawValue(logoMode));
    json["logoOuterOnly"] = logoOuterOnly;
    json["chineseConversion"] = std::string(ChineseConverter::rawValue(chineseConversion));
    json["skipLeadingLines"] = skipLeadingLines;
    json["effect"] = std::string(creditsRawValue(effect));
    putColor(json, "effectColor", effectColor);
    number("effectSize", effectSize);
    number("effectStrength", effectStrength);
    number("shadowOffset", shadowOffset);
    json["effectOnImages"] = effectOnImages;
    number("rollSeconds", rollSeconds);
    json["timeIsTotal"] = timeIsTotal;
    number("fadeIn", fadeIn);
    number("fadeOut", fadeOut);
    number("gapPercent", gapPercent);
    json["wholePixelSteps"] = wholePixelSteps;
    return json;
}

CreditsSettings CreditsSettings::fromJson(const nlohmann::ordered_json& json) { return decode(json); }
CreditsSettings CreditsSettings::fromJson(const nlohmann::json& json) { return decode(json); }

CreditsSettings CreditsSettings::fromJsonText(std::string_view text) {
    auto json = nlohmann::ordered_json::parse(text.begin(), text.end(), nullptr, false);
    if (json.is_discarded()) throw std::invalid_argument("credits settings are not valid JSON");
    return decode(json);
}

}  // namespace qm
