#pragma once
// The catalogue of output formats and the groups the pickers show them in.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

enum class OutputFormat {
    hap,
    hapAlpha,
    hapQ,
    hapQAlpha,
    dxv3,
    dxv3Alpha,
    proRes422Proxy,
    proRes422LT,
    proRes422,
    proRes422HQ,
    proRes4444,
    proRes4444XQ,
    h264,
    hevc,
    hevcAlpha,
    pngSequence,
    tiffSequence,
    jpegSequence,
    notchLC,
};

enum class FormatGroup { hap, dxv, proRes, delivery, imageSequence, notch };

inline constexpr std::array<OutputFormat, 19> allOutputFormats = {
    OutputFormat::hap,          OutputFormat::hapAlpha,     OutputFormat::hapQ,           OutputFormat::hapQAlpha,
    OutputFormat::dxv3,         OutputFormat::dxv3Alpha,    OutputFormat::proRes422Proxy, OutputFormat::proRes422LT,
    OutputFormat::proRes422,    OutputFormat::proRes422HQ,  OutputFormat::proRes4444,     OutputFormat::proRes4444XQ,
    OutputFormat::h264,         OutputFormat::hevc,         OutputFormat::hevcAlpha,      OutputFormat::pngSequence,
    OutputFormat::tiffSequence, OutputFormat::jpegSequence, OutputFormat::notchLC,
};

inline constexpr std::array<FormatGroup, 6> allFormatGroups = {
    FormatGroup::hap,      FormatGroup::dxv,           FormatGroup::proRes,
    FormatGroup::delivery, FormatGroup::imageSequence, FormatGroup::notch,
};

// The case name, e.g. "proRes422HQ"; also its stored form.
std::string_view rawValue(OutputFormat format);
std::optional<OutputFormat> outputFormatFromRawValue(std::string_view raw);

std::string_view label(OutputFormat format);
std::string_view summary(OutputFormat format);
std::string_view fileTag(OutputFormat format);
// "mov", "mp4", "png", "tif" or "jpg", without the dot.
std::string_view fileExtension(OutputFormat format);
// The codec FourCC text handed to the movie writer ("apch", "avc1", ...), or none for the formats
// our own encoders write and for image sequences.
std::optional<std::string_view> videoCodecType(OutputFormat format);
FormatGroup group(OutputFormat format);

bool isHap(OutputFormat format);
bool isGPU(OutputFormat format);
bool isImageSequence(OutputFormat format);
bool supportsAlpha(OutputFormat format);
// Whether this build can write the format. ProRes 4444 XQ and HEVC with Alpha depend on the
// encoders at hand, which the media layer reports through setFormatProbe(); each answer is
// computed once per probe.
bool isAvailable(OutputFormat format);
// What the exports and the queue offer: an available format other than NotchLC, which is listed
// but never written.
bool isWritable(OutputFormat format);
void setFormatProbe(OutputFormat format, bool (*probe)());

// The group's plain name: "Hap", "DXV", "ProRes", "H.264 / HEVC", "Image Sequence", "NotchLC".
std::string_view rawValue(FormatGroup group);
// The section title of a group in format pickers, an English key the views translate: "Hap",
// "Resolume DXV", "Apple ProRes", "H.264 / HEVC", "Image Sequence", "NotchLC".
std::string_view formatGroupTitle(FormatGroup group);
// Available formats of the group, in catalogue order.
std::vector<OutputFormat> formatsOffered(FormatGroup group);

}  // namespace qm
