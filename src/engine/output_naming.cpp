#include "engine/output_naming.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/conversion_error.h"
#include "engine/transcode_rules.h"

namespace qm {

namespace {

// The first of `first`, then its name with " 2", " 3" ... before the extension, that `take`
// accepts. A sequence folder's name has no extension, whatever dots it holds.
std::filesystem::path firstName(OutputFormat format, const std::filesystem::path& first,
                                const std::function<bool(const std::filesystem::path&)>& take) {
    const bool sequence = isImageSequence(format);
    const std::string base = (sequence ? first.filename() : first.stem()).string();
    const std::string extension = sequence ? std::string() : first.extension().string();
    for (long n = 1;; ++n) {
        std::string name = n == 1 ? base : base + " " + std::to_string(n);
        auto candidate = first.parent_path() / (name + extension);
        if (take(candidate)) return candidate;
    }
}

// The Convert queue's first candidate for a source.
std::filesystem::path convertName(OutputFormat format, const std::filesystem::path& source,
                                  const std::filesystem::path& folder) {
    const std::string extension = isImageSequence(format) ? std::string() : "." + std::string(fileExtension(format));
    return folder / (source.stem().string() + "_" + std::string(fileTag(format)) + extension);
}

}  // namespace

std::filesystem::path outputURL(OutputFormat format, const std::filesystem::path& source,
                                const std::filesystem::path& folder,
                                const std::function<bool(const std::filesystem::path&)>& exists) {
    return firstName(format, convertName(format, source, folder), [&](const std::filesystem::path& candidate) {
        if (exists) return !exists(candidate);
        std::error_code ec;
        return std::filesystem::symlink_status(candidate, ec).type() == std::filesystem::file_type::not_found;
    });
}

namespace {

bool taken(const std::filesystem::path& candidate) {
    std::error_code ec;
    return std::filesystem::symlink_status(candidate, ec).type() != std::filesystem::file_type::not_found;
}

// Removes each of the folders, deepest first, while they are empty.
void removeEmptyFolders(const std::vector<std::filesystem::path>& folders) {
    std::error_code ec;
    for (const auto& folder : folders)
        if (!std::filesystem::remove(folder, ec)) return;
}

// A run that held this sequence name has ended: the hidden frames it left under the sequence's
// own frame names (of any sequence format: a caller's name may have served another one) go, the
// marker its staging left inside, and the folder too when nothing else is in it. Returns whether
// nothing of that is left (a folder that refuses it keeps it).
bool removeDeadSequence(const std::filesystem::path& folder) {
    std::error_code ec;
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(folder, ec))) return true;
    const std::string name = folder.filename().string();
    const PartialSweep frames = sweepPartialsIn(folder, [&](std::string_view frame) {
        return std::ranges::any_of(allOutputFormats, [&](OutputFormat format) {
            return isImageSequence(format) && isImageSequenceFileName(name, frame, format);
        });
    });
    const bool unmarked = clearStagingMarker(folder);
    if (std::filesystem::is_empty(folder, ec)) std::filesystem::remove(folder, ec);
    return frames.left == 0 && frames.live == 0 && unmarked;
}

// Sweeps what dead runs left for the name. A dead run's hidden file beside a sequence folder is
// what tells that the folder's hidden files are dead too: they go first, and that file last,
// only once none of them is left.
PartialSweep sweepDeadRuns(const std::filesystem::path& candidate, OutputFormat format) {
    if (!isImageSequence(format)) return sweepPartials(candidate);
    return sweepPartials(candidate, "partial", nullptr, [&] { return removeDeadSequence(candidate); });
}

// What runs killed in `folder` left, whatever name they wrote under (a killed ProRes run can
// leave gigabytes under a name no later run picks): their hidden files, staging folders, and the
// hidden frames of a sequence whose reservation they left.
void sweepDeadRunsIn(const std::filesystem::path& folder) {
    sweepPartialsIn(folder, [](std::string_view) { return true; }, "partial",
                    [&](std::string_view name) { return removeDeadSequence(folder / std::string(name)); });
}

std::filesystem::path folderOf(const std::filesystem::path& target) {
    const std::filesystem::path first = target.has_filename() ? target : target.parent_path();
    return first.parent_path().empty() ? std::filesystem::path(".") : first.parent_path();
}

}  // namespace

