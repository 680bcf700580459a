#pragma once
// Reading the payload of H.264 and HEVC NAL units: their bytes without emulation prevention, and
// their fields bit by bit.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qm {

// Reads an RBSP bit by bit; reading past the end marks it failed and yields zeros.
class Bits {
public:
    explicit Bits(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    unsigned u(int n) {
        unsigned v = 0;
        for (int i = 0; i < n; ++i) v = v << 1 | bit();
        return v;
    }
    unsigned ue() {
        int zeros = 0;
        while (bit() == 0) {
            if (failed_ || ++zeros > 31) {
                failed_ = true;
                return 0;
            }
        }
        return (zeros == 31 ? 0x7FFFFFFFu : (1u << zeros) - 1) + u(zeros);
    }
    void skip(size_t n) {
        if (n > bits() - at_) failed_ = true;
        else at_ += n;
    }
    bool aligned() const { return at_ % 8 == 0; }
    bool failed() const { return failed_; }

private:
    size_t bits() const { return bytes_.size() * 8; }
    unsigned bit() {
        if (at_ >= bits()) {
            failed_ = true;
            return 0;
        }
        const unsigned b = bytes_[at_ / 8] >> (7 - at_ % 8) & 1;
        ++at_;
        return b;
    }
    const std::vector<uint8_t>& bytes_;
    size_t at_ = 0;
    bool failed_ = false;
};

// The payload after a unit's header of `headerBytes` (1 in H.264, 2 in HEVC) without its
// emulation prevention bytes.
inline std::vector<uint8_t> rbspOf(const uint8_t* nal, size_t size, size_t headerBytes) {
    std::vector<uint8_t> out;
    out.reserve(size);
    int zeros = 0;
    for (size_t i = headerBytes; i < size; ++i) {
        if (zeros >= 2 && nal[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        out.push_back(nal[i]);
    }
    return out;
}

}  // namespace qm
