#pragma once
// Writing the frames of one image sequence into its folder, many at once.
//
// Frames are encoded in parallel and finish in any order, but a frame takes its visible name
// only once every earlier frame of the run has its own: until then it waits, whole and synced,
// under a hidden locked name. So whenever the run ends, by a kill, a power cut or a full disk,
// the visible frames are 0 ... k-1 with no gap, and what waited hidden goes with the run (or
// with the next run's sweep). The renames are made one at a time in frame order, which a
// journalling file system keeps across a power cut.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/partial_file.h"
#include "platform/media/image_file_writer.h"

namespace qm {

class ImageSequenceWriter {
public:
    // Frames go into `folder` (named without a trailing separator). When it does not exist yet it
    // is built hidden beside its name (with any missing folder above it) and takes that name with
    // frame 0, so neither a run that names no frame nor one killed before leaves a visible folder.
    // Nothing is made here.
    explicit ImageSequenceWriter(std::filesystem::path folder);
    // Frames still waiting for an earlier one go, and a folder that never got frame 0.
    ~ImageSequenceWriter();
    ImageSequenceWriter(const ImageSequenceWriter&) = delete;
    ImageSequenceWriter& operator=(const ImageSequenceWriter&) = delete;

    // Writes frame `index` of the run (0, 1, 2 ... each once) as the file `name` in the folder.
    // Safe from many threads at once; never waits for other frames. The thread whose frame is
    // the lowest one still unnamed names it and every waiting frame after it, in order.
    // Throws MediaError: step "image encode" (the picture cannot be encoded), "image write"
    // (detail: the file's name and the system's reason, for this frame or for a waiting one it
    // was naming) or "image folder" (detail: the folder's name and the reason). Once a name
    // failed, no later frame is named.
    void write(int64_t index, const std::string& name, const PixelBuffer& buffer, const ImageFileSettings& settings);

    // Frames 0 ..< named() have their names.
    int64_t named() const;
    // Syncs the folder, so that the names given so far last; before a run reports success.
    void settle();

private:
    // The folder's descriptor, making the folder (staged) with the first frame.
    int folder();
    void complete(int64_t index, std::unique_ptr<PartialFile> frame);

    std::filesystem::path folder_;
    ImageFileWriter encoders_;
    mutable std::mutex lock_;
    int folderFd_ = -1;                      // the folder the frames are written in, however named
    std::optional<PartialFolder> staged_;    // until frame 0 gives it the folder's name
    std::map<int64_t, std::unique_ptr<PartialFile>> waiting_;  // complete, not yet named
    int64_t next_ = 0;                       // frames 0 ..< next_ are named
    bool naming_ = false;                    // a thread is naming the run from next_
    bool stopped_ = false;                   // a name failed; nothing after it gets one
};

}  // namespace qm
