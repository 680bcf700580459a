#pragma once
// The one record of output choices shared by the Convert queue and the exports, its JSON form and
// the rule that picks the output frame size.

#include <array>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/output_format.h"

namespace qm {

enum class DeliveryQuality { low, medium, high, maximum };
inline constexpr std::array<DeliveryQuality, 4> allDeliveryQualities = {DeliveryQuality::low, DeliveryQuality::medium,
                                                                        DeliveryQuality::high, DeliveryQuality::maximum};
std::string_view rawValue(DeliveryQuality quality);
std::string_view label(DeliveryQuality quality);
std::optional<DeliveryQuality> deliveryQualityFromRawValue(std::string_view raw);

enum class OutputSize { original, percent, uhd4k, hd1080, hd720 };
inline constexpr std::array<OutputSize, 5> allOutputSizes = {OutputSize::original, OutputSize::percent, OutputSize::uhd4k,
                                                             OutputSize::hd1080, OutputSize::hd720};
std::string_view rawValue(OutputSize size);
// English keys of the size picker ("Scale by Percentage", "≤ 1920 × 1080", ...).
std::string_view label(OutputSize size);
std::optional<OutputSize> outputSizeFromRawValue(std::string_view raw);

struct OutputDimensions {
    int width = 0;
    int height = 0;
    bool operator==(const OutputDimensions&) const = default;
};

struct ConversionSettings {
    OutputFormat format = OutputFormat::hapQ;
    DeliveryQuality deliveryQuality = DeliveryQuality::high;
    OutputSize outputSize = OutputSize::original;
    double scalePercent = 50.0;
    int hapChunks = 0;  // 0: chosen from the frame size
    bool hapHighQuality = false;
    bool includeAudio = true;

    // Field by field; scalePercent as a double, so a NaN never equals anything.
    bool operator==(const ConversionSettings&) const = default;

    // The output frame size for a source of the given size (pixels, as probed).
    OutputDimensions outputDimensions(int width, int height) const;

    // Keys in field order. Throws std::invalid_argument when scalePercent is not finite (JSON
    // has no such numbers and writing null would lose the field).
    nlohmann::ordered_json toJson() const;
    // Each field falls back to its own default when its key is missing, null or of the wrong
    // kind (including a text that names no case). Throws std::invalid_argument only when the
    // value is not a JSON object.
    static ConversionSettings fromJson(const nlohmann::ordered_json& json);
    static ConversionSettings fromJson(const nlohmann::json& json);
    // Parses the text first; text that is not JSON throws std::invalid_argument too.
    static ConversionSettings fromJsonText(std::string_view text);
};

}  // namespace qm
