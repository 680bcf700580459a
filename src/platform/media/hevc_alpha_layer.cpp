#include "platform/media/hevc_alpha_layer.h"

#include <algorithm>
#include <array>
#include <vector>

#include "platform/media/rbsp_bits.h"

namespace qm {
namespace {

constexpr int kVps = 32;
constexpr int kSps = 33;
constexpr int kPrefixSei = 39;
constexpr int kAlphaChannelInfo = 165;
constexpr int kAuxiliaryScalability = 3;  // the scalability mask bit of auxiliary pictures
constexpr unsigned kAuxAlpha = 1;         // AuxId of an alpha plane (2 is depth)
// Parameter sets and SEI units are small; anything longer is not worth unescaping.
constexpr size_t kLongestUnit = 1 << 16;

void skipProfileTierLevel(Bits& b, bool profilePresent, unsigned maxSubLayersMinus1) {
    if (profilePresent) b.skip(88);
    b.skip(8);  // general_level_idc
    std::array<bool, 8> subProfile{}, subLevel{};
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        subProfile[i] = b.u(1) != 0;
        subLevel[i] = b.u(1) != 0;
    }
    if (maxSubLayersMinus1 > 0) b.skip(2 * (8 - maxSubLayersMinus1));
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        if (subProfile[i]) b.skip(88);
        if (subLevel[i]) b.skip(8);
    }
}

// A video parameter set whose extension declares a layer of auxiliary alpha pictures.
bool vpsDeclaresAlphaLayer(const std::vector<uint8_t>& rbsp) {
    Bits b(rbsp);
    b.skip(4);  // vps_video_parameter_set_id
    const bool baseLayerInternal = b.u(1) != 0;
    b.skip(1);  // vps_base_layer_available_flag
    const unsigned maxLayersMinus1 = b.u(6);
    const unsigned maxSubLayersMinus1 = b.u(3);
    b.skip(1 + 16);
    if (maxLayersMinus1 == 0 || maxSubLayersMinus1 > 6) return false;
    skipProfileTierLevel(b, true, maxSubLayersMinus1);
    const bool orderingForEach = b.u(1) != 0;
    for (unsigned i = orderingForEach ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
        b.ue();
        b.ue();
        b.ue();
    }
    const unsigned maxLayerId = b.u(6);
    const unsigned layerSetsMinus1 = b.ue();
    if (b.failed() || layerSetsMinus1 > 1023) return false;
    b.skip(size_t(layerSetsMinus1) * (maxLayerId + 1));
    if (b.u(1) != 0) {  // timing information
        b.skip(64);
        if (b.u(1) != 0) b.ue();
        // Hypothetical decoder parameters take a parser of their own; encoders of alpha
        // layers leave them out, and the SEI message still tells.
        if (b.ue() != 0) return false;
    }
    if (b.u(1) == 0 || b.failed()) return false;  // no extension
    while (!b.aligned()) b.skip(1);
    if (baseLayerInternal) skipProfileTierLevel(b, false, maxSubLayersMinus1);
    const bool splitting = b.u(1) != 0;
    std::array<bool, 16> mask{};
    int types = 0, auxIndex = -1;
    for (int i = 0; i < 16; ++i) {
        mask[i] = b.u(1) != 0;
        if (mask[i] && i == kAuxiliaryScalability) auxIndex = types;
        types += mask[i];
    }
    if (auxIndex < 0 || b.failed()) return false;
    std::array<unsigned, 16> lengths{};
    for (int j = 0; j < types - int(splitting); ++j) lengths[j] = b.u(3) + 1;
    if (splitting) {
        unsigned used = 0;
        for (int j = 0; j + 1 < types; ++j) used += lengths[j];
        if (used > 6) return false;
        lengths[types - 1] = 6 - used;
    }
    const bool layerIdsPresent = b.u(1) != 0;
    for (unsigned i = 1; i <= maxLayersMinus1; ++i) {
        const unsigned layerId = layerIdsPresent ? b.u(6) : i;
        unsigned auxId = 0;
        if (splitting) {
            unsigned offset = 0;
            for (int j = 0; j < auxIndex; ++j) offset += lengths[j];
            auxId = (layerId >> offset) & ((1u << lengths[auxIndex]) - 1);
        } else {
            for (int j = 0; j < types; ++j) {
                const unsigned value = b.u(int(lengths[j]));
                if (j == auxIndex) auxId = value;
            }
        }
        if (b.failed()) return false;
        if (auxId == kAuxAlpha) return true;
    }
    return false;
}

