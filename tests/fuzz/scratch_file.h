#pragma once
// The fuzz targets that read files write each input to one scratch file per process, in memory
// where the system offers it; libav's own messages stay quiet.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

namespace qm::fuzz {

inline std::filesystem::path writeScratchFile(const char* prefix, const char* extension, const uint8_t* data, size_t size) {
    static const std::filesystem::path dir = [] {
        av_log_set_level(AV_LOG_QUIET);
        const std::filesystem::path shm = "/dev/shm";
        return std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path();
    }();
    const auto path = dir / (std::string(prefix) + std::to_string(::getpid()) + extension);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}

}  // namespace qm::fuzz
