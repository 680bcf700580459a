#include "editor/sync/media_analysis.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

#include "editor/sync/ltc_scan.h"

namespace qm {

namespace {
constexpr double kWaveformRate = 2000.0;
constexpr size_t kBucket = 20;
}  // namespace

std::optional<std::vector<float>> waveformPeaks(const std::filesystem::path& file,
                                                std::optional<AudioAligner::ChannelRef> excluding,
                                                std::stop_token stop) {
    std::vector<float> peaks;
    float current = 0;
    size_t filled = 0;
    std::optional<double> start;
    try {
        start = AudioAligner::streamSamples(
            file, excluding, kWaveformRate, std::numeric_limits<double>::infinity(),
            [&](const float* samples, size_t count) {
                for (size_t i = 0; i < count; ++i) {
                    current = std::max(current, std::abs(samples[i]));
                    if (++filled == kBucket) {
                        peaks.push_back(current);
                        current = 0;
                        filled = 0;
                    }
                }
            },
            stop);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!start) return std::nullopt;
    if (filled > 0) peaks.push_back(current);
    const float norm = std::max(*std::max_element(peaks.begin(), peaks.end()), 0.000001f);
    for (float& p : peaks) p /= norm;
    return peaks;
}

MediaAnalysis analyzeMedia(const std::filesystem::path& file, bool needsWaveform, std::stop_token stop) {
    MediaAnalysis result;
    try {
        result.ltc = readLTC(file, 300, 120.0, stop);
    } catch (const std::exception&) {
        result.ltc.reset();
    }
    if (!needsWaveform) return result;
    std::optional<AudioAligner::ChannelRef> excluding;
    if (result.ltc) excluding = AudioAligner::ChannelRef{result.ltc->track, result.ltc->channel};
    result.waveform = waveformPeaks(file, excluding, stop);
    return result;
}

}  // namespace qm
