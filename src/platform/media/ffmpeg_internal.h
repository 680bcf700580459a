#pragma once
// FFmpeg-facing helpers for the media layer and the engine's converters. Only code that links
// FFmpeg includes this header; everything else sees FourCC formats and our own records.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
}

#include "platform/media/asset_reader.h"
#include "platform/media/media_asset.h"
#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"

struct AVCodecContext;
struct AVPacket;
struct SwrContext;
struct SwsContext;

namespace qm::ffmpeg {

// Owning pointers for the library objects the media layer allocates.
struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const;
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const;
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const;
};
struct SwrDeleter {
    void operator()(SwrContext* context) const;
};
struct SwsDeleter {
    void operator()(SwsContext* context) const;
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;

// A fresh packet or frame; out of memory throws MediaError "<step> (Cannot allocate memory)"
// rather than handing a null pointer to the library.
PacketPtr allocPacket(std::string_view step);
FramePtr allocFrame(std::string_view step);

// The interleaved or planar sample format of our audio buffers (24-bit samples sit in the upper
// bits of 32-bit words).
AVSampleFormat toAVSampleFormat(AudioSampleFormat format);

// AV_PIX_FMT_NONE for a format we do not know.
AVPixelFormat toAVPixelFormat(uint32_t pixelFormat);
// 0 for a format that has no FourCC here.
uint32_t fromAVPixelFormat(AVPixelFormat format);

// The Y'CbCr formats whose samples use the full range by their nature (the JPEG ones).
bool isFullRangeFormat(uint32_t pixelFormat);

// The FourCC that names a decoded picture's samples as they stand (0 when none does): 8-bit
// Y'CbCr that the stream marks full range takes the JPEG format of its layout, so that nothing
// mistakes it for video range.
uint32_t pixelFormatOf(const AVFrame& frame);

// A pixel buffer (in pixelFormatOf's format) over a decoded picture's own memory, holding a
// reference to it, or nullptr when the picture cannot be shared: a format with no FourCC, planes
// laid out other than pixel buffers lay them out, or memory the decoder still uses.
PixelBufferRef wrapFrame(const AVFrame& frame);

// A picture decoded by a library of another FFmpeg version into `frame`, by reference: its planes
// held read-only (later pictures may be predicted from them) until the frame's last reference
// goes, when release(picture) frees it. On failure (no such format, no memory) the picture is
// released at once and the error returned.
int adoptPicture(AVFrame* frame, AVPixelFormat format, int width, int height, const uint8_t* const planes[4],
                 const int32_t strides[4], void (*release)(void* picture, uint8_t*), void* picture);

// Plane pointers and strides of a buffer in the form libswscale and AVFrame take.
void planePointers(PixelBuffer& buffer, uint8_t* data[4], int linesize[4]);
void planePointers(const PixelBuffer& buffer, const uint8_t* data[4], int linesize[4]);

// Interleaves `rows` rows of planar 8-bit G, B, R (and A; without it opaque) as libswscale's
// GBRP/GBRAP lay them out into 4-byte pixels: bytes B, G, R, A when `bgra`, else R, G, B, A.
// Converting to planar RGB and packing here gives the very bytes libswscale's own packed
// full-chroma output does, several times faster.
void packPlanarRGB(const uint8_t* const planes[4], const int strides[4], int width, int rows, bool bgra, uint8_t* out,
                   size_t outStride);

// Colour tags to and from FFmpeg's enumerations (unknown values become unspecified).
ColorTags colorTagsFrom(AVColorSpace space, AVColorPrimaries primaries, AVColorTransferCharacteristic transfer,
                        AVColorRange range);
AVColorSpace toAVColorSpace(ColorMatrix matrix);
AVColorPrimaries toAVColorPrimaries(ColorPrimaries primaries);
AVColorTransferCharacteristic toAVTransfer(TransferFunction transfer);
AVColorRange toAVColorRange(ColorRange range);

// A colour description: as a coded stream gives it, or as a container states it.
struct ColourDescription {
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
    AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
};
ColourDescription colourOf(const AVCodecParameters& par);
// What a coded stream leaves unsaid in `coded` (its range too where `rangeUnsaid`), the
// container's description says, as FFmpeg's H.264 decoder has it; the rest stays the coded stream's.
ColourDescription describedWhereUnsaid(const ColourDescription& coded, const ColourDescription& container, bool rangeUnsaid);
// Where the stream's coded description leaves colour unsaid, its parameters take the container's:
// those that `container` held before a decoder's replaced them.
void describeWhereUnsaid(AVCodecParameters& par, const ColourDescription& container);
// A decoded picture's colour where its coded stream leaves it unsaid: the stream's parameters'
// (its container's, as opening the source keeps them).
void describeUnsaidColour(AVFrame& frame, const AVCodecParameters& stream);

// A timestamp in a stream's time base; AV_NOPTS_VALUE gives invalid, a time base whose
// denominator does not fit the 32-bit scale is rescaled to microseconds.
MediaTime mediaTimeFrom(int64_t timestamp, AVRational timeBase);
// The timestamp of a time in the given time base (rounded), AV_NOPTS_VALUE for a non-numeric time.
int64_t timestampFrom(const MediaTime& time, AVRational timeBase);

// A stream's own length: the one it stores or, where the container keeps it as a tag of the
// track (Matroska and WebM), that one. Invalid when neither says; the container's length, which
// covers every stream, is no stream's own.
MediaTime streamDuration(const AVStream& stream);
// The length a Matroska muxer wrote into the stream's DURATION tag (invalid without one): the
// only length of its own a Matroska track states. libavformat writes where the track's last frame
// ends, mkvmerge and mkvpropedit how long the track lasts from its first: read against `lastEnd`,
// where the track's last packet ends; without it, as an end.
MediaTime taggedDuration(const AVStream& stream, const MediaTime& lastEnd = MediaTime::invalid());

// --- Opening sources -------------------------------------------------------------------------

struct FormatContextDeleter {
    void operator()(AVFormatContext* context) const;
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;

enum class ContainerKind { none, movie, audio };

struct OpenedSource {
    FormatContextPtr context;  // null when the file's type is not one we read (kind none)
    std::string demuxerName;   // what the probe recognised, also when it is not ours
    ContainerKind kind = ContainerKind::none;
};

// Opens a local file (file protocol only, no URLs or nested protocols), recognises its type and,
// when it is one of the movie or audio containers we read, opens it and reads its stream
// information. Throws MediaError("open", ...) or MediaError("read stream info", ...).
// The reading position of the returned context is at the start of the file.
// `storedTimestampsOnly`: packets carry only the times the file stores; the library's guesses
// for the others (from the stream's first parameters, wrong once they change) are left out;
// except in Matroska, whose frames laced into a block after its first carry none: the library
// places them by the lengths of the frames before them.
OpenedSource openSource(const std::filesystem::path& path, bool storedTimestampsOnly = false);

// A stream's FourCC, most significant byte first: in QuickTime/MP4 the sample entry's tag; in
// other containers the codec's QuickTime tag (a Hap variant tag is kept; ProRes by profile);
// audio as the audio FourCCs ('lpcm', 'aac ', '.mp3', 'alac', 'flac', else the QuickTime tag).
// It does not look at frames, so a Hap stream without a variant tag reads "Hap1".
uint32_t codecTypeOf(const AVStream& stream, bool quickTimeContainer);
bool isHapVariantCode(uint32_t code);
// 'muxa' when the stream is HEVC carrying an alpha layer, else `codecType` unchanged. The
// configuration (hvcC) tells; where the parameter sets travel in the samples ('hev1', or a
// configuration without them) the first samples are read, and the context is sought back to its
// start afterwards.
uint32_t codecTypeWithAlphaLayer(AVFormatContext* context, int streamIndex, uint32_t codecType);

// FFmpeg tags are packed first character lowest; ours first character highest.
constexpr uint32_t fromFFmpegTag(uint32_t tag) {
    return ((tag & 0xFFu) << 24) | ((tag & 0xFF00u) << 8) | ((tag >> 8) & 0xFF00u) | (tag >> 24);
}

}  // namespace qm::ffmpeg
