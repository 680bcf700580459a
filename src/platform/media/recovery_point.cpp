#include "platform/media/recovery_point.h"

#include <vector>

namespace qm::reading {

namespace {

constexpr int kSeiUnit = 6;
constexpr int kRecoveryPointMessage = 6;

// An SEI unit's payload without its emulation prevention bytes.
std::vector<uint8_t> unescaped(const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    out.reserve(size);
    int zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        if (zeros >= 2 && data[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = data[i] == 0 ? zeros + 1 : 0;
        out.push_back(data[i]);
    }
    return out;
}

// An unsigned Exp-Golomb number at bit `bit` of `bytes`; nothing where the bytes end first.
std::optional<int> unsignedGolomb(const std::vector<uint8_t>& bytes, size_t bit) {
    const auto at = [&](size_t b) { return (bytes[b / 8] >> (7 - b % 8)) & 1; };
    int zeros = 0;
    for (; bit < bytes.size() * 8 && at(bit) == 0; ++bit)
        if (++zeros > 30) return std::nullopt;
    if (bit + size_t(zeros) >= bytes.size() * 8) return std::nullopt;
    int value = 1;
    for (int i = 0; i < zeros; ++i) value = value << 1 | at(++bit);
    return value - 1;
}

std::optional<int> inSeiUnit(const uint8_t* unit, size_t size) {
    const std::vector<uint8_t> rbsp = unescaped(unit + 1, size - 1);
    for (size_t at = 0; at + 1 < rbsp.size() && rbsp[at] != 0x80;) {
        int type = 0, length = 0;
        while (at < rbsp.size() && rbsp[at] == 0xFF) type += rbsp[at++];
        if (at >= rbsp.size()) break;
        type += rbsp[at++];
        while (at < rbsp.size() && rbsp[at] == 0xFF) length += rbsp[at++];
        if (at >= rbsp.size()) break;
        length += rbsp[at++];
        if (at + size_t(length) > rbsp.size()) break;
        if (type == kRecoveryPointMessage)
            return unsignedGolomb(std::vector<uint8_t>(rbsp.begin() + long(at), rbsp.begin() + long(at) + length), 0);
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
