#pragma once
// FourCC codes as numbers (most significant byte first) and as four-character text.

#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

// Four characters when every byte is printable ASCII, else "0x%08X".
std::string fourCCString(uint32_t code);

// The first four UTF-8 bytes of the text folded most significant first; "" gives 0.
uint32_t fourCCCode(std::string_view text);

constexpr uint32_t fourCC(char a, char b, char c, char d) {
    return (uint32_t(uint8_t(a)) << 24) | (uint32_t(uint8_t(b)) << 16) | (uint32_t(uint8_t(c)) << 8) |
           uint32_t(uint8_t(d));
}

}  // namespace qm
