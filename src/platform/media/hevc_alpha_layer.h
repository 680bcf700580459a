#pragma once
// Whether an HEVC stream carries an alpha layer: an auxiliary picture layer whose video parameter
// set extension gives it the alpha kind, or an alpha channel information SEI message. Libraries
// older than the layered HEVC decoders see such a stream as plain HEVC and drop the alpha, so the
// probe looks at the parameter sets itself. Nothing here depends on FFmpeg.

#include <cstddef>
#include <cstdint>

#include <optional>
#include <vector>

namespace qm {

// One NAL unit of a sample: its length field or start code from `begin`, its two-byte header from
// `header`, up to `end` (in a byte stream, the next start code).
struct HevcUnit {
    size_t begin = 0, header = 0, end = 0;
};
// The units of a sample whose units carry length fields of `lengthSize` bytes, or with 0 follow
// start codes (00 00 01). `whole` is cleared where a length field runs past the sample; the units
// before it are still given.
std::vector<HevcUnit> splitHevcUnits(const uint8_t* data, size_t size, int lengthSize, bool* whole = nullptr);

class HevcAlphaLayerScan {
public:
    // An hvcC record (its arrays of parameter sets and SEI units), or Annex B bytes as some
    // containers keep them. An hvcC also sets the length size of the samples' NAL units.
    void addConfiguration(const uint8_t* data, size_t size);
    // One sample: NAL units with length prefixes of the configuration's size (4 when no hvcC was
    // given), or Annex B bytes when the sample starts with a start code.
    void addSample(const uint8_t* data, size_t size);
    // One NAL unit, from its two-byte header on, still with its emulation prevention bytes.
    void addNalUnit(const uint8_t* data, size_t size);

    bool hasAlphaLayer() const { return alphaLayer_; }
    // An hvcC held parameter sets: the stream's own sample description is complete enough.
    bool configurationHasParameterSets() const { return configurationParameterSets_; }
    // Whether the base layer's first sequence parameter set states the video signal type (range
    // and colour description); nothing before one is read, or where it can't be.
    std::optional<bool> signalTypeStated() const { return signalTypeStated_; }

private:
    void addAnnexB(const uint8_t* data, size_t size);
    bool alphaLayer_ = false;
    std::optional<bool> signalTypeStated_;
    bool configurationParameterSets_ = false;
    bool configuring_ = false;
    int nalLengthSize_ = 4;
};

// The configuration (hvcC or Annex B) alone.
bool hevcConfigurationHasAlphaLayer(const uint8_t* data, size_t size);
// Whether the configuration's sequence parameter set states the video signal type: HEVC decoders
// give limited range where it does not, as where it states that.
std::optional<bool> hevcConfigurationStatesSignalType(const uint8_t* data, size_t size);

}  // namespace qm
