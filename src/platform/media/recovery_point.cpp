#include "platform/media/recovery_point.h"

#include <algorithm>
#include <functional>
#include <vector>

#include "platform/media/rbsp_bits.h"

namespace qm::reading {

namespace {

constexpr int kSliceUnit = 1, kIdrSliceUnit = 5, kSeiUnit = 6, kSpsUnit = 7;
constexpr int kRecoveryPointMessage = 6;
constexpr int kHevcRaslN = 8, kHevcRaslR = 9, kHevcFirstNonSlice = 32;

// Calls `unit` with each unit in turn until it returns true.
void eachUnit(const uint8_t* data, size_t size, int lengthSize, const std::function<bool(const uint8_t*, size_t)>& unit) {
    if (lengthSize > 0) {
        for (size_t at = 0; at + size_t(lengthSize) <= size;) {
            size_t length = 0;
            for (int i = 0; i < lengthSize; ++i) length = length << 8 | data[at + size_t(i)];
            at += size_t(lengthSize);
            if (length == 0 || length > size - at || unit(data + at, length)) return;
            at += length;
        }
        return;
    }
    // Units after start codes: each runs to the next start code.
    std::optional<size_t> begin;
    for (size_t i = 0; i + 3 <= size; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
        if (begin) {
            size_t end = i;
            while (end > *begin && data[end - 1] == 0) --end;
            if (end > *begin && unit(data + *begin, end - *begin)) return;
        }
        begin = i + 3;
        i += 2;
    }
    if (begin && size > *begin) unit(data + *begin, size - *begin);
}

// The recovery_frame_cnt of an SEI unit's recovery point message.
std::optional<int> recoveryFrames(const uint8_t* unit, size_t size) {
    const std::vector<uint8_t> rbsp = rbspOf(unit, size, 1);
    for (size_t at = 0; at + 1 < rbsp.size() && rbsp[at] != 0x80;) {
        int type = 0, length = 0;
        while (at < rbsp.size() && rbsp[at] == 0xFF) type += rbsp[at++];
        if (at >= rbsp.size()) break;
        type += rbsp[at++];
        while (at < rbsp.size() && rbsp[at] == 0xFF) length += rbsp[at++];
        if (at >= rbsp.size()) break;
        length += rbsp[at++];
        if (at + size_t(length) > rbsp.size()) break;
        if (type == kRecoveryPointMessage) {
            const std::vector<uint8_t> message(rbsp.begin() + long(at), rbsp.begin() + long(at) + length);
            Bits bits(message);
            const unsigned count = bits.ue();
            if (bits.failed() || count > 0xFFFF) return std::nullopt;
            return int(count);
        }
        at += size_t(length);
    }
    return std::nullopt;
}

// What a slice header needs of the sequence parameter set to reach frame_num.
struct FrameNumberField {
    int bits = 0;
    bool colourPlane = false;
};

void skipScalingList(Bits& b, int size) {
    for (int j = 0, last = 8, next = 8; j < size && !b.failed(); ++j) {
        if (next != 0) {
            const unsigned code = b.ue();
            const int delta = code % 2 == 1 ? int((code + 1) / 2) : -int(code / 2);
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

std::optional<FrameNumberField> frameNumberField(const uint8_t* unit, size_t size) {
    const std::vector<uint8_t> rbsp = rbspOf(unit, size, 1);
    Bits b(rbsp);
    const unsigned profile = b.u(8);
    b.skip(16);  // constraint flags, level
    b.ue();      // seq_parameter_set_id
    FrameNumberField field;
    for (const unsigned high : {100u, 110u, 122u, 244u, 44u, 83u, 86u, 118u, 128u, 138u, 139u, 134u, 135u}) {
        if (profile != high) continue;
        const unsigned chroma = b.ue();
        if (chroma == 3) field.colourPlane = b.u(1) != 0;
        b.ue();     // bit_depth_luma_minus8
        b.ue();     // bit_depth_chroma_minus8
        b.skip(1);  // qpprime_y_zero_transform_bypass_flag
        if (b.u(1) != 0)
            for (int i = 0; i < (chroma == 3 ? 12 : 8); ++i)
                if (b.u(1) != 0) skipScalingList(b, i < 6 ? 16 : 64);
    }
    field.bits = int(b.ue()) + 4;
    if (b.failed() || field.bits > 16) return std::nullopt;
    return field;
}

std::optional<unsigned> frameNumber(const uint8_t* unit, size_t size, const FrameNumberField& field) {
    const std::vector<uint8_t> rbsp = rbspOf(unit, size, 1);
    Bits b(rbsp);
    b.ue();  // first_mb_in_slice
    b.ue();  // slice_type
    b.ue();  // pic_parameter_set_id
    if (field.colourPlane) b.skip(2);
    const unsigned number = b.u(field.bits);
    if (b.failed()) return std::nullopt;
    return number;
}

std::optional<FrameNumberField> configured(const uint8_t* config, size_t size) {
    std::optional<FrameNumberField> field;
    const auto sps = [&](const uint8_t* unit, size_t length) {
        if ((unit[0] & 0x1F) == kSpsUnit) field = frameNumberField(unit, length);
        return (unit[0] & 0x1F) == kSpsUnit;
    };
    // An avcC record lists its sequence parameter sets after six bytes, each after its length.
    if (config != nullptr && size >= 8 && config[0] == 1) {
        if ((config[5] & 0x1F) > 0) eachUnit(config + 6, size - 6, 2, sps);
    } else if (config != nullptr) {
        eachUnit(config, size, 0, sps);
    }
    return field;
}

}  // namespace

bool mayLeadPredecessor(const uint8_t* data, size_t size, int lengthSize, bool hevc) {
    std::optional<bool> leads;
    eachUnit(data, size, lengthSize, [&](const uint8_t* unit, size_t length) {
        if (hevc) {
            const int type = unit[0] >> 1 & 0x3F;
            if (type < kHevcFirstNonSlice) leads = type == kHevcRaslN || type == kHevcRaslR;
        } else if (const int type = unit[0] & 0x1F; type == kSliceUnit || type == kIdrSliceUnit) {
            // The two fields lie in the slice header's first bytes.
            const std::vector<uint8_t> rbsp = rbspOf(unit, std::min<size_t>(length, 16), 1);
            Bits b(rbsp);
            b.ue();  // first_mb_in_slice
            const unsigned sliceType = b.ue();
            leads = !b.failed() && sliceType % 5 == 1;
        }
        return leads.has_value();
    });
    return leads.value_or(false);
}

bool unreferencedH264(const uint8_t* data, size_t size, int lengthSize) {
    bool slices = false, referred = false;
    eachUnit(data, size, lengthSize, [&](const uint8_t* unit, size_t) {
        if (const int type = unit[0] & 0x1F; type == kSliceUnit || type == kIdrSliceUnit) {
            slices = true;
            referred = (unit[0] >> 5 & 3) != 0;
        }
        return referred;
    });
    return slices && !referred;
}

namespace {

// The unit type of a sample's first slice (H.264 or HEVC numbering); nothing without a slice.
std::optional<int> firstSliceType(const uint8_t* data, size_t size, int lengthSize, bool hevc) {
    std::optional<int> found;
    eachUnit(data, size, lengthSize, [&](const uint8_t* unit, size_t) {
        const int type = hevc ? unit[0] >> 1 & 0x3F : unit[0] & 0x1F;
        if (hevc ? type < kHevcFirstNonSlice : type == kSliceUnit || type == kIdrSliceUnit) found = type;
        return found.has_value();
    });
    return found;
}

}  // namespace

bool beginsDecoding(const uint8_t* data, size_t size, int lengthSize, bool hevc) {
    // HEVC's IRAP pictures (BLA, IDR, CRA) are its types 16 to 23; H.264's IDR slices type 5.
    const std::optional<int> type = firstSliceType(data, size, lengthSize, hevc);
    return type && (hevc ? *type >= 16 && *type <= 23 : *type == kIdrSliceUnit);
}

bool beginsAtInstantRefresh(const uint8_t* data, size_t size, int lengthSize, bool hevc) {
    constexpr int kHevcIdrWithLeading = 19, kHevcIdrAlone = 20;
    const std::optional<int> type = firstSliceType(data, size, lengthSize, hevc);
    return type && (hevc ? *type == kHevcIdrWithLeading || *type == kHevcIdrAlone : *type == kIdrSliceUnit);
}

std::optional<RecoveryPoint> recoveryPoint(const uint8_t* data, size_t size, int lengthSize, const uint8_t* config,
                                           size_t configSize) {
    std::optional<RecoveryPoint> point;
    std::optional<FrameNumberField> field;
    eachUnit(data, size, lengthSize, [&](const uint8_t* unit, size_t length) {
        const int type = unit[0] & 0x1F;
        if (type == kSpsUnit) field = frameNumberField(unit, length);
        if (type == kSeiUnit && !point)
            if (const auto frames = recoveryFrames(unit, length)) point = RecoveryPoint{*frames, std::nullopt};
        // An IDR picture needs nothing before it, whatever else it says.
        if (type == kIdrSliceUnit) point.reset();
        if (type == kSliceUnit && point) {
            if (!field) field = configured(config, configSize);
            if (field) point->frameNumber = frameNumber(unit, length, *field);
            return true;
        }
        return false;
    });
    return point;
}

}  // namespace qm::reading
