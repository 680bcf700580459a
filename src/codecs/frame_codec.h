#pragma once
// The two protocols through which the media engine handles GPU-codec frames: an encoder turns one
// BGRA pixel buffer into one compressed sample, a decoder turns one sample into a pixel buffer.
// One instance is used from many threads at once, so implementations keep no per-call state
// outside their own locks.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/conversion_error.h"
#include "platform/media/pixel_buffer.h"

namespace qm {

class CompressedFrameEncoder {
public:
    virtual ~CompressedFrameEncoder() = default;

    // FourCC of the written codec, for the output's format description.
    virtual uint32_t codecType() const = 0;
    // The format description's format name.
    virtual std::string formatName() const = 0;
    // One compressed frame; throws ConversionError.
    virtual std::vector<uint8_t> encode(const PixelBuffer& buffer) const = 0;
};

class CompressedFrameDecoder {
public:
    virtual ~CompressedFrameDecoder() = default;

    // The pixel format the decoder will write, given the one the caller would like; callers
    // allocate the destination in that format.
    virtual uint32_t outputPixelFormat(uint32_t requested) const = 0;
    // Decodes one sample into `into`; returns whether the picture carries alpha. Throws
    // ConversionError.
    virtual bool decode(const uint8_t* bytes, size_t size, PixelBuffer& into) const = 0;
};

}  // namespace qm
