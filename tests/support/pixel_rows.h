#pragma once
// A pixel buffer's picture as bytes, rows packed without their padding, for comparing pictures
// from pools whose rows may be padded differently.

#include <cstddef>
#include <string>

#include "platform/media/pixel_buffer.h"

namespace qm::test {

inline std::string packedRows(const PixelBuffer& buffer, size_t bytesPerPixel = 4) {
    std::string bytes;
    for (int y = 0; y < buffer.height(); ++y)
        bytes.append(reinterpret_cast<const char*>(buffer.data() + size_t(y) * buffer.bytesPerRow()),
                     size_t(buffer.width()) * bytesPerPixel);
    return bytes;
}

}  // namespace qm::test
