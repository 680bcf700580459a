#pragma once
// What the video and audio sample readers share: opening a source the way the probe does,
// finding and isolating a stream, seeking and opening its decoder; and the conversion of decoded
// pictures into pixel buffers.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/media/ffmpeg_internal.h"
#include "platform/media/scaler.h"
#include "platform/media/transport_packets.h"

namespace qm::reading {

using FormatPtr = ffmpeg::FormatContextPtr;
using CodecPtr = ffmpeg::CodecContextPtr;
using PacketPtr = ffmpeg::PacketPtr;
using FramePtr = ffmpeg::FramePtr;

// Through the shared opener, so the reader refuses exactly what the probe refuses: local files
// only, the movie and audio demuxers we read, no absurd picture sizes. `video` says whether the
// caller wants pictures: those come only from movie containers.
ffmpeg::FormatContextPtr openFormat(const std::filesystem::path& file, bool video, bool storedTimestampsOnly = false);

// The first stream of a type; cover pictures stored as video streams are not tracks.
int firstStream(AVFormatContext* format, AVMediaType type);

void discardAllBut(AVFormatContext* format, int keep);

// Container tags are stored least significant byte first; ours read most significant first.
uint32_t codecTypeOf(const AVCodecParameters* par, bool video);

// The size of the length field before each unit of an H.264 or HEVC sample, from the avcC record's
// fifth byte or the hvcC record's 22nd; 0 where the units follow start codes.
int unitLengthSize(const AVCodecParameters* par);

// Whether a read of `stream` from the file's start shows its first sample's picture first, at the
// stream's start, as far as the first sample tells without decoding: a key frame that is no H.264
// or HEVC picture, or an IDR one. False where a decoder may give no picture for the first samples
// (a stream begun mid-way, at an H.264 recovery point, at an HEVC CRA). Reads from the start
// (`rewind`: seeks there first) and leaves the demuxer wherever it got.
bool firstSampleShowsFirst(AVFormatContext* format, int stream, bool rewind);

// The time of the first picture a read of the file's first video track from its start gives, where
// it comes after `trackStart`; else `trackStart` (also where the read fails before any picture).
MediaTime firstDecodedPicture(const std::filesystem::path& file, const MediaTime& trackStart);

// To the key frame at or before the time; a failed seek reads from the beginning instead.
void seekNear(AVFormatContext* format, int stream, const MediaTime& start);

ffmpeg::CodecContextPtr openDecoder(const AVStream* st, int threads, bool frameThreads);

// The earliest presentation stamp among the samples of the stream that the file's index lists
// but whose bytes lie past the end of the file (an interrupted download or copy): from it on the
// stream's pictures are not whole. Nothing when the file holds every sample its index lists.
std::optional<int64_t> firstMissingSample(AVFormatContext* format, int stream, const std::filesystem::path& file);

// What the end of a Matroska file says of it (other files say nothing here): whether it ends
// inside an element shorter than its stated length, and whether it stated a length that it lacks
// (a segment longer than the file).
struct FileEnd {
    bool cutShort = false;
    bool lengthDeclared = false;
};
FileEnd fileEnd(const AVFormatContext* format, const std::filesystem::path& file);

// How an MPEG-TS file ends among the transport packets of the stream (TransportPackets::end());
// `outside` for other files.
TransportEnd transportEnd(const AVFormatContext* format, int stream, const std::filesystem::path& file);
// Whether a 188-byte transport packet carries payload shortened by stuffing in its adaptation
// field: the sample it carries ends in it. Unknown fields (private data, an extension) say no.
bool stuffedTransportPacket(const uint8_t* p);

// Decoded pictures as pixel buffers in the format asked for (0: the frame's own, else 8-bit or
// 16-bit RGBA by depth), at their own size or scaled. One scaler with its pool for pictures at
// the source's size, one for scaled ones, so that a caller asking for both rebuilds neither.
// Throws MediaError("pixel transfer", ...).
class FramePictures {
public:
    explicit FramePictures(uint32_t pixelFormat) : pixelFormat_(pixelFormat) {}
    // width × height 0: the frame's own size.
    PixelBufferRef picture(const AVFrame* frame, int width = 0, int height = 0);

private:
    struct Conversion {
        Scaler scaler;
        PixelBufferPoolRef pool;
        std::vector<uint8_t> planes;  // planar RGB on its way to packed pixels
    };
    PixelBufferRef converted(const AVFrame* frame, Conversion& conversion, uint32_t target, int width, int height,
                             const ColorTags& sourceTags);

    uint32_t pixelFormat_;
    Conversion same_, scaled_;
};

}  // namespace qm::reading
