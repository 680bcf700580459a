// The source probe over arbitrary bytes: whatever the file holds, probing ends in a result or in
// one of its typed errors, never in a crash, a hang or unbounded memory.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "core/conversion_error.h"
#include "engine/media_info.h"
#include "platform/media/media_error.h"

namespace {

// The file name's extension steers the library's format guess, so the first byte picks one.
constexpr const char* kExtensions[] = {".mov", ".mp4", ".mkv", ".avi", ".mxf", ".ts", ".wav", ".mp3", ".bin", ".png"};

std::filesystem::path scratchFile(const char* extension) {
    static const std::filesystem::path dir = [] {
        const std::filesystem::path shm = "/dev/shm";
        return std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path();
    }();
    return dir / ("qm-probe-fuzz-" + std::to_string(::getpid()) + extension);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        av_log_set_level(AV_LOG_QUIET);
        return true;
    }();
    (void)quiet;
    if (size < 1) return 0;
    const auto path = scratchFile(kExtensions[data[0] % std::size(kExtensions)]);
    const bool allowAudioOnly = (data[0] & 0x80) != 0;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
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
