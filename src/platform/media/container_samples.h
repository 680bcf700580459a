#pragma once
// What each container says of the samples it lists, read from the file in a file of its own:
// samples listed without data, or that the demuxer can't hand on whole, and how a file ends.

#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <optional>
#include <set>
#include <vector>

#include "platform/media/reader_internal.h"
#include "platform/media/sample_account.h"

namespace qm::reading {

// MP4 and QuickTime (mp4_sample_tables.cpp): the samples the table lists without data, stamped
// as the table stamps them.
std::vector<EmptySample> emptyTableSamples(AVFormatContext* format, int stream, const std::filesystem::path& file);
// The movie box is read once for both: where the table's boxes list different counts, and, in a
// fragmented movie, the first sample of a fragment decoded before the one before it ends.
std::vector<EmptySample> tableAndFragmentLosses(AVFormatContext* format, int stream, const std::filesystem::path& file);

// AVI (avi_index.cpp): the chunks stating another size than the index lists.
std::vector<EmptySample> aviChunksThatDisagree(AVFormatContext* format, int stream, const std::filesystem::path& file);

// Matroska (matroska_elements.cpp). An element's header: its id (marker kept), where its content
// begins, and its length (nothing: unknown, written live).
struct EbmlElement {
    uint32_t id = 0;
    int64_t data = 0;
    std::optional<int64_t> length;
};

// Reads elements' headers from a Matroska file, with the bytes that follow a header.
class EbmlReader {
public:
    explicit EbmlReader(std::FILE* file) : file_(file) {}
    // The element at `at`; nothing where its header is no EBML header. `cut()`: the file ends
    // inside the header.
    std::optional<EbmlElement> element(int64_t at);
    bool cut() const { return cut_; }
    // The bytes read after the header of the last element read (a few, where the file has them).
    const uint8_t* after() const { return bytes_ + head_; }
    size_t afterSize() const { return size_ - head_; }
    // An EBML number in `b` (of `n` bytes) from `i` on, which it passes: an element's id (marker
    // kept) or a length (UINT64_MAX where unknown); nothing where it is none or runs past `n`.
    static std::optional<uint64_t> number(const uint8_t* b, size_t n, size_t& i, bool id, int maxLength, bool* runsPast = nullptr);

private:
    std::FILE* file_;
    uint8_t bytes_[24] = {};
    size_t size_ = 0, head_ = 0;
    bool cut_ = false;
};

// The blocks of a Matroska file's first video track, walked by their elements as far as the
// reading has come: a block states its track and time in a header of its own, which an empty
// block holds alone. Segments, track lists, clusters and block groups are entered.
class MatroskaBlocks {
public:
    int64_t size = 0;  // the file's

    // Walks the elements that begin before `upTo`; false once the walk is over. Empty blocks of
    // the track go to `stamps`; blocks of the track with data, and those of a track the file
    // lacks, go to `passing`.
    bool walk(std::FILE* f, int64_t upTo, std::vector<EmptySample>& stamps, std::deque<EmptySample>& passing);

private:
    uint64_t clusterTime_ = 0;
    std::optional<uint64_t> video_, number_, type_;
    std::set<uint64_t> tracks_;
    int64_t at_ = 0;
    int count_ = 0;
};

}  // namespace qm::reading
