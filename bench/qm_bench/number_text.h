#pragma once
// Numbers in qm-bench output and options: the shortest text that reads back as the same double,
// and strict parsing, both in the C locale.

#include <charconv>
#include <stdexcept>
#include <string>

namespace qm::bench {

inline std::string numberText(double v) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, v);
    return std::string(text, result.ptr);
}

inline double parseNumberText(const std::string& text) {
    double v = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), v);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) throw std::invalid_argument("not a number: " + text);
    return v;
}

}  // namespace qm::bench
