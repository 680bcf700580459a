#pragma once
// Where the Convert queue (and qm-bench) put the output of one source.

#include <filesystem>
#include <functional>

#include "core/output_format.h"

namespace qm {

// The source's base name, "_", the format's file tag, then " 2", " 3" ... until nothing exists at
// the candidate; movies get their extension, image sequences are folders without one.
// `exists` defaults to the file system's own test (a dangling symlink counts as taken).
std::filesystem::path outputURL(OutputFormat format, const std::filesystem::path& source,
                                const std::filesystem::path& folder,
                                const std::function<bool(const std::filesystem::path&)>& exists = {});

}  // namespace qm
