#pragma once
// HEVC with an alpha layer: x265 (built with its alpha option) encodes the colour as the base layer
// and the alpha as an auxiliary layer (nuh_layer_id 1) of one stream. Samples come out as
// length-prefixed NAL units (4-byte sizes) and the parameter sets of both layers go into one hvcC
// record, so the movie's sample description alone tells a decoder about both layers.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/media/pixel_buffer.h"

namespace qm {

struct HevcAlphaSettings {
    int width = 0;   // even
    int height = 0;  // even
    // Frame rate as a fraction (0/0 when unknown: 30 is assumed for rate control).
    int rateNumerator = 0;
    int rateDenominator = 0;
    double quality = 0.65;       // 0...1; the alpha layer is coded at the colour's quantiser
    int maxKeyFrameInterval = 0; // 0: x265's default
};

struct HevcAlphaPacket {
    std::vector<uint8_t> data;  // both layers' NAL units of one picture, 4-byte length prefixes
    int64_t pts = 0;
    int64_t dts = 0;
    bool key = false;
};

class HevcAlphaEncoder {
public:
    // Opens x265 with two layers. Throws MediaError("video input", …) when it cannot.
    explicit HevcAlphaEncoder(const HevcAlphaSettings& settings);
    ~HevcAlphaEncoder();
    HevcAlphaEncoder(const HevcAlphaEncoder&) = delete;
    HevcAlphaEncoder& operator=(const HevcAlphaEncoder&) = delete;

    // The stream's hvcC record (ISO/IEC 14496-15): VPS, both SPS, both PPS and the
    // alpha_channel_info SEI.
    const std::vector<uint8_t>& decoderConfiguration() const { return hvcC_; }

    // Encodes one 'a420' picture (Y'CbCr 4:2:0 video range plus a full-range alpha plane) at `pts`
    // (any time base, increasing); returns the packets that are ready, in decoding order. Throws
    // MediaError("append", …).
    std::vector<HevcAlphaPacket> encode(const PixelBuffer& picture, int64_t pts);
    // Drains the pictures the encoder still holds. Throws MediaError("finish", …).
    std::vector<HevcAlphaPacket> flush();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    std::vector<uint8_t> hvcC_;
};

// Builds an hvcC record from Annex-B-free NAL units (each without a start code or length): profile,
// tier, level, chroma format and bit depths come from the first SPS of layer 0; one array per NAL
// type in the order VPS, SPS, PPS, prefix SEI, each marked complete; 4-byte lengths. Throws
// MediaError("video input", …) when there is no layer-0 SPS or it cannot be read.
std::vector<uint8_t> hevcDecoderConfiguration(const std::vector<std::span<const uint8_t>>& nalUnits);

}  // namespace qm
