#include "core/output_format.h"

#include <atomic>

namespace qm {

namespace {

struct FormatFacts {
    std::string_view raw;
    std::string_view label;
    std::string_view summary;
    std::string_view tag;
    std::string_view extension;
    std::string_view codecType;  // empty: none
    FormatGroup group;
};

constexpr std::array<FormatFacts, 19> facts = {{
    {"hap", "Hap", "GPU playback, smallest Hap, no alpha", "Hap", "mov", "", FormatGroup::hap},
    {"hapAlpha", "Hap Alpha", "GPU playback with alpha channel", "HapAlpha", "mov", "", FormatGroup::hap},
    {"hapQ", "Hap Q", "Higher-quality Hap, about 2x the size", "HapQ", "mov", "", FormatGroup::hap},
    {"hapQAlpha", "Hap Q Alpha", "Hap Q quality plus a separate alpha plane", "HapQAlpha", "mov", "", FormatGroup::hap},
    {"dxv3", "DXV3 Normal Quality", "Resolume's GPU codec, no alpha", "DXV3", "mov", "", FormatGroup::dxv},
    {"dxv3Alpha", "DXV3 Normal Quality + Alpha", "Resolume's GPU codec with alpha", "DXV3Alpha", "mov", "", FormatGroup::dxv},
    {"proRes422Proxy", "ProRes 422 Proxy", "Offline editing proxies", "ProResProxy", "mov", "apco", FormatGroup::proRes},
    {"proRes422LT", "ProRes 422 LT", "Lightweight editing master", "ProResLT", "mov", "apcs", FormatGroup::proRes},
    {"proRes422", "ProRes 422", "Standard editing master", "ProRes422", "mov", "apcn", FormatGroup::proRes},
    {"proRes422HQ", "ProRes 422 HQ", "High-quality master", "ProResHQ", "mov", "apch", FormatGroup::proRes},
    {"proRes4444", "ProRes 4444", "Mastering with alpha, 12-bit", "ProRes4444", "mov", "ap4h", FormatGroup::proRes},
    {"proRes4444XQ", "ProRes 4444 XQ", "Highest-quality mastering with alpha", "ProRes4444XQ", "mov", "ap4x", FormatGroup::proRes},
    {"h264", "H.264 (MP4)", "Universal delivery and preview", "H264", "mp4", "avc1", FormatGroup::delivery},
    {"hevc", "HEVC / H.265 (MP4)", "Efficient delivery, smaller files", "HEVC", "mp4", "hvc1", FormatGroup::delivery},
    {"hevcAlpha", "HEVC with Alpha (MOV)", "Transparent video for Apple platforms and web", "HEVCAlpha", "mov", "muxa", FormatGroup::delivery},
    {"pngSequence", "PNG Sequence", "Lossless frames with alpha", "PNG", "png", "", FormatGroup::imageSequence},
    {"tiffSequence", "TIFF Sequence", "Lossless 16-bit frames with alpha", "TIFF", "tif", "", FormatGroup::imageSequence},
    {"jpegSequence", "JPEG Sequence", "Compact frames for previews", "JPEG", "jpg", "", FormatGroup::imageSequence},
    {"notchLC", "NotchLC", "High-quality GPU codec with alpha, playback only", "NotchLC", "mov", "", FormatGroup::notch},
}};

const FormatFacts& of(OutputFormat f) { return facts[static_cast<size_t>(f)]; }

// Formats whose encoder depends on what is installed: the media layer's probe and its answer
// (-1 until asked).
struct FormatProbe {
    std::atomic<bool (*)()> probe{nullptr};
    std::atomic<int> answer{-1};
};
FormatProbe proRes4444XQProbe, hevcAlphaProbe;

FormatProbe* probeOf(OutputFormat format) {
    switch (format) {
    case OutputFormat::proRes4444XQ: return &proRes4444XQProbe;
    case OutputFormat::hevcAlpha: return &hevcAlphaProbe;
    default: return nullptr;
    }
}

}  // namespace

std::string_view rawValue(OutputFormat format) { return of(format).raw; }

std::optional<OutputFormat> outputFormatFromRawValue(std::string_view raw) {
    for (OutputFormat f : allOutputFormats)
        if (of(f).raw == raw) return f;
    return std::nullopt;
}

std::string_view label(OutputFormat format) { return of(format).label; }
std::string_view summary(OutputFormat format) { return of(format).summary; }
std::string_view fileTag(OutputFormat format) { return of(format).tag; }
std::string_view fileExtension(OutputFormat format) { return of(format).extension; }

std::optional<std::string_view> videoCodecType(OutputFormat format) {
    if (of(format).codecType.empty()) return std::nullopt;
    return of(format).codecType;
}

FormatGroup group(OutputFormat format) { return of(format).group; }

bool isHap(OutputFormat format) { return static_cast<int>(format) <= static_cast<int>(OutputFormat::hapQAlpha); }
bool isGPU(OutputFormat format) { return static_cast<int>(format) <= static_cast<int>(OutputFormat::dxv3Alpha); }

bool isImageSequence(OutputFormat format) {
    return format == OutputFormat::pngSequence || format == OutputFormat::tiffSequence ||
           format == OutputFormat::jpegSequence;
}

bool supportsAlpha(OutputFormat format) {
    switch (format) {
    case OutputFormat::hapAlpha:
    case OutputFormat::hapQAlpha:
    case OutputFormat::dxv3Alpha:
    case OutputFormat::proRes4444:
    case OutputFormat::proRes4444XQ:
    case OutputFormat::hevcAlpha:
    case OutputFormat::pngSequence:
    case OutputFormat::tiffSequence:
    case OutputFormat::notchLC: return true;
    default: return false;
    }
}

void setFormatProbe(OutputFormat format, bool (*probe)()) {
    if (FormatProbe* p = probeOf(format)) {
        p->probe.store(probe);
        p->answer.store(-1);
    }
}

bool isWritable(OutputFormat format) { return format != OutputFormat::notchLC && isAvailable(format); }

bool isAvailable(OutputFormat format) {
    if (format == OutputFormat::notchLC) return false;
    FormatProbe* p = probeOf(format);
    if (p == nullptr) return true;
    int answer = p->answer.load();
    if (answer < 0) {
        auto probe = p->probe.load();
        answer = probe != nullptr && probe() ? 1 : 0;
        p->answer.store(answer);
    }
    return answer == 1;
}

std::string_view rawValue(FormatGroup group) {
    switch (group) {
    case FormatGroup::hap: return "Hap";
    case FormatGroup::dxv: return "DXV";
    case FormatGroup::proRes: return "ProRes";
    case FormatGroup::delivery: return "H.264 / HEVC";
    case FormatGroup::imageSequence: return "Image Sequence";
    case FormatGroup::notch: return "NotchLC";
    }
    return {};
}

std::string_view formatGroupTitle(FormatGroup group) {
    switch (group) {
    case FormatGroup::hap: return "Hap";
    case FormatGroup::dxv: return "Resolume DXV";
    case FormatGroup::proRes: return "Apple ProRes";
    case FormatGroup::delivery: return "H.264 / HEVC";
    case FormatGroup::imageSequence: return "Image Sequence";
    case FormatGroup::notch: return "NotchLC";
    }
    return {};
}

std::vector<OutputFormat> formatsOffered(FormatGroup g) {
    std::vector<OutputFormat> result;
    for (OutputFormat f : allOutputFormats)
        if (group(f) == g && isAvailable(f)) result.push_back(f);
    return result;
}

}  // namespace qm
