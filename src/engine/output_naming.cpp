#include "engine/output_naming.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <unistd.h>

#include "core/conversion_error.h"
#include "core/file_name.h"
#include "engine/transcode_rules.h"

namespace qm {

namespace {

// An output name in parts: `head`, which a name too long gives up bytes from, `tail` (a tag kept
// whole), then " 2", " 3" ... and `extension`. A sequence folder's name has no extension, whatever
// dots it holds, and leaves room for its frames' names.
struct NameParts {
    std::filesystem::path folder;
    std::string head;
    std::string tail;
    std::string extension;
    size_t room = kFileNameMax;
};

size_t roomFor(OutputFormat format) {
    return isImageSequence(format) ? kFileNameMax - imageSequenceFileName("", 0, format).size() : kFileNameMax;
}

// A name its caller chose.
NameParts partsOf(OutputFormat format, const std::filesystem::path& first) {
    const bool sequence = isImageSequence(format);
    return {first.parent_path(), (sequence ? first.filename() : first.stem()).string(), {},
            sequence ? std::string() : first.extension().string(), roomFor(format)};
}

// The Convert queue's name for a source: its base name, "_" and the format's file tag.
NameParts convertParts(OutputFormat format, const std::filesystem::path& source, const std::filesystem::path& folder) {
    return {folder, source.stem().string(), "_" + std::string(fileTag(format)),
            isImageSequence(format) ? std::string() : "." + std::string(fileExtension(format)), roomFor(format)};
}

// Far more numbers than a folder holds names of one series: a search that reaches it has met a
// folder that answers every name as taken.
constexpr long kMostNumbers = 100'000;

// The first name that `take` accepts: the name itself, then with " 2", " 3" ..., each cut to fit.
std::filesystem::path firstName(const NameParts& parts, const std::function<bool(const std::filesystem::path&)>& take) {
    const std::string whole = parts.head + parts.tail + parts.extension;
    for (long n = 1; n <= kMostNumbers; ++n) {
        const std::string number = n == 1 ? std::string() : " " + std::to_string(n);
        const size_t kept = parts.tail.size() + number.size() + parts.extension.size();
        const std::string_view head = kept < parts.room ? utf8Prefix(parts.head, parts.room - kept) : std::string_view();
        if (head.empty() && !parts.head.empty())
            throw ConversionError::writerFailed(whole + " (" + std::generic_category().message(ENAMETOOLONG) + ")");
        auto candidate = parts.folder / (std::string(head) + parts.tail + number + parts.extension);
        if (take(candidate)) return candidate;
    }
    throw ConversionError::writerFailed("no free name for " + whole + " in " + parts.folder.string());
}

// Whether anything stands at the name; a name the folder cannot answer for is an error, not taken.
bool taken(const std::filesystem::path& candidate) {
    std::error_code ec;
    const auto type = std::filesystem::symlink_status(candidate, ec).type();
    if (type == std::filesystem::file_type::none)
        throw ConversionError::writerFailed(candidate.filename().string() + " (" + ec.message() + ")");
    return type != std::filesystem::file_type::not_found;
}

}  // namespace

std::filesystem::path outputURL(OutputFormat format, const std::filesystem::path& source,
                                const std::filesystem::path& folder,
                                const std::function<bool(const std::filesystem::path&)>& exists) {
    return firstName(convertParts(format, source, folder), [&](const std::filesystem::path& candidate) {
        return exists ? !exists(candidate) : !taken(candidate);
    });
}

namespace {

// Removes each of the folders, deepest first, while they are empty.
void removeEmptyFolders(const std::vector<std::filesystem::path>& folders) {
    std::error_code ec;
    for (const auto& folder : folders)
        if (!std::filesystem::remove(folder, ec)) return;
}

// A run that held this sequence name has ended: the hidden frames it left under the sequence's
// own frame names (of any sequence format: a caller's name may have served another one) go, the
// marker its staging left inside, and the folder too when that leaves it empty. A folder that held
// nothing of ours stays, empty or not: what stands under the name may be a user's made meanwhile.
// Returns whether nothing of that is left (a folder that refuses it keeps it).
bool removeDeadSequence(const std::filesystem::path& folder) {
    std::error_code ec;
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(folder, ec))) return true;
    const std::string name = folder.filename().string();
    const PartialSweep frames = sweepPartialsIn(folder, [&](std::string_view frame) {
        return std::ranges::any_of(allOutputFormats, [&](OutputFormat format) {
            return isImageSequence(format) && isImageSequenceFrameStem(name, frame, format);
        });
    });
    const std::filesystem::path marker = folder / std::string(kStagingMarker);
    const bool marked = std::filesystem::exists(std::filesystem::symlink_status(marker, ec));
    const bool unmarked = clearStagingMarker(folder);
    const bool heldOurs = frames.removed > 0 || (marked && !std::filesystem::exists(std::filesystem::symlink_status(marker, ec)));
    if (heldOurs && std::filesystem::is_empty(folder, ec)) ::rmdir(folder.c_str());  // never through a link
    return frames.left == 0 && frames.live == 0 && unmarked;
}

