#pragma once
// Outputs that take a while to write (movies, image frames, saved files, a reserved name) live
// under a hidden name beside their destination, ".Name.<hex>.<role>", and take its name only once
// complete, so that a killed run never leaves something that looks finished under the name the
// user chose. While its run lives the hidden file holds an exclusive flock; the kernel lets go of
// it when the process dies, however it dies. A hidden file without a lock therefore belongs to a
// dead run, and the next run for the same target removes it.

#include <filesystem>
#include <functional>
#include <string_view>

namespace qm {

class PartialFile {
public:
    // Creates a fresh, empty ".Name.<8 hex>.<role>" beside `target`, exclusively, and locks it.
    // Throws std::system_error with the system's errno when the folder refuses it.
    explicit PartialFile(std::filesystem::path target, std::string_view role = "partial");
    // Removes the hidden file unless it was published; the lock goes with the descriptor.
    ~PartialFile();
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    const std::filesystem::path& target() const { return target_; }
    // Open for reading and writing, and holding the lock.
    int descriptor() const { return fd_; }

    // Renames the complete file over the target: when `durable`, its bytes are synced first and
    // the folder after. Returns 0, or the errno of the step that failed (the hidden file then
    // stays until this object goes).
    int publish(bool durable = true);
    // Removes the hidden file now.
    void discard();

private:
    std::filesystem::path target_;
    std::filesystem::path path_;
    int fd_ = -1;
    bool published_ = false;
};

struct PartialSweep {
    int removed = 0;  // hidden items of dead runs, now gone
    int live = 0;     // hidden items whose run still holds them
};

// Removes the hidden items ".Name.<hex>.<role>" (files or folders) that dead runs left beside
// `target`, and counts the ones live runs hold. `own` is not counted.
PartialSweep sweepPartials(const std::filesystem::path& target, std::string_view role = "partial",
                           const PartialFile* own = nullptr);

// The same in `folder` for every target name that `isTarget` accepts.
PartialSweep sweepPartialsIn(const std::filesystem::path& folder, const std::function<bool(std::string_view)>& isTarget,
                             std::string_view role = "partial");

}  // namespace qm
