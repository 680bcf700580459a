#pragma once
// Project files written by hand, the way another program would write them, over short movies that
// ffmpeg makes.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <QUuid>

#include <nlohmann/json.hpp>

#include "support/test_support.h"

namespace qm::test::project_json {

using nlohmann::json;

inline std::string newID() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString(); }

// An animatable value without keyframes.
inline json still(json value) { return {{"value", std::move(value)}, {"keyframes", json::array()}}; }

inline json xy(double x, double y) { return {{"x", x}, {"y", y}}; }

// An ffmpeg test source ("smptebars", "gradients=seed=7", ...) of the given size, 30 fps, as a
// lavfi input.
inline std::string lavfiVideo(const std::string& source, int width, int height, double seconds) {
    return source + (source.find('=') == std::string::npos ? "=" : ":") + "s=" + std::to_string(width) + "x" +
           std::to_string(height) + ":r=30:d=" + std::to_string(seconds);
}

// One second of a test source in H.264, and its bin entry.
inline json medium(const std::filesystem::path& file, const std::string& source, int width, int height) {
    ffmpeg({"-f", "lavfi", "-i", lavfiVideo(source, width, height, 1), "-c:v", "libx264", "-preset", "ultrafast",
            "-pix_fmt", "yuv420p", file.string()});
    return {{"id", newID()}, {"path", file.string()}, {"name", file.filename().string()}, {"width", width},
            {"height", height}, {"frameRate", 30}, {"duration", 1}, {"hasAudio", false}, {"codecName", "H.264"}};
}

// The whole medium from time 0; without a transform the editor gives it the default one.
inline json clip(const json& medium, std::optional<json> transform = std::nullopt) {
    json c = {{"id", newID()}, {"mediaID", medium.at("id")}, {"start", 0}, {"sourceIn", 0},
              {"duration", medium.at("duration")}, {"opacity", 1}, {"blendMode", "normal"}, {"fit", "fit"},
              {"fadeIn", 0}, {"fadeOut", 0}, {"volume", 1}};
    if (transform) c["transform"] = std::move(*transform);
    return c;
}

inline json track(const std::string& name, std::vector<json> clips) {
    return {{"id", newID()}, {"name", name}, {"clips", std::move(clips)}, {"isVisible", true}, {"isAudioEnabled", true}};
}

// Tracks top layer first.
inline json project(int width, int height, std::vector<json> media, std::vector<json> tracks) {
    return {{"width", width}, {"height", height}, {"frameRate", 30}, {"transparentBackground", false},
            {"media", std::move(media)}, {"tracks", std::move(tracks)}};
}

}  // namespace qm::test::project_json
