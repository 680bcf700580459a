#include "transcoder_test_media.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "support/test_support.h"

namespace qm::test {

std::vector<std::string> testPicture(int width, int height, double seconds, int rate) {
    return {"-f", "lavfi", "-i",
            "testsrc2=s=" + std::to_string(width) + "x" + std::to_string(height) + ":r=" + std::to_string(rate) +
                ":d=" + std::to_string(seconds)};
}

std::filesystem::path makeH264Source(const std::filesystem::path& folder, const std::string& name, int width,
                                     int height, int audioRate, int channels, double seconds) {
    const auto file = folder / name;
    std::vector<std::string> args = testPicture(width, height, seconds);
    if (channels > 0) {
        args.insert(args.end(), {"-f", "lavfi", "-i",
                                 "sine=frequency=440:sample_rate=" + std::to_string(audioRate) +
                                     ":duration=" + std::to_string(seconds)});
        if (channels != 1)
            args.insert(args.end(), {"-filter_complex", "[1:a]aformat=channel_layouts=" +
                                                            std::string(channels == 2 ? "stereo" : channels == 6 ? "5.1" : "mono") +
                                                            "[a]",
                                     "-map", "0:v", "-map", "[a]"});
        args.insert(args.end(), {"-c:a", "pcm_s16le"});
    }
    args.insert(args.end(), {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "10",
                             file.string()});
    ffmpeg(args);
    return file;
}

nlohmann::json streamOf(const nlohmann::json& probe, const std::string& kind) {
    for (const auto& s : probe.value("streams", nlohmann::json::array()))
        if (s.value("codec_type", "") == kind) return s;
    return nullptr;
}

int countFrames(const std::filesystem::path& file) {
    auto result = run({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                       "stream=nb_read_frames", "-of", "csv=p=0", file.string()});
    if (result.exitCode != 0) return -1;
    return std::atoi(result.output.c_str());
}

bool decodesCleanly(const std::filesystem::path& file) {
    auto result = run({"ffmpeg", "-v", "error", "-xerror", "-i", file.string(), "-f", "null", "-"});
    return result.exitCode == 0;
}

std::string rgbaFrame(const std::filesystem::path& file, int index, OutputFormat format, size_t frameBytes) {
    if (format == OutputFormat::hevcAlpha) {
        const auto frames = peerFrames({"-i", file.string()}, "format=rgba", "rgba", frameBytes);
        return size_t(index) < frames.size() ? frames[size_t(index)] : std::string();
    }
    return run({"ffmpeg", "-v", "error", "-i", file.string(), "-vf", "select=eq(n\\," + std::to_string(index) + ")",
                "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgba", "-"})
        .output;
}

std::vector<std::string> names(const std::filesystem::path& folder, bool hidden) {
    std::vector<std::string> out;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename();
        if (name.starts_with(".") == hidden) out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> peerFrames(const std::vector<std::string>& input, const std::string& filter,
                                    const std::string& pixelFormat, size_t frameBytes) {
    std::vector<std::string> argv = {peerFfmpegPath().string(), "-v", "error"};
    argv.insert(argv.end(), input.begin(), input.end());
    argv.insert(argv.end(), {"-vf", filter, "-f", "rawvideo", "-pix_fmt", pixelFormat, "-"});
    const CommandResult result = run(argv);
    std::vector<std::string> frames;
    if (result.exitCode != 0 || frameBytes == 0 || result.output.size() % frameBytes != 0) {
        ADD_FAILURE() << "the peer FFmpeg gave " << result.output.size() << " bytes, exit " << result.exitCode;
        return frames;
    }
    for (size_t at = 0; at < result.output.size(); at += frameBytes) frames.push_back(result.output.substr(at, frameBytes));
    return frames;
}

double lowestPsnr(const std::vector<std::string>& test, const std::vector<std::string>& reference) {
    if (test.size() != reference.size() || test.empty()) return 0;
    double lowest = 1e9;
    for (size_t i = 0; i < test.size(); ++i) lowest = std::min(lowest, psnr(test[i], reference[i]));
    return lowest;
}

double psnr(const std::filesystem::path& test, const std::filesystem::path& reference, const std::filesystem::path& scratch) {
    const auto stats = scratch / ("psnr_" + test.filename().string() + ".log");
    ffmpeg({"-i", test.string(), "-i", reference.string(), "-filter_complex",
            "[0:v]format=rgb24[a];[1:v]format=rgb24[b];[a][b]psnr=stats_file=" + stats.string(), "-f", "null", "-"});
    // Average the per-frame mean squared errors, then take the PSNR of that mean.
    std::ifstream in(stats);
    std::string line;
    double mseSum = 0;
    int frames = 0;
    while (std::getline(in, line)) {
        auto at = line.find("mse_avg:");
        if (at == std::string::npos) continue;
        mseSum += std::atof(line.c_str() + at + 8);
        ++frames;
    }
    if (frames == 0) return 0;
    const double mse = mseSum / frames;
    return mse <= 0 ? 100.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace qm::test
