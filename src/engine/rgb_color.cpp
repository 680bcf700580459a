#include "engine/rgb_color.h"

#include <algorithm>
#include <cmath>

namespace qm {

namespace {

double unit(double value) { return std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 1.0); }

template <typename Json>
void write(Json& json, const RGBColor& color) {
    json = Json::object();
    json["r"] = color.r;
    json["g"] = color.g;
    json["b"] = color.b;
}

template <typename Json>
void read(const Json& json, RGBColor& color) {
    RGBColor result;
    for (auto [key, field] : {std::pair{"r", &result.r}, std::pair{"g", &result.g}, std::pair{"b", &result.b}}) {
        const auto& value = json.at(key);
        if (!value.is_number()) {
            throw Json::type_error::create(302, std::string("colour component \"") + key + "\" is not a number", &value);
        }
        *field = value.template get<double>();
    }
    color = result;
}

}  // namespace

RGBColor RGBColor::clamped() const { return {unit(r), unit(g), unit(b)}; }

void to_json(nlohmann::json& json, const RGBColor& color) { write(json, color); }
void to_json(nlohmann::ordered_json& json, const RGBColor& color) { write(json, color); }
void from_json(const nlohmann::json& json, RGBColor& color) { read(json, color); }
void from_json(const nlohmann::ordered_json& json, RGBColor& color) { read(json, color); }

}  // namespace qm
