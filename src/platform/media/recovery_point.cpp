#include "platform/media/recovery_point.h"

#include <vector>

#include "platform/media/rbsp_bits.h"

namespace qm::reading {

namespace {

constexpr int kSeiUnit = 6;
constexpr int kRecoveryPointMessage = 6;

std::optional<int> inSeiUnit(const uint8_t* unit, size_t size) {
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

}  // namespace

std::optional<int> recoveryFrameCount(const uint8_t* data, size_t size, int lengthSize) {
    const auto found = [&](size_t begin, size_t end) -> std::optional<int> {
        if (end <= begin || (data[begin] & 0x1F) != kSeiUnit) return std::nullopt;
        return inSeiUnit(data + begin, end - begin);
    };
    if (lengthSize > 0) {
        for (size_t at = 0; at + size_t(lengthSize) <= size;) {
            size_t length = 0;
            for (int i = 0; i < lengthSize; ++i) length = length << 8 | data[at + size_t(i)];
            at += size_t(lengthSize);
            if (length > size - at) break;
            if (const auto count = found(at, at + length)) return count;
            at += length;
        }
        return std::nullopt;
    }
    // Units after start codes: each runs to the next start code.
    std::optional<size_t> begin;
    for (size_t i = 0; i + 3 <= size; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
        if (begin) {
            size_t end = i;
            while (end > *begin && data[end - 1] == 0) --end;
            if (const auto count = found(*begin, end)) return count;
        }
        begin = i + 3;
        i += 2;
    }
    return begin ? found(*begin, size) : std::nullopt;
}

}  // namespace qm::reading
