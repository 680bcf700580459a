#include "engine/transcode_rules.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "core/partial_file.h"

namespace qm {

int transcodeBatchSize(int64_t sourceWidth, int64_t sourceHeight, int64_t outWidth, int64_t outHeight,
                       int activeProcessors) {
    const int64_t cores2 = 2 * int64_t(std::max(activeProcessors, 1));
    const int64_t pixels = std::max(std::max<int64_t>(sourceWidth, 0) * std::max<int64_t>(sourceHeight, 0),
                                    std::max<int64_t>(outWidth, 0) * std::max<int64_t>(outHeight, 0));
    const int64_t bytes = pixels * 8;
    const int64_t quota = 2'000'000'000 / std::max<int64_t>(bytes, 1);
    return int(std::max<int64_t>(2, std::min({cores2, quota, int64_t(48)})));
}

OutputGeometry outputGeometry(OutputFormat format, int width, int height) {
    if (format == OutputFormat::h264 || format == OutputFormat::hevc || format == OutputFormat::hevcAlpha) {
        width &= ~1;
        height &= ~1;
    }
    return {width < 3 ? 2 : width, height < 3 ? 2 : height};
}

bool usesDeepPixels(OutputFormat format, bool sourceIsHapOrDXV) {
    switch (format) {
    case OutputFormat::proRes422:
    case OutputFormat::proRes422HQ:
    case OutputFormat::proRes4444:
    case OutputFormat::proRes4444XQ:
    case OutputFormat::tiffSequence: return !sourceIsHapOrDXV;
    default: return false;
    }
}

double deliveryQualityFactor(int quality) {
    switch (quality) {
    case 0: return 0.05;
    case 1: return 0.1;
    case 2: return 0.2;
    default: return 0.4;
    }
}

int64_t averageBitRate(int width, int height, double frameRate, int quality, bool hevc) {
    const double rate = std::isfinite(frameRate) && frameRate > 0 ? frameRate : 0;
    const double bits = std::min(double(width) * double(height) * rate * deliveryQualityFactor(quality) *
                                     (hevc ? 0.6 : 1.0),
                                 400'000'000.0);
    return int64_t(std::max(bits, 0.0));
}

double hevcAlphaQuality(int quality) {
    switch (quality) {
    case 2: return 0.85;
    case 3: return 0.95;
    default: return 0.65;
    }
}

int keyFrameInterval(double frameRate) {
    if (!std::isfinite(frameRate) || frameRate <= 0) return 1;
    const double rounded = std::round(std::min(frameRate, 1e6));
    return std::max(1, 2 * int(rounded));
}

int hapChunkCount(int requested, int width, int height) {
    int chunks = requested;
    if (chunks < 1) {
        const int64_t pixels = int64_t(width) * int64_t(height);
        chunks = pixels <= 2'099'999 ? 1 : pixels < 8'400'000 ? 4 : 8;
    }
    return std::min(chunks, 64);
}

int32_t defaultFrameTimescale(double frameRate) {
    if (!std::isfinite(frameRate) || frameRate < 1) return 1;
    return int32_t(std::max(1.0, std::round(std::min(frameRate, 1e9))));
}

bool isMPEG4Output(OutputFormat format) { return format == OutputFormat::h264 || format == OutputFormat::hevc; }

AudioPlan audioPlan(OutputFormat format, int sourceSampleRate, int sourceChannels) {
    AudioPlan plan;
    const int rate = sourceSampleRate > 0 ? sourceSampleRate : 48000;
    if (isMPEG4Output(format)) {
        plan.codec = AudioPlan::Codec::aac;
        plan.channels = sourceChannels <= 0 ? 1 : std::min(sourceChannels, 2);
        plan.sampleRate = rate >= 48000 ? 48000 : rate;
        plan.bitRate = plan.channels == 1 ? 128'000 : 256'000;
        return plan;
    }
    plan.codec = isHap(format) ? AudioPlan::Codec::pcm16 : AudioPlan::Codec::pcm24;
    plan.sampleRate = rate;
    plan.channels = sourceChannels > 0 ? sourceChannels : 2;
    plan.discreteLayout = plan.channels > 2;
    return plan;
}

AudioPlan stereoAudioPlan(OutputFormat format) {
    AudioPlan plan;
    if (isMPEG4Output(format)) {
        plan.codec = AudioPlan::Codec::aac;
        plan.bitRate = 256'000;
    } else {
        plan.codec = isGPU(format) ? AudioPlan::Codec::pcm16 : AudioPlan::Codec::pcm24;
    }
    return plan;
}

std::string imageSequenceFileName(std::string_view folderName, int64_t index, OutputFormat format) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%06lld", static_cast<long long>(index));
    std::string name(folderName);
    name += '_';
    name += digits;
    name += '.';
    name += fileExtension(format);
    return name;
}

bool isImageSequenceFileName(std::string_view folderName, std::string_view name, OutputFormat format) {
    const std::string suffix = "." + std::string(fileExtension(format));
    if (!name.starts_with(folderName) || !name.ends_with(suffix)) return false;
    name.remove_prefix(folderName.size());
    name.remove_suffix(suffix.size());
    if (!name.starts_with('_') || name.size() < 7) return false;
    name.remove_prefix(1);
    return name.find_first_not_of("0123456789") == std::string_view::npos;
}

bool isImageSequenceFrameStem(std::string_view folderName, std::string_view stem, OutputFormat format) {
    return isImageSequenceFileName(folderName, stem, format) || isShortenedStemOf(stem, std::string(folderName) + "_");
}

}  // namespace qm
