#pragma once
// What a source is: its codec, how it is decoded, its size, rate, length, time scale, audio and
// alpha, read once when a file enters the engine.

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/media/media_asset.h"
#include "platform/media/media_time.h"

namespace qm {

struct SourceDecoder {
    enum class Kind { hap, unsupported, native, notchLC, dxv };
    Kind kind = Kind::native;
    uint32_t codecType = 0;  // the FourCC, kept for hap and unsupported

    static SourceDecoder hap(uint32_t code) { return {Kind::hap, code}; }
    static SourceDecoder unsupported(uint32_t code) { return {Kind::unsupported, code}; }
    static SourceDecoder native() { return {Kind::native, 0}; }
    static SourceDecoder notchLC() { return {Kind::notchLC, 0}; }
    static SourceDecoder dxv() { return {Kind::dxv, 0}; }

    // The FourCC counts only for hap and unsupported.
    friend bool operator==(const SourceDecoder& a, const SourceDecoder& b) {
        if (a.kind != b.kind) return false;
        return (a.kind != Kind::hap && a.kind != Kind::unsupported) || a.codecType == b.codecType;
    }
};

struct MediaInfo {
    uint32_t codecType = 0;
    std::string codecName;
    SourceDecoder decoder;
    int width = 0;
    int height = 0;
    double frameRate = 30;
    MediaTime duration;
    int32_t naturalTimeScale = 600;
    bool hasAudio = false;
    bool hasAlpha = false;

    // All ten fields; the duration compares as a time (1/2 equals 2/4).
    bool operator==(const MediaInfo&) const = default;

    // Probes the file. Throws ConversionError::noVideoTrack when it has no video track (with
    // allowAudioOnly, when it has neither video nor audio), and the media layer's MediaError when
    // the file cannot be opened or read.
    static MediaInfo load(const std::filesystem::path& path, bool allowAudioOnly = false);
};

// Display name of a codec ("ProRes 422 HQ", "Hap Q", ...). Without a known name: the format
// description's compressor name when given and non-empty, else the FourCC text trimmed.
std::string codecName(uint32_t codecType, const VideoFormatDescription* description = nullptr);

// Whether the video carries alpha: by codec, else a depth of 32.
bool hasAlphaCodec(uint32_t codecType, const VideoFormatDescription& description);

// The decoder for a codec, given whether libavcodec can decode it.
SourceDecoder chooseDecoder(uint32_t codecType, bool nativeDecoderAvailable);

// Installs the media capabilities that core asks about (the ProRes 4444 XQ encoder). Idempotent;
// every program that links the engine does this before main (see media_info_capabilities.cpp).
void installMediaCapabilities();

}  // namespace qm
