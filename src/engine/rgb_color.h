#pragma once
// A colour as three components from 0 to 1, shared by the credits settings and the editor's clip
// effects. Stored as a JSON object with the keys "r", "g" and "b".

#include <nlohmann/json.hpp>

namespace qm {

struct RGBColor {
    double r = 0.0;
    double g = 0.0;
    double b = 0.0;
    bool operator==(const RGBColor&) const = default;

    // Each component clamped into 0...1; NaN becomes 0.
    RGBColor clamped() const;
};

// Writes {"r","g","b"} in that order (ordered_json keeps it; plain json sorts it the same way).
void to_json(nlohmann::json& json, const RGBColor& color);
void to_json(nlohmann::ordered_json& json, const RGBColor& color);
// Strict: throws nlohmann::json::exception when a key is missing or not a number. Callers that
// tolerate damage catch it and keep their default.
void from_json(const nlohmann::json& json, RGBColor& color);
void from_json(const nlohmann::ordered_json& json, RGBColor& color);

}  // namespace qm
