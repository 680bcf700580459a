#include "platform/media/pixel_buffer.h"

#include <cstdlib>
#include <new>

namespace qm {

int PixelBuffer::bytesPerPixel(uint32_t pixelFormat) {
    switch (pixelFormat) {
    case kPixelFormatBGRA: return 4;
    case kPixelFormatRGBA64LE: return 8;
    default: return 0;
    }
}

std::shared_ptr<PixelBuffer> PixelBuffer::create(int width, int height, uint32_t pixelFormat) {
    const int bpp = bytesPerPixel(pixelFormat);
    if (bpp == 0 || width < 1 || height < 1 || width > 16384 || height > 16384) return nullptr;
    const size_t rowBytes = (static_cast<size_t>(width) * bpp + kAlignment - 1) / kAlignment * kAlignment;
    const size_t total = rowBytes * static_cast<size_t>(height);
    auto* memory = static_cast<uint8_t*>(std::aligned_alloc(kAlignment, total));
    if (memory == nullptr) return nullptr;
    std::shared_ptr<PixelBuffer> buffer(new PixelBuffer());
    buffer->width_ = width;
    buffer->height_ = height;
    buffer->pixelFormat_ = pixelFormat;
    buffer->planeCount_ = 1;
    buffer->storage_ = memory;
    buffer->planes_[0] = memory;
    buffer->bytesPerRow_[0] = rowBytes;
    buffer->planeHeights_[0] = height;
    return buffer;
}

PixelBuffer::~PixelBuffer() { std::free(storage_); }

}  // namespace qm
