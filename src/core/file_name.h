#pragma once
// The file-name limit, which counts bytes, not characters.

#include <cstddef>
#include <string_view>

namespace qm {

// NAME_MAX of the file systems we write to.
inline constexpr size_t kFileNameMax = 255;

// The longest start of `name` of at most `bytes` bytes that ends at a UTF-8 character boundary.
inline std::string_view utf8Prefix(std::string_view name, size_t bytes) {
    if (name.size() <= bytes) return name;
    while (bytes > 0 && (static_cast<unsigned char>(name[bytes]) & 0xC0) == 0x80) --bytes;
    return name.substr(0, bytes);
}

}  // namespace qm
