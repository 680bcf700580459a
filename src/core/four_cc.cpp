#include "core/four_cc.h"

#include <cstdio>

namespace qm {

std::string fourCCString(uint32_t code) {
    const char bytes[4] = {char((code >> 24) & 0xFF), char((code >> 16) & 0xFF), char((code >> 8) & 0xFF),
                           char(code & 0xFF)};
    bool printable = true;
    for (char b : bytes) {
        const auto u = static_cast<unsigned char>(b);
        if (u < 0x20 || u > 0x7E) printable = false;
    }
    if (printable) return std::string(bytes, 4);
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

uint32_t fourCCCode(std::string_view text) {
    uint32_t code = 0;
    for (size_t i = 0; i < text.size() && i < 4; ++i) code = code * 256 + static_cast<unsigned char>(text[i]);
    return code;
}

}  // namespace qm
