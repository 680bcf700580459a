#pragma once
// Pure rules of a conversion run: batch sizing, output geometry, encoder rates and key frames,
// Hap chunking, audio layout of the output, and the image-sequence file names.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/output_format.h"

namespace qm {

// Frames read and converted per batch: at most two per processor and 48, at least 2, and bounded so
// one batch of 8-byte pixels stays under 2 GB. The larger of the source and output frame counts,
// so an upscale cannot exhaust memory.
int transcodeBatchSize(int64_t sourceWidth, int64_t sourceHeight, int64_t outWidth, int64_t outHeight,
                       int activeProcessors);

// What the frames between the reader and the writer of a run may hold together: room for every
// processor to work on a 4K picture of its own, a small part of what the decoder and the encoder
// hold themselves.
inline constexpr int64_t kFrameBytesInFlight = int64_t(256) << 20;

struct OutputGeometry {
    int width = 2;
    int height = 2;
    bool operator==(const OutputGeometry&) const = default;
};

// H.264 and HEVC take even sides only; every side is at least 2.
OutputGeometry outputGeometry(OutputFormat format, int width, int height);

// Whether the pipeline works in 16-bit RGBA ('l64r') rather than 8-bit BGRA: only for the deep
// outputs, and only when the source is not an 8-bit GPU codec.
bool usesDeepPixels(OutputFormat format, bool sourceIsHapOrDXV);

// Quality factor of H.264/HEVC bit rates by delivery quality: low 0.05 ... maximum 0.4.
// `quality` is the DeliveryQuality's index (low 0, medium 1, high 2, maximum 3).
double deliveryQualityFactor(int quality);

// Average bit rate of H.264 (codec factor 1.0) and HEVC (0.6), capped at 400,000,000 bit/s.
int64_t averageBitRate(int width, int height, double frameRate, int quality, bool hevc);

// Quality of HEVC with alpha by delivery quality index: 0.65 for low and medium, 0.85 for high,
// 0.95 for maximum. The alpha layer has no quality of its own: x265 codes it at the colour's
// quantiser.
double hevcAlphaQuality(int quality);

// Two seconds of frames, at least 1.
int keyFrameInterval(double frameRate);

// Hap chunk count: automatic (below 1) by pixel count, never above 64.
int hapChunkCount(int requested, int width, int height);

// Time scale of the duration given to frames without a usable one: the rate rounded, at least 1.
int32_t defaultFrameTimescale(double frameRate);

// The audio of an output movie.
struct AudioPlan {
    enum class Codec { pcm16, pcm24, aac };
    Codec codec = Codec::pcm16;
    int sampleRate = 48000;
    int channels = 2;
    int bitRate = 0;           // AAC only
    bool discreteLayout = false;  // more than two channels kept in a QuickTime movie
    bool operator==(const AudioPlan&) const = default;
};

// Whether the output is an MPEG-4 file (H.264, HEVC) rather than a QuickTime movie.
bool isMPEG4Output(OutputFormat format);

// Output audio for a source track of the given rate and channel count (0 when unknown).
AudioPlan audioPlan(OutputFormat format, int sourceSampleRate, int sourceChannels);

// Output audio for a rendered stereo mix at 48 kHz.
AudioPlan stereoAudioPlan(OutputFormat format);

// The file name of one image-sequence frame: folder name, "_", six-digit index, extension.
std::string imageSequenceFileName(std::string_view folderName, int64_t index, OutputFormat format);
// Whether `name` is one that imageSequenceFileName gives for some index.
bool isImageSequenceFileName(std::string_view folderName, std::string_view name, OutputFormat format);
// The same for what stands for a frame's name in its hidden names (see hiddenStem): the name, or
// a shortened stem of a name of the folder's.
bool isImageSequenceFrameStem(std::string_view folderName, std::string_view stem, OutputFormat format);

}  // namespace qm