std::unique_ptr<PartialFile> reserveOutputURL(OutputFormat format, const std::filesystem::path& source,
                                              const std::filesystem::path& folder) {
    return reserveOutputName(format, convertName(format, source, folder));
}

std::unique_ptr<PartialFile> reserveOutputName(OutputFormat format, const std::filesystem::path& target) {
    std::unique_ptr<PartialFile> reservation;
    thread_local std::minstd_rand jitter{std::random_device{}()};
    sweepDeadRunsIn(folderOf(target));
    // A folder given with a trailing separator is named without it.
    const std::filesystem::path first = target.has_filename() ? target : target.parent_path();
    firstName(format, first, [&](const std::filesystem::path& candidate) {
        for (int attempt = 0; attempt < 4; ++attempt) {
            const PartialSweep leftovers = sweepDeadRuns(candidate, format);
            if (leftovers.live > 0 || taken(candidate)) return false;
            try {
                reservation = std::make_unique<PartialFile>(candidate);
            } catch (const std::system_error& e) {
                throw ConversionError::writerFailed(candidate.filename().string() + " (" + e.code().message() + ")");
            }
            // A run that looked at the same moment holds a hidden file of this name too: each then
            // sees the other's and steps aside, so never both keep the name. When both stepped
            // aside the name is free again, and is tried once more after a moment of its own.
            if (sweepPartials(candidate, "partial", reservation.get()).live == 0 && !taken(candidate)) {
                // A sequence run may end without removing its hidden files (its folder refusing
                // that): its reservation then stays for the next run to clear them.
                if (isImageSequence(format))
                    reservation->clearFirst([folder = candidate] { return removeDeadSequence(folder); });
                return true;
            }
            reservation.reset();
            std::this_thread::sleep_for(std::chrono::microseconds(50 + jitter() % 1000));
        }
        return false;
    });
    return reservation;
}

namespace {

// Makes the folder a sequence is named in, with any missing above it, as the transcoder would;
// returns the ones it made, deepest first.
std::vector<std::filesystem::path> makeParentFolders(const std::filesystem::path& target) {
    const std::filesystem::path folder = (target.has_filename() ? target : target.parent_path()).parent_path();
    std::vector<std::filesystem::path> made;
    for (std::filesystem::path above = folder; !above.empty() && !taken(above); above = above.parent_path()) {
        made.push_back(above);
        if (above == above.root_path()) break;
    }
    std::error_code ec;
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    if (ec) {
        removeEmptyFolders(made);
        throw ConversionError::writerFailed(folder.filename().string() + " (" + ec.message() + ")");
    }
    return made;
}

}  // namespace

ExportDestination::ExportDestination(OutputFormat format, const std::filesystem::path& target)
    : format_(format), path_(target) {
    // A movie's writer takes its hidden name itself; what runs killed in its folder left goes
    // first, whatever their names (reserveOutputName sweeps so for a sequence).
    if (!isImageSequence(format)) {
        sweepDeadRunsIn(folderOf(target));
        return;
    }
    madeFolders_ = makeParentFolders(target);
    try {
        reservation_ = reserveOutputName(format, target);
    } catch (...) {
        release();
        throw;
    }
    path_ = reservation_->target();
}

ExportDestination::~ExportDestination() { release(); }

void ExportDestination::release() {
    reservation_.reset();
    // Folders made for a run that left nothing in them go; one that holds anything stays.
    removeEmptyFolders(std::exchange(madeFolders_, {}));
}

void ExportDestination::discardSequence() const {
    if (!reservation_) return;
    std::error_code ec;
    const std::string name = path_.filename().string();
    std::vector<std::string> frames;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ec))
        if (isImageSequenceFileName(name, entry.path().filename().string(), format_)) frames.push_back(entry.path().filename());
    // The last frame first (names of one length sort by number, a longer one comes later), so
    // that a run killed meanwhile still leaves frames 0 ... k-1 and no gap.
    std::sort(frames.begin(), frames.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() > b.size() : a > b;
    });
    for (const std::string& frame : frames) std::filesystem::remove(path_ / frame, ec);
    // Then as after a dead run: hidden frames left go, and the folder once empty.
    removeDeadSequence(path_);
}

}  // namespace qm
