#pragma once
// Writing the frames of one image sequence into its folder, many at once.
//
// Frames are encoded in parallel and finish in any order, but a frame takes its visible name
// only once it is synced and every earlier frame of the run has its own: until then it waits
// under a hidden locked name. So whenever the run ends, by a kill, a power cut or a full disk,
// the visible frames are 0 ... k-1 with no gap, each whole, and what waited hidden goes with the
// run (or with the next run's sweep). The renames are made one at a time in frame order, which a
// journalling file system keeps across a power cut.
//
// Encoding never waits for the disk: a written frame is handed over, and whoever names (a task
// the caller runs through nameWaiting(), or settle()) syncs every frame ready in order as one
// group, which the file system commits at once, and then names them.

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/partial_file.h"
#include "platform/media/image_file_writer.h"
#include "platform/media/media_error.h"

namespace qm {

class ImageSequenceWriter {
public:
    // Frames go into `folder` (named without a trailing separator). When it does not exist yet it
    // is built hidden beside its name (with any missing folder above it) and takes that name with
    // frame 0, so neither a run that names no frame nor one killed before leaves a visible folder.
    // Nothing is made here. Once `maxWaiting` frames wait that could be named, the thread handing
    // over one more names them itself, so the hidden files and their descriptors stay bounded.
    // A folder already standing at `folder` is written into only when `mayExist` (the caller's
    // own); else it came after the run chose the name, and the frames fail ("File exists")
    // rather than mix with what is there.
    explicit ImageSequenceWriter(std::filesystem::path folder, size_t maxWaiting = 64, bool mayExist = true);
    // Frames still waiting go, and a folder that never got frame 0. No thread may be naming.
    ~ImageSequenceWriter();
    ImageSequenceWriter(const ImageSequenceWriter&) = delete;
    ImageSequenceWriter& operator=(const ImageSequenceWriter&) = delete;

    // Writes frame `index` of the run (0, 1, 2 ... each once) as the file `name` in the folder,
    // under its hidden name, and hands it over for naming. Safe from many threads at once.
    // Throws MediaError: step "image encode" (the picture cannot be encoded), "image write"
    // (detail: the file's name and the system's reason, for this frame or for one being named)
    // or "image folder" (detail: the folder's name and the reason). Once a name failed, no later
    // frame is named and every later write throws that failure.
    void write(int64_t index, const std::string& name, const PixelBuffer& buffer, const ImageFileSettings& settings);

    // Syncs and names, in order, every frame that is ready, until none is; returns at once when
    // another thread is naming (which then names these too). A failure is kept for write() and
    // settle() to throw.
    void nameWaiting() noexcept;
    // Whether a frame is ready to be named and nobody is naming it.
    bool hasWaiting() const;

    // Frames 0 ..< named() have their names.
    int64_t named() const;
    // The folder this run made and named, held open (nothing when it made none, or named no
    // frame in it): for removing the run's frames through it once the run must leave nothing.
    // No thread may be naming.
    std::unique_ptr<PartialFolder> takeFolder();
    // Names every frame handed over, then syncs the folder, so that the names given last; before
    // a run reports success. Throws the first failure of naming, as write() does.
    void settle();

private:
    // The folder's descriptor, making the folder (staged) with the first frame.
    int folder();
    // Names while frames are ready; the lock is held on entry and on return, not while the disk
    // is waited for.
    void nameReady(std::unique_lock<std::mutex>& lock);
    bool readyLocked() const { return !stopped_ && waiting_.count(next_) > 0; }

    std::filesystem::path folder_;
    const size_t maxWaiting_;
    const bool mayExist_;
    ImageFileWriter encoders_;
    mutable std::mutex lock_;
    std::condition_variable namingEnded_;
    int folderFd_ = -1;                      // the folder the frames are written in, however named
    std::unique_ptr<PartialFolder> staged_;  // made by this run; hidden until frame 0 gives it the folder's name
    std::map<int64_t, std::unique_ptr<PartialFile>> waiting_;  // complete, not yet named
    int64_t next_ = 0;                       // frames 0 ..< next_ are named
    bool naming_ = false;                    // a thread is naming the run from next_
    bool stopped_ = false;                   // a name failed; nothing after it gets one
    std::optional<MediaError> failure_;      // why
};

}  // namespace qm
