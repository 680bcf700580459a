#include "engine/output_naming.h"

#include <chrono>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "core/conversion_error.h"
#include "engine/transcode_rules.h"

namespace qm {

namespace {

// The first candidate name that `take` accepts.
std::filesystem::path firstName(OutputFormat format, const std::filesystem::path& source,
                                const std::filesystem::path& folder,
                                const std::function<bool(const std::filesystem::path&)>& take) {
    const std::string base = source.stem().string() + "_" + std::string(fileTag(format));
    const std::string extension = isImageSequence(format) ? std::string() : "." + std::string(fileExtension(format));
    for (long n = 1;; ++n) {
        std::string name = n == 1 ? base : base + " " + std::to_string(n);
        auto candidate = folder / (name + extension);
        if (take(candidate)) return candidate;
    }
}

}  // namespace

std::filesystem::path outputURL(OutputFormat format, const std::filesystem::path& source,
                                const std::filesystem::path& folder,
                                const std::function<bool(const std::filesystem::path&)>& exists) {
    return firstName(format, source, folder, [&](const std::filesystem::path& candidate) {
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

// A dead run held this sequence name: the hidden frames it left under the sequence's own frame
// names go, and its folder too when nothing else is in it.
void removeDeadSequence(const std::filesystem::path& folder, OutputFormat format) {
    std::error_code ec;
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(folder, ec))) return;
    const std::string name = folder.filename().string();
    sweepPartialsIn(folder, [&](std::string_view frame) { return isImageSequenceFileName(name, frame, format); });
    if (std::filesystem::is_empty(folder, ec)) std::filesystem::remove(folder, ec);
}

}  // namespace

std::unique_ptr<PartialFile> reserveOutputURL(OutputFormat format, const std::filesystem::path& source,
                                              const std::filesystem::path& folder) {
    const bool sequence = isImageSequence(format);
    std::unique_ptr<PartialFile> reservation;
    thread_local std::minstd_rand jitter{std::random_device{}()};
    firstName(format, source, folder, [&](const std::filesystem::path& candidate) {
        for (int attempt = 0; attempt < 4; ++attempt) {
            const PartialSweep leftovers = sweepPartials(candidate);
            if (sequence && leftovers.removed > 0) removeDeadSequence(candidate, format);
            if (leftovers.live > 0 || taken(candidate)) return false;
            try {
                reservation = std::make_unique<PartialFile>(candidate);
            } catch (const std::system_error& e) {
                throw ConversionError::writerFailed(candidate.filename().string() + " (" + e.code().message() + ")");
            }
            // A run that looked at the same moment holds a hidden file of this name too: each then
            // sees the other's and steps aside, so never both keep the name. When both stepped
            // aside the name is free again, and is tried once more after a moment of its own.
            if (sweepPartials(candidate, "partial", reservation.get()).live == 0 && !taken(candidate)) return true;
            reservation.reset();
            std::this_thread::sleep_for(std::chrono::microseconds(50 + jitter() % 1000));
        }
        return false;
    });
    return reservation;
}

}  // namespace qm
