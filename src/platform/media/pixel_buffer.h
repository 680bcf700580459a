#pragma once
// Pixel buffers: 64-byte aligned planes with a FourCC pixel format, colour tags and pools that
// hand out recycled buffers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/four_cc.h"

namespace qm {

// Pixel formats, as FourCC codes. Packed formats hold one plane; the planar Y'CbCr formats hold
// Y, Cb, Cr (and A) planes in that order.
inline constexpr uint32_t kPixelFormatBGRA = fourCC('B', 'G', 'R', 'A');       // 8-bit B,G,R,A
inline constexpr uint32_t kPixelFormatRGBA64LE = fourCC('l', '6', '4', 'r');   // 16-bit R,G,B,A little-endian
inline constexpr uint32_t kPixelFormatRGBA = fourCC('R', 'G', 'B', 'A');       // 8-bit R,G,B,A
inline constexpr uint32_t kPixelFormatRGBA64BE = fourCC('b', '6', '4', 'r');   // 16-bit R,G,B,A big-endian
inline constexpr uint32_t kPixelFormatYUV420P = fourCC('y', '4', '2', '0');    // 8-bit 4:2:0, video range
inline constexpr uint32_t kPixelFormatYUVJ444P = fourCC('j', '4', '4', '4');   // 8-bit 4:4:4, full range
inline constexpr uint32_t kPixelFormatYUV422P10 = fourCC('y', '4', '2', 'a');  // 10-bit 4:2:2 in 16-bit LE words
inline constexpr uint32_t kPixelFormatYUV444P10 = fourCC('y', '4', '4', 'a');  // 10-bit 4:4:4 in 16-bit LE words
inline constexpr uint32_t kPixelFormatYUVA444P10 = fourCC('a', '4', '4', 'a'); // 10-bit 4:4:4 + alpha, LE words
// Further formats decoders put out, so that their pictures pass on unconverted.
inline constexpr uint32_t kPixelFormatYUV422P = fourCC('y', '4', '2', '2');    // 8-bit 4:2:2, video range
inline constexpr uint32_t kPixelFormatYUV444P = fourCC('y', '4', '4', '4');    // 8-bit 4:4:4, video range
inline constexpr uint32_t kPixelFormatYUVJ420P = fourCC('j', '4', '2', '0');   // 8-bit 4:2:0, full range
inline constexpr uint32_t kPixelFormatYUVJ422P = fourCC('j', '4', '2', '2');   // 8-bit 4:2:2, full range
inline constexpr uint32_t kPixelFormatYUV420P10 = fourCC('y', '2', '0', 'a');  // 10-bit 4:2:0 in 16-bit LE words
inline constexpr uint32_t kPixelFormatYUV420P12 = fourCC('y', '2', '0', 'c');  // 12-bit 4:2:0 in 16-bit LE words
inline constexpr uint32_t kPixelFormatYUV422P12 = fourCC('y', '4', '2', 'c');  // 12-bit 4:2:2 in 16-bit LE words
inline constexpr uint32_t kPixelFormatYUV444P12 = fourCC('y', '4', '4', 'c');  // 12-bit 4:4:4 in 16-bit LE words
inline constexpr uint32_t kPixelFormatYUVA420P = fourCC('a', '4', '2', '0');   // 8-bit 4:2:0 video range + full-range alpha
inline constexpr uint32_t kPixelFormatYUVA444P12 = fourCC('a', '4', '4', 'c'); // 12-bit 4:4:4 + alpha, LE words
inline constexpr uint32_t kPixelFormatRGB24 = fourCC('R', 'G', 'B', '3');      // 8-bit R,G,B, no alpha

// Colour tags, numbered as in ITU-T H.273 where a code exists, so they pass to files unchanged.
enum class ColorMatrix : uint8_t { unspecified = 2, bt709 = 1, fcc = 4, bt470bg = 5, smpte170m = 6, smpte240m = 7, bt2020 = 9 };
enum class ColorPrimaries : uint8_t { unspecified = 2, bt709 = 1, bt470bg = 5, smpte170m = 6, bt2020 = 9 };
enum class TransferFunction : uint8_t { unspecified = 2, bt709 = 1, linear = 8, srgb = 13, pq = 16, hlg = 18 };
enum class ColorRange : uint8_t { unspecified, video, full };
enum class AlphaMode : uint8_t { unspecified, straight, premultiplied };

struct ColorTags {
    ColorMatrix matrix = ColorMatrix::unspecified;
    ColorPrimaries primaries = ColorPrimaries::unspecified;
    TransferFunction transfer = TransferFunction::unspecified;
    ColorRange range = ColorRange::unspecified;

    // What the engine writes everywhere: BT.709 matrix, primaries and transfer (range left to the
    // pixel format).
    static ColorTags bt709() { return {ColorMatrix::bt709, ColorPrimaries::bt709, TransferFunction::bt709, ColorRange::unspecified}; }
    bool operator==(const ColorTags&) const = default;
};

struct PixelBufferPoolState;

class PixelBuffer {
public:
    static constexpr size_t kAlignment = 64;
    static constexpr int kMaxPlanes = 4;
    static constexpr int kMaxSide = 16384;

