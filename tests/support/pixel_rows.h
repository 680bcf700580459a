#pragma once
// A pixel buffer's picture as bytes, rows packed without their padding, for comparing pictures
// from pools whose rows may be padded differently, and with ffmpeg's raw pictures.

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "platform/media/pixel_buffer.h"
#include "support/test_support.h"

namespace qm::test {

inline std::string packedRows(const PixelBuffer& buffer, size_t bytesPerPixel = 4) {
    std::string bytes;
    for (int y = 0; y < buffer.height(); ++y)
        bytes.append(reinterpret_cast<const char*>(buffer.data() + size_t(y) * buffer.bytesPerRow()),
                     size_t(buffer.width()) * bytesPerPixel);
    return bytes;
}

// Every plane, rows packed, as rawvideo lays them out.
inline std::string packedPlanes(const PixelBuffer& picture, size_t bytesPerSample) {
    std::string out;
    for (int p = 0; p < picture.planeCount(); ++p)
        for (int y = 0; y < picture.planeHeight(p); ++y)
            out.append(reinterpret_cast<const char*>(picture.data(p)) + picture.bytesPerRow(p) * size_t(y),
                       size_t(picture.planeWidth(p)) * bytesPerSample);
    return out;
}

// The pictures a command writes as rawvideo to its standard output, `frameBytes` each.
inline std::vector<std::string> rawFrames(const std::vector<std::string>& argv, size_t frameBytes) {
    const auto result = run(argv);
    EXPECT_EQ(result.exitCode, 0);
    std::vector<std::string> frames;
    for (size_t at = 0; at + frameBytes <= result.output.size(); at += frameBytes)
        frames.push_back(result.output.substr(at, frameBytes));
    return frames;
}

}  // namespace qm::test