// A prefix SEI unit holding alpha channel information that is not a cancellation.
bool seiHasAlphaChannelInfo(const std::vector<uint8_t>& rbsp) {
    size_t at = 0;
    // Each message: its type and size in bytes of 255 plus a last byte, then its payload. The
    // trailing bits (0x80) end the unit.
    while (at + 2 <= rbsp.size()) {
        unsigned type = 0, size = 0;
        while (at < rbsp.size() && rbsp[at] == 0xFF) type += rbsp[at++];
        if (at >= rbsp.size()) return false;
        type += rbsp[at++];
        while (at < rbsp.size() && rbsp[at] == 0xFF) size += rbsp[at++];
        if (at >= rbsp.size()) return false;
        size += rbsp[at++];
        if (size > rbsp.size() - at) return false;
        if (type == kAlphaChannelInfo) return size > 0 && (rbsp[at] & 0x80) == 0;
        at += size;
    }
    return false;
}

void skipScalingListData(Bits& b) {
    for (int size = 0; size < 4; ++size)
        for (int matrix = 0; matrix < 6; matrix += size == 3 ? 3 : 1) {
            if (b.u(1) == 0) {  // predicted from another matrix
                b.ue();
                continue;
            }
            if (size > 1) b.ue();  // the DC coefficient (an se(v), as long as a ue(v))
            for (int i = 0; i < std::min(64, 1 << (4 + 2 * size)); ++i) b.ue();
        }
}

// Whether a sequence parameter set's VUI states the video signal type (the range, and the colour
// description within it); nothing where it can't be read.
std::optional<bool> spsStatesSignalType(const std::vector<uint8_t>& rbsp) {
    Bits b(rbsp);
    b.skip(4);  // sps_video_parameter_set_id
    const unsigned maxSubLayersMinus1 = b.u(3);
    b.skip(1);
    if (maxSubLayersMinus1 > 6) return std::nullopt;
    skipProfileTierLevel(b, true, maxSubLayersMinus1);
    b.ue();                      // sps_seq_parameter_set_id
    if (b.ue() == 3) b.skip(1);  // chroma_format_idc, separate_colour_plane_flag
    b.ue();
    b.ue();  // the picture's size
    if (b.u(1) != 0)
        for (int i = 0; i < 4; ++i) b.ue();  // conformance window
    b.ue();
    b.ue();  // bit depths
    const unsigned pocLsbBits = b.ue() + 4;
    const bool orderingForEach = b.u(1) != 0;
    for (unsigned i = orderingForEach ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i)
        for (int j = 0; j < 3; ++j) b.ue();
    for (int i = 0; i < 6; ++i) b.ue();  // block sizes and transform depths
    if (b.u(1) != 0 && b.u(1) != 0) skipScalingListData(b);
    b.skip(2);          // amp, sample adaptive offset
    if (b.u(1) != 0) {  // PCM
        b.skip(8);
        b.ue();
        b.ue();
        b.skip(1);
    }
    const unsigned sets = b.ue();
    if (sets > 64 || pocLsbBits > 16) return std::nullopt;
    // Short-term reference picture sets; one predicted from the set before it has an entry for each
    // picture of that set and one more, and holds those it uses.
    std::vector<unsigned> pictures;
    for (unsigned i = 0; i < sets && !b.failed(); ++i) {
        unsigned count = 0;
        if (i > 0 && b.u(1) != 0) {
            b.skip(1);
            b.ue();  // the difference of picture order
            for (unsigned j = 0; j <= pictures.back(); ++j) {
                const bool used = b.u(1) != 0;
                count += used || b.u(1) != 0;
            }
        } else {
            const unsigned negative = b.ue(), positive = b.ue();
            if (negative > 16 || positive > 16) return std::nullopt;
            count = negative + positive;
            for (unsigned j = 0; j < count; ++j) {
                b.ue();
                b.skip(1);
            }
        }
        pictures.push_back(count);
    }
    if (b.u(1) != 0) {  // long-term reference pictures
        const unsigned count = b.ue();
        if (count > 32) return std::nullopt;
        b.skip(size_t(count) * (pocLsbBits + 1));
    }
    b.skip(2);  // temporal motion vectors, strong intra smoothing
    bool stated = false;
    if (b.u(1) != 0) {  // VUI
        if (b.u(1) != 0 && b.u(8) == 255) b.skip(32);  // sample aspect ratio
        if (b.u(1) != 0) b.skip(1);                     // overscan
        stated = b.u(1) != 0;
    }
    if (b.failed()) return std::nullopt;
    return stated;
}

}  // namespace