    // Allocates a buffer; returns nullptr for an unknown format or a size outside 1...16384.
    static std::shared_ptr<PixelBuffer> create(int width, int height, uint32_t pixelFormat);

    // A buffer over planes that another owner keeps (a decoder's picture, shared instead of
    // copied); `owner` is held until the buffer is released. The planes must be laid out as
    // create() lays them out: 64-byte aligned, rows a multiple of 64 bytes and at least the
    // plane's width, and readable for 64 bytes past each plane's last row (the caller vouches for
    // that). Returns nullptr when they are not, or for an unknown format or size.
    static std::shared_ptr<PixelBuffer> wrap(int width, int height, uint32_t pixelFormat,
                                             const std::array<uint8_t*, kMaxPlanes>& planes,
                                             const std::array<size_t, kMaxPlanes>& bytesPerRow,
                                             std::shared_ptr<void> owner);

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
    int planeWidth(int plane = 0) const { return planeWidths_[static_cast<size_t>(plane)]; }
    int planeHeight(int plane = 0) const { return planeHeights_[static_cast<size_t>(plane)]; }
    // Bytes of all planes, rows padded as laid out.
    size_t byteCount() const;

    // Attachments: colour tags (unspecified until someone knows them) and the alpha mode.
    const ColorTags& colorTags() const { return colorTags_; }
    void setColorTags(const ColorTags& tags) { colorTags_ = tags; }
    AlphaMode alphaMode() const { return alphaMode_; }
    void setAlphaMode(AlphaMode mode) { alphaMode_ = mode; }

    // Bytes per pixel of the packed single-plane formats (0 for planar and unknown formats).
    static int bytesPerPixel(uint32_t pixelFormat);
    static bool isSupportedFormat(uint32_t pixelFormat);
    static int planeCountOf(uint32_t pixelFormat);
    // Whether the format carries an alpha channel.
    static bool formatHasAlpha(uint32_t pixelFormat);

private:
    friend struct PixelBufferPoolState;
    PixelBuffer() = default;
    int width_ = 0;
    int height_ = 0;
    uint32_t pixelFormat_ = 0;
    int planeCount_ = 0;
    std::array<uint8_t*, kMaxPlanes> planes_{};
    std::array<size_t, kMaxPlanes> bytesPerRow_{};
    std::array<int, kMaxPlanes> planeWidths_{};
    std::array<int, kMaxPlanes> planeHeights_{};
    ColorTags colorTags_{};
    AlphaMode alphaMode_ = AlphaMode::unspecified;
    uint8_t* storage_ = nullptr;
    std::weak_ptr<PixelBufferPoolState> pool_;
    std::shared_ptr<void> owner_;  // wrapped buffers: whoever keeps the planes
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

// A pool of buffers of one size and format. Buffers released by their last owner go back to the
// pool and are handed out again; the pool keeps as many as were ever out at once. Safe to use
// from many threads; buffers may outlive their pool.
class PixelBufferPool {
public:
    int width() const;
    int height() const;
    uint32_t pixelFormat() const;
    // Buffers waiting in the pool for reuse.
    size_t idleCount() const;
    // Bytes of one buffer of the pool.
    size_t bufferBytes() const;

private:
    friend std::shared_ptr<PixelBufferPool> makePixelBufferPool(int, int, uint32_t);
    friend PixelBufferRef makePixelBuffer(const std::shared_ptr<PixelBufferPool>&);
    explicit PixelBufferPool(std::shared_ptr<PixelBufferPoolState> state) : state_(std::move(state)) {}
    std::shared_ptr<PixelBufferPoolState> state_;
};

using PixelBufferPoolRef = std::shared_ptr<PixelBufferPool>;

// Throws ConversionError::encodeFailed("pixel buffer pool (...)") for an unknown format or a
// size outside 1...16384.
PixelBufferPoolRef makePixelBufferPool(int width, int height, uint32_t pixelFormat);
// Throws ConversionError::encodeFailed("pixel buffer (...)") when no memory can be had.
PixelBufferRef makePixelBuffer(const PixelBufferPoolRef& pool);

// The process's heap keeps no large free blocks: blocks of a few megabytes and more (pictures,
// packets, encoded frames) are mapped for themselves and go back to the system when freed, and
// the heaps of worker threads give back what is free at their top. By default the C library
// raises both limits as large blocks come and go, so after a run every worker thread's heap kept
// tens of megabytes that nothing used again. Pools keep what is reused. Called by the runs; once
// per process.
void keepHeapSmall();
// Hands the heap's free pages back to the system, once a run's pools and sessions are gone.
void returnFreeMemoryToSystem();

}  // namespace qm
