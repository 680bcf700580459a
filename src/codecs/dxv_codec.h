#pragma once
// The DXV3 frame encoder object (our own writer) and the DXV frame decoder object (the codec
// library's unpacking, then the texture conversion).

#include <cstdint>
#include <string>
#include <vector>

#include "codecs/context_pool.h"
#include "codecs/frame_codec.h"
#include "lgpl/quillmere_lgpl.h"

namespace qm {

class DXVEncoder final : public CompressedFrameEncoder {
public:
    DXVEncoder(uint32_t codecType, std::string formatName, bool withAlpha, bool highQuality);

    uint32_t codecType() const override { return codecType_; }
    std::string formatName() const override { return formatName_; }
    bool withAlpha() const { return withAlpha_; }
    bool highQuality() const { return highQuality_; }

    // One DXV3 frame from a BGRA buffer. Throws ConversionError::encodeFailed.
    std::vector<uint8_t> encode(const PixelBuffer& buffer) const override;

private:
    const uint32_t codecType_;
    const std::string formatName_;
    const bool withAlpha_;
    const bool highQuality_;
};

class DXVDecoder final : public CompressedFrameDecoder {
public:
    // The frame size of the source.
    DXVDecoder(int width, int height) : width_(width), height_(height) {}
    DXVDecoder(const DXVDecoder&) = delete;
    DXVDecoder& operator=(const DXVDecoder&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }

    // Always 'BGRA'.
    uint32_t outputPixelFormat(uint32_t requested) const override;
    // Decodes one DXV frame into a BGRA buffer no larger than the frame's texture; returns whether
    // the picture carries alpha. Throws ConversionError::decodeFailed. Safe on many threads at once.
    bool decode(const uint8_t* bytes, size_t size, PixelBuffer& into) const override;

    // Library contexts waiting for the next decode.
    size_t idleContextCount() const { return contexts_.idleCount(); }

private:
    const int width_;
    const int height_;
    mutable ContextPool<qm_dxv_context, qm_dxv_create, qm_dxv_destroy> contexts_;
};

}  // namespace qm
