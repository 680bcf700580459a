#pragma once
// LTC test signals from libltc's encoder and readings from its decoder, plus the helpers that
// turn a float signal into a file through the ffmpeg CLI.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qm::test {

struct LTCSignalSpec {
    double sampleRate = 48000;
    double fps = 25;          // nominal: 24, 25, 29.97 (drop-frame) or 30
    double speed = 1.0;       // the signal runs at fps x speed frames per second
    int hours = 10, minutes = 0, seconds = 0, frame = 0;  // first frame's reading
    int frames = 100;
    bool reversed = false;    // played backwards
};

// Samples as floats in -1...1 (libltc's 8-bit output, centred).
std::vector<float> ltcSignal(const LTCSignalSpec& spec);

// Frame number of the signal's first frame at its nominal rate (drop-frame numbers removed).
double ltcFirstFrameNumber(const LTCSignalSpec& spec);

struct LibltcFrame {
    int64_t offStart = 0;
    std::string text;  // "HH:MM:SS:FF", ";" before the frames when drop-frame
};
std::vector<LibltcFrame> libltcDecode(const std::vector<float>& samples, double sampleRate, double fps);

// Writes samples (interleaved when channels > 1) as raw 32-bit float for ffmpeg's f32le input.
void writeRawFloat(const std::filesystem::path& file, const std::vector<float>& samples);

}  // namespace qm::test
