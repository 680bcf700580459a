#pragma once
// Whether the HEVC decoder made up a reference picture that a picture names but the stream lacks.
//
// libavcodec's HEVC decoder fills in such a reference in grey and decodes the picture from it
// without an error, even when told to return every error it meets: its only word is a line on its
// log. A picture decoded so is damaged (a sample dropped from the file, or damage that made the
// decoder lose a picture). The watch listens on the library's log for that line from the contexts
// it watches; every other line goes on to the library's own output unchanged.

#include <atomic>

struct AVCodecContext;

namespace qm::reading {

class MissingReferenceWatch {
public:
    MissingReferenceWatch();
    ~MissingReferenceWatch();
    MissingReferenceWatch(const MissingReferenceWatch&) = delete;
    MissingReferenceWatch& operator=(const MissingReferenceWatch&) = delete;

    // Watches a decoder context of the caller's own, through its `opaque` field (which the
    // decoder's frame threads copy), which must be unused otherwise.
    void watch(AVCodecContext* context);
    // Whether a missing reference was reported since the last call.
    bool take() { return seen_.exchange(false); }

    // The log's handler; public for the callback only.
    void report() { seen_ = true; }

private:
    std::atomic<bool> seen_{false};
};

}  // namespace qm::reading
