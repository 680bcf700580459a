// The source probe over arbitrary bytes: whatever the file holds, probing ends in a result or in
// one of its typed errors, never in a crash, a hang or unbounded memory.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "core/conversion_error.h"
#include "engine/media_info.h"
#include "platform/media/media_error.h"
#include "scratch_file.h"

namespace {

// The file name's extension steers the library's format guess, so the first byte picks one.
constexpr const char* kExtensions[] = {".mov", ".mp4", ".mkv", ".avi", ".mxf", ".ts", ".wav", ".mp3", ".bin", ".png"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const auto path = qm::fuzz::writeScratchFile("qm-probe-fuzz-", kExtensions[data[0] % std::size(kExtensions)], data + 1, size - 1);
    const bool allowAudioOnly = (data[0] & 0x80) != 0;
    try {
        const qm::MediaInfo info = qm::MediaInfo::load(path, allowAudioOnly);
        // Whatever was found stays inside the limits callers rely on.
        if (info.width < 0 || info.height < 0 || info.width > 16384 || info.height > 16384) __builtin_trap();
        if (!(info.frameRate > 0) || info.naturalTimeScale <= 0) __builtin_trap();
    } catch (const qm::ConversionError&) {
    } catch (const qm::MediaError&) {
    }
    std::error_code ec;
    std::filesystem::remove(path, ec);
    return 0;
}
