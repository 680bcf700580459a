// LTC reading, sound loading and waveform peaks over arbitrary file contents: whatever the file
// holds, each ends in a result or a thrown error, never in a crash, a hang or unbounded memory.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>

#include "editor/sync/audio_aligner.h"
#include "editor/sync/ltc_scan.h"
#include "scratch_file.h"

namespace {

// The file name's extension steers the library's format guess, so the first byte picks one.
constexpr const char* kExtensions[] = {".wav", ".mov", ".mkv", ".ts", ".mp3", ".aiff", ".flac", ".caf"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const auto path = qm::fuzz::writeScratchFile("qm-audio-fuzz-", kExtensions[data[0] % std::size(kExtensions)], data + 1, size - 1);
    try {
        if (const auto info = qm::readLTC(path, 300, 5.0))
            if (!(info->measuredRate > 0) || info->framesDecoded < 10) __builtin_trap();
    } catch (const std::exception&) {
    }
    try {
        const auto excluding = (data[0] & 0x80) ? std::optional<qm::AudioAligner::ChannelRef>({0, 1}) : std::nullopt;
        if (const auto sound = qm::AudioAligner::loadSamples(path, excluding, 2000, 5.0))
            if (sound->samples.empty() || !std::isfinite(sound->start)) __builtin_trap();
    } catch (const std::exception&) {
    }
    std::error_code ec;
    std::filesystem::remove(path, ec);
    return 0;
}
