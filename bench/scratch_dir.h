#pragma once
// A benchmark run's temporary folder for the media it makes, removed when the run ends.

#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

namespace qm::bench {

struct ScratchDir {
    std::filesystem::path path;
    explicit ScratchDir(const std::string& prefix)
        : path(std::filesystem::temp_directory_path() / (prefix + std::to_string(::getpid()))) {
        std::filesystem::create_directories(path);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
};

}  // namespace qm::bench
