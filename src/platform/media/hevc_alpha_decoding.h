#pragma once
// Decoding of HEVC with an alpha layer ('muxa' tracks) through the private library that carries a
// decoder of both layers, in the source reader's terms: samples as libavformat demuxes them, pictures
// as AVFrames of the system's FFmpeg, so that they are converted exactly as every other decoder's.
// Where the program was built without that library, such tracks go to libavcodec, which gives the
// colour layer alone.

#include <memory>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

namespace qm::reading {

class HevcAlphaDecoding {
public:
    // Whether this build carries the decoder of both layers.
    static bool available();
    // Whether the stream's samples are whole access units described by an hvcC record (QuickTime, MP4,
    // Matroska). Byte streams such as MPEG-TS come from Debian's demuxer split between the layers,
    // which the decoder of both layers cannot join: those go to libavcodec, colour layer alone.
    static bool readsSamplesOf(const AVStream* stream);
    // A decoder for the stream (its hvcC as configuration); throws MediaError("decoder", ...).
    static std::unique_ptr<HevcAlphaDecoding> open(const AVStream* stream, int threads);
    ~HevcAlphaDecoding();
    HevcAlphaDecoding(const HevcAlphaDecoding&) = delete;
    HevcAlphaDecoding& operator=(const HevcAlphaDecoding&) = delete;

    // As avcodec_send_packet and avcodec_receive_frame, with the same result codes; a sample flagged
    // AV_PKT_FLAG_DISCARD (left out by an edit list) is decoded but gives no picture. The pictures
    // are Y'CbCr 4:2:0 with alpha (yuva420p, yuva420p10le) where the stream has its alpha layer,
    // their memory held by reference and read-only.
    int send(const AVPacket* packet, bool skipUnreferenced);
    int receive(AVFrame* frame);

    // receive's result for a picture whose alpha layer was not decoded: the picture is dropped,
    // never handed out with an alpha plane nothing was decoded into.
    static const int kAlphaNotDecoded;
    // receive's result for a sample sent that gave no picture at all.
    static const int kPictureNotDecoded;
    // The time of the last picture or sample refused so, or of the sample the decoder failed on,
    // in the stream's time base.
    int64_t droppedTime() const;
    // Why the decoder refused a sample or picture, in words for the user.
    static std::string reasonFor(int code);

private:
    struct Private;
    explicit HevcAlphaDecoding(std::unique_ptr<Private> p);
    std::unique_ptr<Private> p_;
};

}  // namespace qm::reading
