#pragma once
// Pixel buffers: 64-byte aligned planes with a FourCC pixel format.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/four_cc.h"

namespace qm {

// Pixel formats, as FourCC codes.
inline constexpr uint32_t kPixelFormatBGRA = fourCC('B', 'G', 'R', 'A');  // 8-bit B,G,R,A
inline constexpr uint32_t kPixelFormatRGBA64LE = fourCC('l', '6', '4', 'r');  // 16-bit R,G,B,A little-endian

class PixelBuffer {
public:
    static constexpr size_t kAlignment = 64;
    static constexpr int kMaxPlanes = 4;

    // Allocates a buffer; returns nullptr for an unknown format or a size outside 1...16384.
    static std::shared_ptr<PixelBuffer> create(int width, int height, uint32_t pixelFormat);

    ~PixelBuffer();
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    uint32_t pixelFormat() const { return pixelFormat_; }
    int planeCount() const { return planeCount_; }
    uint8_t* data(int plane = 0) { return planes_[static_cast<size_t>(plane)]; }
    const uint8_t* data(int plane = 0) const { return planes_[static_cast<size_t>(plane)]; }
    size_t bytesPerRow(int plane = 0) const { return bytesPerRow_[static_cast<size_t>(plane)]; }
    int planeHeight(int plane = 0) const { return planeHeights_[static_cast<size_t>(plane)]; }

    // Bytes per pixel of the single-plane formats above (0 for others).
    static int bytesPerPixel(uint32_t pixelFormat);

private:
    PixelBuffer() = default;
    int width_ = 0;
    int height_ = 0;
    uint32_t pixelFormat_ = 0;
    int planeCount_ = 0;
    std::array<uint8_t*, kMaxPlanes> planes_{};
    std::array<size_t, kMaxPlanes> bytesPerRow_{};
    std::array<int, kMaxPlanes> planeHeights_{};
    uint8_t* storage_ = nullptr;
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

}  // namespace qm
