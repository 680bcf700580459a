#pragma once
// The Hap flavours and the Hap frame encoder and decoder objects.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codecs/context_pool.h"
#include "codecs/frame_codec.h"
#include "codecs/texture_codec.h"

namespace qm {

// The working memory of one Hap encode or decode (textures, packed frame, scratch), reused from
// frame to frame by the object that made it and freed with that object.
struct HapWorkBuffers;
HapWorkBuffers* makeHapWorkBuffers();
void freeHapWorkBuffers(HapWorkBuffers* buffers);
using HapWorkPool = ContextPool<HapWorkBuffers, makeHapWorkBuffers, freeHapWorkBuffers>;

// A Hap codec FourCC with the textures its frames carry, in order.
struct HapVariant {
    uint32_t codecType = 0;
    std::vector<qm_texture_format> textures;
    bool operator==(const HapVariant&) const = default;
};

// "Hap1" DXT1, "Hap5" DXT5, "HapY" scaled YCoCg, "HapM" scaled YCoCg + BC4 alpha, "HapA" BC4 alpha;
// any other codec type has no variant.
std::optional<HapVariant> hapVariantForCodecType(uint32_t codecType);

// The container's texture nibble of a texture format, and back.
uint8_t hapTextureNibble(qm_texture_format format);
std::optional<qm_texture_format> hapTextureFormat(uint8_t nibble);

class HapEncoder final : public CompressedFrameEncoder {
public:
    // chunkCount is passed to the container as it stands (values below 2 write unchunked sections,
    // above 64 count as 64).
    HapEncoder(std::string formatName, HapVariant variant, int chunkCount, bool highQuality);

    uint32_t codecType() const override { return variant_.codecType; }
    std::string formatName() const override { return formatName_; }
    const HapVariant& variant() const { return variant_; }
    int chunkCount() const { return chunkCount_; }
    bool highQuality() const { return highQuality_; }

    // Encodes a 32-bit BGRA buffer into one Hap frame. Throws ConversionError::encodeFailed.
    std::vector<uint8_t> encode(const PixelBuffer& buffer) const override;

private:
    const std::string formatName_;
    const HapVariant variant_;
    const int chunkCount_;
    const bool highQuality_;
    mutable HapWorkPool work_;
};

class HapDecoder final : public CompressedFrameDecoder {
public:
    // The frame size of the source.
    HapDecoder(int width, int height) : width_(width), height_(height) {}

    int width() const { return width_; }
    int height() const { return height_; }

    // Always 'BGRA'.
    uint32_t outputPixelFormat(uint32_t requested) const override;
    // Decodes one Hap frame into a BGRA buffer of at least the frame size; returns whether the
    // picture carries alpha. Throws ConversionError::decodeFailed.
    bool decode(const uint8_t* bytes, size_t size, PixelBuffer& into) const override;

private:
    const int width_;
    const int height_;
    mutable HapWorkPool work_;
};

}  // namespace qm
