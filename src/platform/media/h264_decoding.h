#pragma once
// Decoding of H.264 through the private library's decoder, in the source reader's terms: samples as
// libavformat demuxes them, pictures as AVFrames of the system's FFmpeg with the fields libavcodec
// would give, so that they are converted exactly as every other decoder's. It decodes on every core
// (frame threads) and marks each damaged picture (decode_error_flags) in every run; Debian's decoder
// does neither reliably. Where the program was built without that library, H.264 goes to libavcodec.

#include <memory>

extern "C" {
#include <libavformat/avformat.h>
}

namespace qm::reading {

class H264Decoding {
public:
    // Whether this build carries the decoder.
    static bool available();
    // A decoder for the stream; throws MediaError("decoder", ...).
    static std::unique_ptr<H264Decoding> open(const AVStream* stream, int threads);
    ~H264Decoding();
    H264Decoding(const H264Decoding&) = delete;
    H264Decoding& operator=(const H264Decoding&) = delete;

    // As avcodec_send_packet and avcodec_receive_frame, with the same result codes. The pictures'
    // memory is held by reference and read-only.
    int send(const AVPacket* packet, bool skipUnreferenced);
    int receive(AVFrame* frame);
    // As AVCodecContext's has_b_frames.
    int reorderDepth() const;
    // Whether a sample's error comes back with a later sample's.
    bool frameThreads() const;

private:
    struct Private;
    explicit H264Decoding(std::unique_ptr<Private> p);
    std::unique_ptr<Private> p_;
};

}  // namespace qm::reading
