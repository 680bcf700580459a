#pragma once
// Words of the library's log that tell of damage it otherwise passes over.
//
// libavcodec's HEVC decoder fills in a reference picture that a picture names but the stream lacks
// in grey and decodes the picture from it without an error, even when told to return every error
// it meets: its only word is a line on its log. A picture decoded so is damaged (a sample dropped
// from the file, or damage that made the decoder lose a picture). libavformat's Matroska, MP4 and
// MPEG-TS demuxers likewise drop what they cannot parse of a file's structure (a block of a track
// the file lacks, lace sizes that don't fit, an element running past its parent) and read on, their
// only word an error on the log, as some sound decoders do of a damaged packet. A watch listens on
// the log for those lines from the contexts it watches; every line goes on to the library's own
// output unchanged.

#include <atomic>

struct AVCodecContext;
struct AVFormatContext;

namespace qm::reading {

class LogWatch {
public:
    LogWatch(const LogWatch&) = delete;
    LogWatch& operator=(const LogWatch&) = delete;

    // Whether the log said so since the last call.
    bool take() { return seen_.exchange(false); }

    // The log's handler; public for the callback only.
    void report() { seen_ = true; }

protected:
    LogWatch();
    ~LogWatch();

private:
    std::atomic<bool> seen_{false};
};

// Whether the HEVC or H.264 decoder made up a reference picture the stream lacks.
class MissingReferenceWatch : public LogWatch {
public:
    // Watches a decoder context of the caller's own, through its `opaque` field (which the
    // decoder's frame threads copy), which must be unused otherwise.
    void watch(AVCodecContext* context);
};

// Whether a demuxer logged an error (of the file's structure).
class DemuxerErrorWatch : public LogWatch {
public:
    // Watches the format context this thread opens next, which probes the file's first packets.
    void watchOpening();
    // Watches a format context of the caller's own, through its `opaque` field.
    void watch(AVFormatContext* context);
    // Whether the demuxer logged an error while the context was opened (the packets it probed
    // then are read later, without a word).
    bool damagedOnOpening() const { return damagedOnOpening_; }

private:
    bool damagedOnOpening_ = false;
};

// Whether a sound decoder logged an error: some (ALAC's) give out a frame decoded from a damaged
// packet as if whole, their error line the only word of it.
class DecoderErrorWatch : public LogWatch {
public:
    DecoderErrorWatch();
    ~DecoderErrorWatch();
    // Watches a decoder context of the caller's own, through its `opaque` field.
    void watch(AVCodecContext* context);
};

}  // namespace qm::reading
