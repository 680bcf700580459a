#pragma once
// Where the Convert queue (and qm-bench) put the output of one source.

#include <filesystem>
#include <functional>
#include <memory>

#include "core/output_format.h"
#include "core/partial_file.h"

namespace qm {

// The source's base name, "_", the format's file tag, then " 2", " 3" ... until nothing exists at
// the candidate; movies get their extension, image sequences are folders without one.
// `exists` defaults to the file system's own test (a dangling symlink counts as taken).
std::filesystem::path outputURL(OutputFormat format, const std::filesystem::path& source,
                                const std::filesystem::path& folder,
                                const std::function<bool(const std::filesystem::path&)>& exists = {});

// The same name, taken at once for one run: a hidden, locked ".Name.<hex>.partial" beside it
// stands for the run, so two runs, in this process or in two, never write one name (the later
// gets the next number), while nothing stands under the name itself until the run puts its
// output there. A name whose hidden file a live run holds is taken; what dead runs left for a
// name is removed first (and a sequence folder such a run made and left without frames).
// Keep the result while the run lives; its target() is the name, given back when it goes.
// Throws ConversionError::writerFailed when the folder refuses it.
std::unique_ptr<PartialFile> reserveOutputURL(OutputFormat format, const std::filesystem::path& source,
                                              const std::filesystem::path& folder);

}  // namespace qm
