#pragma once
// What shows that a sound track's bytes were damaged rather than its sound meant to pause: bytes a
// Matroska demuxer passed over between blocks, a packet refused or said corrupt, a raw ADTS frame
// that is not where the one before ended, a demuxer that gave up before the file's end.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>

extern "C" {
#include <libavformat/avformat.h>
}

namespace qm::reading {

// The words for sound the file holds but that can't be decoded.
extern const char* const kDamaged;

// Bytes a Matroska demuxer passed over (junk it resynchronised after, a cluster it could not read):
// read with every stream kept, each block starts at most a block's and a cluster's headers (a few
// dozen bytes) after the blocks before it end; packets laced into one block share its position.
// A stream's parser may hold its last packet back until the next one comes (AC-3's does), after
// blocks further on: a block's end is known only then, and a hole its packet fills was no skip.
class SkippedBytes {
public:
    static constexpr int64_t kHeaders = 256;

    void add(const AVPacket& p);
    // Whether bytes were passed over among the blocks read since the last settle().
    bool skipped() const;
    // What lies before the last block is judged.
    void settle();

private:
    std::map<int64_t, int64_t> blocks_;  // where each block begins → where its packets read so far end
    int64_t foldedEnd_ = -1;             // where the blocks dropped from the map end
    bool folded_ = false;                // a hole among them
};

// What shows that sound was lost since the last sound delivered; a gap in the stamps alone is
// silence the file means. Resets whole with each delivery.
struct LossEvidence {
    bool refused = false;  // a packet the decoder refused, or the demuxer found corrupt or short
};

// Raw ADTS read against the file's own bytes: frames follow each other with nothing between, each
// where the demuxer says it lies (after passing over bytes it could not read, it may name where it
// began to look).
class AdtsFrames {
public:
    void open(const std::filesystem::path& file);
    // Reading starts again (a seek): the next frame may lie anywhere.
    void restart() { end_ = -1; }
    // Whether the demuxer passed over bytes before this packet: it lies elsewhere than where the
    // frame before it ends, or the file holds no frame of its length where it says it lies.
    bool skippedBefore(const AVPacket& p);

private:
    std::ifstream file_;
    int64_t end_ = -1;
};

// A Matroska file's clusters against their stated sizes: the elements inside a cluster end where it
// says it ends. Bytes inserted into one make them run past that, which the demuxer says only once
// it reaches the cluster's end, after giving out blocks partly made of the inserted bytes (it reads
// a few as an element it does not know and passes over them without a word).
class ClusterSizes {
public:
    void open(const std::filesystem::path& file);
    // Whether the block at `pos` (a packet's) lies in a cluster that runs past its stated end, at
    // or after where that begins. A cluster of unknown size, or one the file ends inside (a cut,
    // told elsewhere), is not judged.
    bool damagedAt(int64_t pos);

private:
    struct Element {
        uint32_t id = 0;
        int64_t data = -1;  // where its content begins
        int64_t end = -1;   // where it ends; -1: unknown size
    };
    std::optional<Element> elementAt(int64_t at);

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, std::fclose};
    int64_t fileSize_ = -1;
    int64_t next_ = -1;  // the next top-level element of the segment to walk
    int64_t segmentEnd_ = -1;
    struct Cluster {
        int64_t end = -1;
        bool judged = false;
        int64_t damagedFrom = -1;  // where its blocks are damaged; -1: whole
    };
    std::map<int64_t, Cluster> clusters_;  // by where its content begins
};

// Whether, at the demuxer's end, more of a Matroska file follows the last packet read (ending at
// `packetsEnd`) than a cut leaves of a packet (the file ends inside an element), or the file is
// not cut at all: the demuxer passed over what it could not read to the file's end, so the sound
// stops at damage.
bool stoppedBeforeFileEnd(const AVFormatContext* format, const std::filesystem::path& file, int64_t packetsEnd,
                          int64_t largestPacket);

}  // namespace qm::reading
