#pragma once
// Small generated sources and ffprobe helpers shared by the transcoder suites.

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/output_format.h"

namespace qm::test {

// ffmpeg lavfi input arguments for a 1-second 25 fps test picture of the given size.
std::vector<std::string> testPicture(int width, int height, double seconds = 1.0, int rate = 25);

// A .mov with H.264 video (yuv420p) and 16-bit PCM audio of the given rate and channel count
// (channels 0: no audio).
std::filesystem::path makeH264Source(const std::filesystem::path& folder, const std::string& name, int width,
                                     int height, int audioRate = 48000, int channels = 2, double seconds = 1.0);

// The hidden (or the visible) names in a folder, sorted; none while the folder is not there.
std::vector<std::string> names(const std::filesystem::path& folder, bool hidden);

// The first stream of the kind ("video" / "audio") in ffprobe's JSON, or null.
nlohmann::json streamOf(const nlohmann::json& probe, const std::string& kind);

// Frames the ffmpeg CLI decodes from the file's video (counting every frame).
int countFrames(const std::filesystem::path& file);

// Whether the ffmpeg CLI decodes the whole file without an error.
bool decodesCleanly(const std::filesystem::path& file);

// Every output format this system writes, with the codec ffprobe names and whether it keeps alpha.
struct WritableFormat {
    OutputFormat format;
    const char* codec;
    bool alpha;
};
inline constexpr WritableFormat kWritableFormats[] = {
    {OutputFormat::hap, "hap", false},          {OutputFormat::hapAlpha, "hap", true},
    {OutputFormat::hapQ, "hap", false},         {OutputFormat::hapQAlpha, "hap", true},
    {OutputFormat::dxv3, "dxv", false},         {OutputFormat::dxv3Alpha, "dxv", true},
    {OutputFormat::proRes422Proxy, "prores", false}, {OutputFormat::proRes422LT, "prores", false},
    {OutputFormat::proRes422, "prores", false}, {OutputFormat::proRes422HQ, "prores", false},
    {OutputFormat::proRes4444, "prores", true}, {OutputFormat::proRes4444XQ, "prores", true},
    {OutputFormat::h264, "h264", false},        {OutputFormat::hevc, "hevc", false},
    {OutputFormat::hevcAlpha, "hevc", true},
    {OutputFormat::pngSequence, "png", true},   {OutputFormat::tiffSequence, "tiff", true},
    {OutputFormat::jpegSequence, "mjpeg", false},
};

// Frame `index` of the file's video as 8-bit RGBA: through the peer FFmpeg for HEVC with alpha,
// whose alpha layer Debian's ffmpeg drops, through Debian's ffmpeg otherwise.
std::string rgbaFrame(const std::filesystem::path& file, int index, OutputFormat format, size_t frameBytes);

// Every frame the peer FFmpeg decodes from `input` (its input arguments, e.g. {"-i", file}) through
// `filter`, as raw `pixelFormat` pictures of `frameBytes` each.
std::vector<std::string> peerFrames(const std::vector<std::string>& input, const std::string& filter,
                                    const std::string& pixelFormat, size_t frameBytes);

// The lowest PSNR of two lists of pictures taken frame by frame (0 when their counts differ).
double lowestPsnr(const std::vector<std::string>& test, const std::vector<std::string>& reference);

// Mean PSNR (over all frames, RGB) of `test` against `reference`, computed by ffmpeg's psnr filter.
double psnr(const std::filesystem::path& test, const std::filesystem::path& reference, const std::filesystem::path& scratch);

}  // namespace qm::test
