#pragma once
// FFmpeg-facing helpers for the media layer and the engine's converters. Only code that links
// FFmpeg includes this header; everything else sees FourCC formats and our own records.

#include <cstdint>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"

namespace qm::ffmpeg {

// AV_PIX_FMT_NONE for a format we do not know.
AVPixelFormat toAVPixelFormat(uint32_t pixelFormat);
// 0 for a format that has no FourCC here.
uint32_t fromAVPixelFormat(AVPixelFormat format);

// Plane pointers and strides of a buffer in the form libswscale and AVFrame take.
void planePointers(PixelBuffer& buffer, uint8_t* data[4], int linesize[4]);
void planePointers(const PixelBuffer& buffer, const uint8_t* data[4], int linesize[4]);

// Colour tags to and from FFmpeg's enumerations (unknown values become unspecified).
ColorTags colorTagsFrom(AVColorSpace space, AVColorPrimaries primaries, AVColorTransferCharacteristic transfer,
                        AVColorRange range);
AVColorSpace toAVColorSpace(ColorMatrix matrix);
AVColorPrimaries toAVColorPrimaries(ColorPrimaries primaries);
AVColorTransferCharacteristic toAVTransfer(TransferFunction transfer);
AVColorRange toAVColorRange(ColorRange range);

// A timestamp in a stream's time base; AV_NOPTS_VALUE gives invalid, a time base whose
// denominator does not fit the 32-bit scale is rescaled to microseconds.
MediaTime mediaTimeFrom(int64_t timestamp, AVRational timeBase);
// The timestamp of a time in the given time base (rounded), AV_NOPTS_VALUE for a non-numeric time.
int64_t timestampFrom(const MediaTime& time, AVRational timeBase);

}  // namespace qm::ffmpeg