std::vector<HevcUnit> splitHevcUnits(const uint8_t* data, size_t size, int lengthSize, bool* whole) {
    std::vector<HevcUnit> units;
    if (whole != nullptr) *whole = true;
    if (data == nullptr) return units;
    if (lengthSize > 0) {
        const auto field = size_t(lengthSize);
        for (size_t at = 0; size - at > field;) {
            size_t length = 0;
            for (size_t i = 0; i < field; ++i) length = length << 8 | data[at + i];
            if (length > size - at - field) {
                if (whole != nullptr) *whole = false;
                break;
            }
            units.push_back({at, at + field, at + field + length});
            at = units.back().end;
        }
        return units;
    }
    for (size_t i = 0; i + 3 <= size; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
        if (!units.empty()) units.back().end = i;
        units.push_back({i, i + 3, size});
        i += 2;
    }
    return units;
}

void HevcAlphaLayerScan::addNalUnit(const uint8_t* data, size_t size) {
    if (data == nullptr || size < 3 || size > kLongestUnit) return;
    if ((data[0] & 0x80) != 0) return;  // forbidden_zero_bit: not a NAL unit
    const int type = data[0] >> 1 & 0x3F;
    if (configuring_ && type >= kVps && type <= kVps + 2) configurationParameterSets_ = true;
    const bool baseLayer = (data[0] & 1) == 0 && data[1] >> 3 == 0;
    if (type == kSps && baseLayer && !signalTypeStated_) signalTypeStated_ = spsStatesSignalType(rbspOf(data, size, 2));
    if (alphaLayer_ || (type != kVps && type != kPrefixSei)) return;
    const std::vector<uint8_t> rbsp = rbspOf(data, size, 2);
    alphaLayer_ = type == kVps ? vpsDeclaresAlphaLayer(rbsp) : seiHasAlphaChannelInfo(rbsp);
}

void HevcAlphaLayerScan::addAnnexB(const uint8_t* data, size_t size) {
    // Zero bytes before a start code belong to it.
    const std::vector<HevcUnit> units = splitHevcUnits(data, size, 0);
    for (size_t i = 0; i < units.size() && !alphaLayer_; ++i) {
        size_t end = units[i].end;
        if (i + 1 < units.size())
            while (end > units[i].header && data[end - 1] == 0) --end;
        addNalUnit(data + units[i].header, end - units[i].header);
    }
}

void HevcAlphaLayerScan::addConfiguration(const uint8_t* data, size_t size) {
    if (data == nullptr || size < 4) return;
    if (data[0] == 0) {
        configuring_ = true;
        addAnnexB(data, size);
        configuring_ = false;
        return;
    }
    if (data[0] != 1 || size < 23) return;  // configurationVersion 1
    nalLengthSize_ = (data[21] & 3) + 1;
    size_t at = 23;
    for (unsigned array = 0, arrays = data[22]; array < arrays && at + 3 <= size; ++array) {
        const int type = data[at] & 0x3F;
        const unsigned count = unsigned(data[at + 1]) << 8 | data[at + 2];
        at += 3;
        if (type >= 32 && type <= 34 && count > 0) configurationParameterSets_ = true;
        for (unsigned i = 0; i < count && at + 2 <= size; ++i) {
            const size_t length = size_t(data[at]) << 8 | data[at + 1];
            at += 2;
            if (length > size - at) return;
            addNalUnit(data + at, length);
            at += length;
        }
    }
}

void HevcAlphaLayerScan::addSample(const uint8_t* data, size_t size) {
    if (data == nullptr || size < 4) return;
    if (data[0] == 0 && data[1] == 0 && (data[2] == 1 || (data[2] == 0 && data[3] == 1))) {
        addAnnexB(data, size);
        return;
    }
    for (const HevcUnit& u : splitHevcUnits(data, size, nalLengthSize_)) {
        if (alphaLayer_) return;
        addNalUnit(data + u.header, u.end - u.header);
    }
}

bool hevcConfigurationHasAlphaLayer(const uint8_t* data, size_t size) {
    HevcAlphaLayerScan scan;
    scan.addConfiguration(data, size);
    return scan.hasAlphaLayer();
}

std::optional<bool> hevcConfigurationStatesSignalType(const uint8_t* data, size_t size) {
    HevcAlphaLayerScan scan;
    scan.addConfiguration(data, size);
    return scan.signalTypeStated();
}

}  // namespace qm
