#pragma once
// Where the Convert queue (and qm-bench) put the output of one source.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

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
// output there. A name whose hidden file a live run holds is taken; what dead runs left in the
// folder is removed first, whatever name they wrote under (and a sequence folder that held nothing
// else; a folder that held nothing of theirs stays).
// Keep the result while the run lives; its target() is the name, given back when it goes. A
// sequence's hidden file stays after its run while hidden files of the run stay in the folder
// (one that refused their removal), so that the next run for the name clears them.
// Throws ConversionError::writerFailed when the folder refuses it.
std::unique_ptr<PartialFile> reserveOutputURL(OutputFormat format, const std::filesystem::path& source,
                                              const std::filesystem::path& folder);

// The same for an output its caller names: `target` itself when nothing is there, else its name
// with " 2", " 3" ... (before a movie's extension; a sequence folder's name has none). Every image
// sequence is written under such a name, so that no folder holds the frames of two runs.
std::unique_ptr<PartialFile> reserveOutputName(OutputFormat format, const std::filesystem::path& target);

// Puts a complete output under its target name without replacing anything that was not there
// when its run chose the name: where something else came meanwhile, it takes the next free name
// (as reserveOutputName gives it) and target() says which. `replaceable` is the file its caller
// chose to replace (a save panel's answer), which is replaced while it stands there. Returns 0
// or the errno of the step that failed.
int publishOutput(PartialFile& output, OutputFormat format, const std::optional<FileId>& replaceable);

// Where an export that its caller names writes, once what dead runs left in its folder is gone:
// a movie at `target` itself (its writer keeps it hidden until it is complete, and the caller
// chose to replace the movie there, but nothing that comes there meanwhile: see publishOutput), an image sequence under reserveOutputName's name in
// `target`'s folder (made when missing, and removed again when released empty), held until
// released.
class ExportDestination {
public:
    // Throws ConversionError::writerFailed when the folder refuses it.
    ExportDestination(OutputFormat format, const std::filesystem::path& target);
    // For a name its run picked and reserved itself (reserveOutputURL): held until released.
    ExportDestination(OutputFormat format, std::unique_ptr<PartialFile> reservation);
    ~ExportDestination();
    ExportDestination(const ExportDestination&) = delete;
    ExportDestination& operator=(const ExportDestination&) = delete;
    const std::filesystem::path& path() const { return path_; }

    // Gives the name back at the end of the run that holds one of these, however it ends.
    struct ReleaseAtEnd {
        ExportDestination& destination;
        ~ReleaseAtEnd() { destination.release(); }
    };

private:
    void release();

    OutputFormat format_;
    std::vector<std::filesystem::path> madeFolders_;  // for the sequence, deepest first
    std::unique_ptr<PartialFile> reservation_;
    std::filesystem::path path_;
};

}  // namespace qm
