#pragma once
// Where one reading of a video track ends, for files that may be cut short: the samples read whole,
// the last one the file holds only in part, and from these the first picture the file lacks.
// A file that holds its samples whole is read whole: a byte stream (MPEG-TS) states no end, and
// neither the rhythm of its stamps nor how its last transport packet is filled tells a cut. Only
// what a sample holds does: the demuxer found it short, or the decoder could not decode the last
// one whole.

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "platform/media/reader_internal.h"

namespace qm::reading {

// The presentation stamp of the first picture a stream cut short lacks, from the stamps of the
// samples it holds whole. Every sample not held comes later in decoding order, so at most `reorder`
// of those held show after it: the pictures up to the (reorder + 1)-th latest lack none before
// them. Past that, pictures count while each follows the one before by at most one and a half
// times the closest spacing of any two held (`spacing` where fewer than two are held). `partial`:
// the stamp of the sample held only in part, lacking as well. Nothing when none is held or partial.
std::optional<int64_t> firstPictureLacking(std::vector<int64_t> held, int reorder, int64_t spacing,
                                           std::optional<int64_t> partial);

class StreamEnding {
public:
    // The result of reading the packet `depth` places after the one just read (AVERROR_EOF past
    // the file's end).
    using Peek = std::function<int(size_t depth)>;

    // Where the track's pictures end, once the file is known cut: pictures from `at` on are not
    // whole, or some before them are missing. `promised`: the file stated more than it holds.
    struct Cut {
        int64_t at = 0;
        bool promised = false;
    };

    // The packet just read: whether it is the track's last and the file holds it only in part, as
    // the demuxer found it short or the file ends inside one of its transport packets
    // (`fileEndsInside`). Parsed from MPEG-TS, the sample before a short one carries the flag,
    // which is then taken off it. Otherwise the packet counts as read whole.
    bool heldInPart(AVPacket& packet, AVRational timeBase, bool byteStream, bool fileEndsInside, const Peek& peek);

    // Whether the decoder's failure on the sample stamped `ts` is the file ending inside it: in a
    // byte stream, the last sample of the file (cut at a transport packet's end, where nothing
    // else tells). It is then held in part, and not read whole.
    bool endedInside(int64_t ts, bool byteStream, const Peek& peek);

    // At the end of the file: where it is cut short, if it is. `lacking`: the first sample its
    // index lists past its end (QuickTime and MP4 list every sample, so that alone tells; Matroska
    // lists key frames at most); `end`: what a Matroska file's end says. `start`: where pictures
    // begin when none is held whole.
    std::optional<Cut> cut(std::optional<int64_t> lacking, bool matroska, FileEnd end, int reorder, int64_t spacing,
                           int64_t start) const;

    // The first picture lacking after the samples read whole so far, as where the file ended here.
    std::optional<int64_t> lackingAfterRead(int reorder, int64_t spacing) const {
        return firstPictureLacking({whole_.begin(), whole_.end()}, reorder, spacing, std::nullopt);
    }

    // Reading ended quietly before the first picture the file lacks.
    bool quiet = false;

private:
    std::deque<int64_t> whole_;       // stamps of the latest samples read whole, in decoding order
    std::optional<int64_t> partial_;  // the stamp of the last sample, which the file holds in part
    bool jumped_ = false;             // stamps jumped (MPEG-TS joined from pieces): gaps can't be told
    bool shortBefore_ = false;        // the demuxer flagged the sample before the last as short
};

}  // namespace qm::reading
