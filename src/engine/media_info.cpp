#include "engine/media_info.h"

#include <array>
#include <mutex>
#include <optional>
#include <string_view>

#include "core/conversion_error.h"
#include "core/four_cc.h"
#include "core/output_format.h"
#include "platform/media/media_capabilities.h"
#include "platform/media/media_error.h"

namespace qm {

namespace {

constexpr uint32_t code(std::string_view text) {
    return fourCC(text[0], text[1], text[2], text[3]);
}

constexpr std::array<uint32_t, 5> kHapCodecTypes = {code("Hap1"), code("Hap5"), code("HapY"), code("HapM"), code("HapA")};
constexpr uint32_t kNotchLCCodecType = code("nclc");
constexpr std::array<uint32_t, 2> kDXVCodecTypes = {code("DXD3"), code("DXDI")};

// Codecs the media libraries decode into pictures for us.
constexpr std::array<std::string_view, 45> kNativeCodecTypes = {
    "apco", "apcs", "apcn", "apch", "ap4h", "ap4x", "avc1", "avc3", "hvc1", "hev1", "muxa", "jpeg",
    "mjpa", "mjpb", "png ", "mp4v", "dvc ", "dvcp", "dv5n", "dv5p", "dvh5", "dvh6", "raw ", "2vuy",
    "yuv2", "v210", "BGRA", "tiff", "gif ", "av01", "vp09", "aprn", "aprh", "xd5b", "xdvc", "AVdn",
    "AVdh", "ai5p", "ai5q", "ai52", "ai53", "ai12", "ai13", "ai15", "ai16"};

struct NamedCode {
    std::string_view code;
    std::string_view name;
};

constexpr std::array<NamedCode, 5> kAudioCodecNames = {
    {{"lpcm", "PCM"}, {"aac ", "AAC"}, {".mp3", "MP3"}, {"alac", "ALAC"}, {"flac", "FLAC"}}};

constexpr std::array<NamedCode, 20> kCodecNames = {{
    {"Hap1", "Hap"},
    {"Hap5", "Hap Alpha"},
    {"HapY", "Hap Q"},
    {"HapM", "Hap Q Alpha"},
    {"HapA", "Hap Alpha-Only"},
    {"Hap7", "Hap R"},
    {"nclc", "NotchLC"},
    {"apco", "ProRes 422 Proxy"},
    {"apcs", "ProRes 422 LT"},
    {"apcn", "ProRes 422"},
    {"apch", "ProRes 422 HQ"},
    {"ap4h", "ProRes 4444"},
    {"ap4x", "ProRes 4444 XQ"},
    {"avc1", "H.264"},
    {"avc3", "H.264"},
    {"hvc1", "HEVC"},
    {"hev1", "HEVC"},
    {"muxa", "HEVC with Alpha"},
    {"DXD3", "DXV3"},
    {"DXDI", "DXV"},
}};

constexpr std::array<std::string_view, 10> kAlphaCodecTypes = {"Hap5", "HapM", "HapA", "ap4h", "ap4x",
                                                                "png ", "muxa", "nclc", "DXD3", "DXDI"};

template <size_t N>
bool contains(const std::array<uint32_t, N>& set, uint32_t value) {
    for (uint32_t v : set)
        if (v == value) return true;
    return false;
}

template <size_t N>
bool containsText(const std::array<std::string_view, N>& set, const std::string& text) {
    for (std::string_view v : set)
        if (v == text) return true;
    return false;
}

std::string trimmedBlanks(std::string text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

MediaTime lengthOf(const TrackInfo& track, const MediaAsset& asset) {
    if (track.duration.isNumeric() && track.duration > MediaTime::zero()) return track.duration;
    return asset.duration();
}

std::optional<MediaInfo> loadAudioOnly(const MediaAsset& asset) {
    const auto audio = asset.tracks(TrackKind::audio);
    if (audio.empty()) return std::nullopt;
    const TrackInfo& track = audio.front();
    MediaInfo info;
    info.codecType = track.codecType;
    const std::string text = fourCCString(track.codecType);
    info.codecName = trimmedBlanks(text);
    for (const auto& named : kAudioCodecNames)
        if (named.code == text) info.codecName = named.name;
    info.decoder = SourceDecoder::native();
    info.width = 0;
    info.height = 0;
    info.frameRate = 30;
    info.duration = lengthOf(track, asset);
    info.naturalTimeScale = 48000;
    info.hasAudio = true;
    info.hasAlpha = false;
    return info;
}

}  // namespace

std::string codecName(uint32_t codecType, const VideoFormatDescription* description) {
    const std::string text = fourCCString(codecType);
    for (const auto& named : kCodecNames)
        if (named.code == text) return std::string(named.name);
    if (description != nullptr && description->formatName && !description->formatName->empty())
        return *description->formatName;
    return trimmedBlanks(text);
}

bool hasAlphaCodec(uint32_t codecType, const VideoFormatDescription& description) {
    if (containsText(kAlphaCodecTypes, fourCCString(codecType))) return true;
    return description.depth.has_value() && *description.depth == 32;
}

SourceDecoder chooseDecoder(uint32_t codecType, bool nativeDecoderAvailable) {
    if (contains(kHapCodecTypes, codecType)) return SourceDecoder::hap(codecType);
    if (codecType == kNotchLCCodecType) return SourceDecoder::notchLC();
    if (contains(kDXVCodecTypes, codecType)) return SourceDecoder::dxv();
    // On the list but without a decoder in this build (ProRes RAW, say): nothing can read it.
    if (containsText(kNativeCodecTypes, fourCCString(codecType)) && nativeDecoderAvailable) return SourceDecoder::native();
    return SourceDecoder::unsupported(codecType);
}

MediaInfo MediaInfo::load(const std::filesystem::path& path, bool allowAudioOnly) {
    installMediaCapabilities();
    const auto asset = MediaAsset::open(path);
    if (auto unread = unreadMovieContainer(asset->containerName())) throw *unread;
    if (asset->damage()) throw MediaError("read stream info", *asset->damage());
    const auto videoTracks = asset->tracks(TrackKind::video);
    if (videoTracks.empty()) {
        if (!allowAudioOnly) throw ConversionError::noVideoTrack();
        if (auto info = loadAudioOnly(*asset)) return *info;
        throw ConversionError::noVideoTrack();
    }
    const TrackInfo& video = videoTracks.front();
    // A stream the library cannot name at all has no format description to speak of.
    if (video.codecType == 0 && video.codecId.empty()) throw ConversionError::noVideoTrack();
    const VideoFormatDescription description = video.formatDescription();

    MediaInfo info;
    info.codecType = video.codecType;
    info.decoder = chooseDecoder(video.codecType, video.decoderAvailable);
    info.width = video.width;
    info.height = video.height;
    info.codecName = qm::codecName(video.codecType, &description);
    info.duration = lengthOf(video, *asset);
    // The nominal rate is a 32-bit float, as movie files state it.
    const float rate = static_cast<float>(video.nominalFrameRate);
    info.frameRate = rate > 0 ? static_cast<double>(rate) : 30.0;
    info.naturalTimeScale = video.naturalTimeScale > 0 ? video.naturalTimeScale : 600;
    info.hasAudio = !asset->tracks(TrackKind::audio).empty();
    info.hasAlpha = hasAlphaCodec(video.codecType, description);
    return info;
}

void installMediaCapabilities() {
    static std::once_flag once;
    std::call_once(once, [] {
        setFormatProbe(OutputFormat::proRes4444XQ, &proResEncoderOffers4444XQ);
        setFormatProbe(OutputFormat::hevcAlpha, &hevcAlphaEncoderAvailable);
    });
}

}  // namespace qm
