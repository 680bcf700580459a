#pragma once
// Where each packet of a sound track starts, to the sample, as a reading of the track from its
// start places it: one pass over the file's packets, none decoded, shared by every reading of the
// file, so that a clip anywhere in it is placed at the cost of a seek once the pass has gone by.
// Stamps rounded to a coarse clock (Matroska's whole milliseconds) name no sample, and after a
// join or a gap only the samples counted since it do.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/media/ffmpeg_internal.h"

namespace qm::reading {

class StartCount;

class PlacingIndex {
public:
    // A packet's start and length (track samples).
    struct Span {
        int64_t start = 0, length = 0;
    };

    // The index of the stream `index` of the file as it is now (its size and modification time),
    // shared by every reading of it; nothing where the file can't be read. `decoderDelay` is what
    // the track's decoder drops at its start.
    static std::shared_ptr<PlacingIndex> of(const std::filesystem::path& file, int index, int decoderDelay);

    PlacingIndex(const std::filesystem::path& file, int index, int decoderDelay);
    ~PlacingIndex();

    // The packet stamped `pts` (stream time base) at byte `pos`: the pass goes on from where it
    // stopped as far as that stamp (only once for all readings), so a clip costs the file's packets
    // up to it once, and nothing more for any clip before it.
    std::optional<Span> find(int64_t pts, int64_t pos);

    // Packets passed so far.
    size_t packets();

private:
    struct Entry {
        int64_t pts, pos, start;
        int32_t length;
    };
    bool readOne();

    std::mutex lock_;
    std::filesystem::path file_;
    int index_, delay_;
    bool opened_ = false, ended_ = false;
    ffmpeg::FormatContextPtr format_;
    ffmpeg::PacketPtr packet_;
    std::unique_ptr<StartCount> count_;
    bool matroska_ = false;
    int64_t block_ = -1;      // where the block of the last packet begins
    int64_t furthest_ = 0;    // the latest stamp passed
    std::vector<Entry> entries_;  // by stamp, then by position
};

}  // namespace qm::reading
