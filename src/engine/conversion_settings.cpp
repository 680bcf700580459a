#include "engine/conversion_settings.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace qm {

std::string_view rawValue(DeliveryQuality quality) {
    switch (quality) {
    case DeliveryQuality::low: return "low";
    case DeliveryQuality::medium: return "medium";
    case DeliveryQuality::high: return "high";
    case DeliveryQuality::maximum: return "maximum";
    }
    return {};
}

std::string_view label(DeliveryQuality quality) {
    switch (quality) {
    case DeliveryQuality::low: return "Low";
    case DeliveryQuality::medium: return "Medium";
    case DeliveryQuality::high: return "High";
    case DeliveryQuality::maximum: return "Maximum";
    }
    return {};
}

std::optional<DeliveryQuality> deliveryQualityFromRawValue(std::string_view raw) {
    for (DeliveryQuality q : allDeliveryQualities)
        if (rawValue(q) == raw) return q;
    return std::nullopt;
}

std::string_view rawValue(OutputSize size) {
    switch (size) {
    case OutputSize::original: return "original";
    case OutputSize::percent: return "percent";
    case OutputSize::uhd4k: return "uhd4k";
    case OutputSize::hd1080: return "hd1080";
    case OutputSize::hd720: return "hd720";
    }
    return {};
}

std::string_view label(OutputSize size) {
    switch (size) {
    case OutputSize::original: return "Original";
    case OutputSize::percent: return "Scale by Percentage";
    case OutputSize::uhd4k: return "\u2264 3840 \u00D7 2160";
    case OutputSize::hd1080: return "\u2264 1920 \u00D7 1080";
    case OutputSize::hd720: return "\u2264 1280 \u00D7 720";
    }
    return {};
}

std::optional<OutputSize> outputSizeFromRawValue(std::string_view raw) {
    for (OutputSize s : allOutputSizes)
        if (rawValue(s) == raw) return s;
    return std::nullopt;
}

namespace {

constexpr int kMaxSide = 16384;

// 2 x round(side x scale / 2), halves away from zero; the caller bounds the scale, so the
// product is finite and small.
int evenScaled(int side, double scale) { return 2 * static_cast<int>(std::llround(static_cast<double>(side) * scale / 2.0)); }

}  // namespace

OutputDimensions ConversionSettings::outputDimensions(int width, int height) const {
    switch (outputSize) {
    case OutputSize::original: return {width, height};
    case OutputSize::percent: {
        // Below 1 percent, or not a number, means 1 percent; above 400 is held at 400.
        const double scale = scalePercent >= 1.0 ? std::min(scalePercent, 400.0) / 100.0 : 0.01;
        return {std::clamp(evenScaled(width, scale), 2, kMaxSide), std::clamp(evenScaled(height, scale), 2, kMaxSide)};
    }
    case OutputSize::uhd4k:
    case OutputSize::hd1080:
    case OutputSize::hd720: {
        int boxWidth = outputSize == OutputSize::uhd4k ? 3840 : outputSize == OutputSize::hd1080 ? 1920 : 1280;
        int boxHeight = outputSize == OutputSize::uhd4k ? 2160 : outputSize == OutputSize::hd1080 ? 1080 : 720;
        if (width < height) std::swap(boxWidth, boxHeight);
        // A source without a size has nothing to fit.
        if (width < 1 || height < 1) return {width, height};
        const double k = std::min(double(boxWidth) / width, double(boxHeight) / height);
        if (k >= 1.0) return {width, height};
        return {std::max(evenScaled(width, k), 2), std::max(evenScaled(height, k), 2)};
    }
    }
    return {width, height};
}

nlohmann::ordered_json ConversionSettings::toJson() const {
    if (!std::isfinite(scalePercent)) throw std::invalid_argument("scalePercent is not a finite number");
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    json["format"] = std::string(rawValue(format));
    json["deliveryQuality"] = std::string(rawValue(deliveryQuality));
    json["outputSize"] = std::string(rawValue(outputSize));
    json["scalePercent"] = scalePercent;
    json["hapChunks"] = hapChunks;
    json["hapHighQuality"] = hapHighQuality;
    json["includeAudio"] = includeAudio;
    return json;
}

namespace {

template <typename Json>
const Json* member(const Json& json, const char* key) {
    const auto it = json.find(key);
    if (it == json.end() || it->is_null()) return nullptr;
    return &*it;
}

template <typename Json, typename T, typename Parse>
void readEnum(const Json& json, const char* key, T& field, Parse parse) {
    if (const Json* value = member(json, key); value != nullptr && value->is_string())
        if (auto parsed = parse(value->template get_ref<const std::string&>())) field = *parsed;
}

template <typename Json>
void readDouble(const Json& json, const char* key, double& field) {
    if (const Json* value = member(json, key); value != nullptr && value->is_number()) field = value->template get<double>();
}

// An integer, or a float with no fractional part that fits; anything else keeps the default.
template <typename Json>
void readInt(const Json& json, const char* key, int& field) {
    const Json* value = member(json, key);
    if (value == nullptr || !value->is_number()) return;
    if (value->is_number_unsigned()) {
        const auto v = value->template get<uint64_t>();
        if (v <= uint64_t(std::numeric_limits<int>::max())) field = static_cast<int>(v);
    } else if (value->is_number_integer()) {
        const auto v = value->template get<int64_t>();
        if (v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max()) field = static_cast<int>(v);
    } else {
        const double v = value->template get<double>();
        if (std::isfinite(v) && v == std::trunc(v) && v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max())
            field = static_cast<int>(v);
    }
}

template <typename Json>
void readBool(const Json& json, const char* key, bool& field) {
    if (const Json* value = member(json, key); value != nullptr && value->is_boolean()) field = value->template get<bool>();
}

template <typename Json>
ConversionSettings decode(const Json& json) {
    if (!json.is_object()) throw std::invalid_argument("conversion settings are not a JSON object");
    ConversionSettings s;
    readEnum(json, "format", s.format, outputFormatFromRawValue);
    readEnum(json, "deliveryQuality", s.deliveryQuality, deliveryQualityFromRawValue);
    readEnum(json, "outputSize", s.outputSize, outputSizeFromRawValue);
    readDouble(json, "scalePercent", s.scalePercent);
    readInt(json, "hapChunks", s.hapChunks);
    readBool(json, "hapHighQuality", s.hapHighQuality);
    readBool(json, "includeAudio", s.includeAudio);
    return s;
}

}  // namespace

ConversionSettings ConversionSettings::fromJson(const nlohmann::ordered_json& json) { return decode(json); }
ConversionSettings ConversionSettings::fromJson(const nlohmann::json& json) { return decode(json); }

ConversionSettings ConversionSettings::fromJsonText(std::string_view text) {
    auto json = nlohmann::ordered_json::parse(text.begin(), text.end(), nullptr, false);
    if (json.is_discarded()) throw std::invalid_argument("conversion settings are not valid JSON");
    return decode(json);
}

}  // namespace qm
