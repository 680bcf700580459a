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

// The same name, taken at once: an empty file (movies) or an empty folder (image sequences) is
// created there exclusively, so two runs, in this process or in two, never write one name; the
// later gets the next number. Throws ConversionError::writerFailed when the folder refuses it.
std::filesystem::path reserveOutputURL(OutputFormat format, const std::filesystem::path& source,
                                       const std::filesystem::path& folder);

// Gives a reserved name back after a failed or cancelled run: a movie file is removed, a sequence
// folder only while it is empty (frames written so far stay).
void releaseOutputURL(const std::filesystem::path& output);

}  // namespace qm
