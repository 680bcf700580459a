#pragma once
// Outputs that take a while to write (movies, image sequences) are built under a hidden name
// beside their destination and take its name only once complete, so that a killed run never
// leaves something that looks finished under the name the user chose.

#include <filesystem>

namespace qm {

// A fresh hidden name beside `target`: ".Name.<8 hex>.partial" (one file system, so a rename).
std::filesystem::path partialPathFor(const std::filesystem::path& target);

// Syncs the complete file at `partial`, renames it over `target` and syncs the folder. Returns 0,
// or the errno of the step that failed (the partial file then stays for the caller to remove).
int publishPartial(const std::filesystem::path& partial, const std::filesystem::path& target);

}  // namespace qm