// The item in `folder` whose hidden names spell it by `stem`: the stem itself, or, for a
// shortened stem, the one whose name shortens to it (a sequence folder too long to be spelt out).
std::filesystem::path itemOfStem(const std::filesystem::path& folder, std::string_view stem) {
    if (!isShortenedStemOf(stem, "")) return folder / std::string(stem);
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with('.') && hiddenStem(name) == stem) return it->path();
    }
    return folder / std::string(stem);
}

// What runs and saves killed in `folder` left, whatever name they wrote under (a killed ProRes
// run can leave gigabytes under a name no later run picks): their hidden files, staging folders,
// the hidden frames of a sequence whose reservation they left, whatever the length of its name,
// and a placeholder left under a visible name where the file system lacks the rename that never
// replaces. A dead run's hidden file beside a sequence folder is what tells that the folder's
// hidden files are dead too: they go first, and that file last, only once none of them is left.
// One look at the folder, however many names it holds; returns the stems live runs hold.
std::vector<std::string> sweepDeadRunsIn(const std::filesystem::path& folder) {
    return sweepFolderForRun(folder, [&](std::string_view stem) { return removeDeadSequence(itemOfStem(folder, stem)); });
}

std::filesystem::path folderOf(const std::filesystem::path& target) {
    const std::filesystem::path first = target.has_filename() ? target : target.parent_path();
    return first.parent_path().empty() ? std::filesystem::path(".") : first.parent_path();
}

}  // namespace

namespace {

std::unique_ptr<PartialFile> reserveName(OutputFormat format, const NameParts& parts) {
    std::unique_ptr<PartialFile> reservation;
    const std::vector<std::string> live = sweepDeadRunsIn(parts.folder.empty() ? std::filesystem::path(".") : parts.folder);
    firstName(parts, [&](const std::filesystem::path& candidate) {
        // A name a live run writes under (a save panel's export, say) is taken; so is one whose
        // reservation another run holds, which the exclusive create of that one hidden name tells
        // without looking at the folder again: of two runs at the same moment, one gets it.
        if (std::ranges::binary_search(live, hiddenStem(candidate.filename().string())) || taken(candidate)) return false;
        try {
            reservation = std::make_unique<PartialFile>(candidate, "partial", HiddenName::reserved);
        } catch (const std::system_error& e) {
            if (e.code().value() == EEXIST) return false;
            throw ConversionError::writerFailed(candidate.filename().string() + " (" + e.code().message() + ")");
        }
        if (taken(candidate)) {
            reservation.reset();
            return false;
        }
        // A sequence run may end without removing its hidden files (its folder refusing that): its
        // reservation then stays for the next run to clear them.
        if (isImageSequence(format)) reservation->clearFirst([folder = candidate] { return removeDeadSequence(folder); });
        return true;
    });
    return reservation;
}

}  // namespace

std::unique_ptr<PartialFile> reserveOutputURL(OutputFormat format, const std::filesystem::path& source,
                                              const std::filesystem::path& folder) {
    return reserveName(format, convertParts(format, source, folder));
}

std::unique_ptr<PartialFile> reserveOutputName(OutputFormat format, const std::filesystem::path& target) {
    // A folder given with a trailing separator is named without it.
    return reserveName(format, partsOf(format, target.has_filename() ? target : target.parent_path()));
}

int publishOutput(PartialFile& output, OutputFormat format, const std::optional<FileId>& replaceable) {
    std::unique_ptr<PartialFile> next;
    for (int attempt = 0;; ++attempt) {
        const int error = output.publishNew(attempt == 0 ? replaceable : std::nullopt);
        if (error != EEXIST || attempt >= 8) return error;
        // Something that was not there when the name was chosen stands there now: the output
        // takes the next free name of its series (" 2" of "Clip_Hap 2.mov" is the series' own).
        NameParts parts = partsOf(format, output.target());
        if (const size_t space = parts.head.find_last_of(' ');
            space != std::string::npos && space + 1 < parts.head.size() &&
            parts.head.find_first_not_of("0123456789", space + 1) == std::string::npos)
            parts.head.resize(space);
        try {
            next = reserveName(format, parts);
        } catch (const ConversionError&) {
            return EEXIST;
        }
        output.retarget(next->target().filename().string());
    }
}

namespace {

// Makes the folder a sequence is named in, with any missing above it, as the transcoder would;
// returns the ones it made, deepest first.
std::vector<std::filesystem::path> makeParentFolders(const std::filesystem::path& target) {
    const std::filesystem::path folder = (target.has_filename() ? target : target.parent_path()).parent_path();
    std::vector<std::filesystem::path> made;
    // Only what is provably missing counts as made here; a folder that cannot be looked at stops the climb.
    const auto missing = [](const std::filesystem::path& item) {
        std::error_code ec;
        return std::filesystem::symlink_status(item, ec).type() == std::filesystem::file_type::not_found;
    };
    for (std::filesystem::path above = folder; !above.empty() && missing(above); above = above.parent_path()) {
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

ExportDestination::ExportDestination(OutputFormat format, std::unique_ptr<PartialFile> reservation)
    : format_(format), reservation_(std::move(reservation)), path_(reservation_->target()) {}

ExportDestination::~ExportDestination() { release(); }

void ExportDestination::release() {
    reservation_.reset();
    // Folders made for a run that left nothing in them go; one that holds anything stays.
    removeEmptyFolders(std::exchange(madeFolders_, {}));
}

}  // namespace qm
