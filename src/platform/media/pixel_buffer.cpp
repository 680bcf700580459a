#include "platform/media/pixel_buffer.h"

#include <malloc.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include "core/conversion_error.h"
#include "platform/media/media_error.h"

extern "C" {
#include <libavutil/error.h>
}

namespace qm {

namespace {

struct FormatLayout {
    int planes = 0;
    int bytesPerPixel[PixelBuffer::kMaxPlanes] = {};  // per plane, for one sample position
    int chromaShiftX = 0;                             // planes 1 and 2 only
    int chromaShiftY = 0;
    bool alpha = false;
};

FormatLayout layoutOf(uint32_t format) {
    switch (format) {
    case kPixelFormatBGRA: return {1, {4}, 0, 0, true};
    case kPixelFormatRGBA: return {1, {4}, 0, 0, true};
    case kPixelFormatRGBA64LE: return {1, {8}, 0, 0, true};
    case kPixelFormatRGBA64BE: return {1, {8}, 0, 0, true};
    case kPixelFormatYUV420P: return {3, {1, 1, 1}, 1, 1, false};
    case kPixelFormatYUVA420P: return {4, {1, 1, 1, 1}, 1, 1, true};
    case kPixelFormatYUVJ444P: return {3, {1, 1, 1}, 0, 0, false};
    case kPixelFormatYUV422P10: return {3, {2, 2, 2}, 1, 0, false};
    case kPixelFormatYUV444P10: return {3, {2, 2, 2}, 0, 0, false};
    case kPixelFormatYUVA444P10: return {4, {2, 2, 2, 2}, 0, 0, true};
    case kPixelFormatYUV422P: return {3, {1, 1, 1}, 1, 0, false};
    case kPixelFormatYUV444P: return {3, {1, 1, 1}, 0, 0, false};
    case kPixelFormatYUVJ420P: return {3, {1, 1, 1}, 1, 1, false};
    case kPixelFormatYUVJ422P: return {3, {1, 1, 1}, 1, 0, false};
    case kPixelFormatYUV420P10: return {3, {2, 2, 2}, 1, 1, false};
    case kPixelFormatYUV420P12: return {3, {2, 2, 2}, 1, 1, false};
    case kPixelFormatYUV422P12: return {3, {2, 2, 2}, 1, 0, false};
    case kPixelFormatYUV444P12: return {3, {2, 2, 2}, 0, 0, false};
    case kPixelFormatYUVA444P12: return {4, {2, 2, 2, 2}, 0, 0, true};
    case kPixelFormatRGB24: return {1, {3}, 0, 0, false};
    default: return {};
    }
}

size_t alignUp(size_t n) { return (n + PixelBuffer::kAlignment - 1) / PixelBuffer::kAlignment * PixelBuffer::kAlignment; }

// Where each plane lives inside one allocation.
struct Geometry {
    int planes = 0;
    std::array<size_t, PixelBuffer::kMaxPlanes> offset{};
    std::array<size_t, PixelBuffer::kMaxPlanes> rowBytes{};
    std::array<int, PixelBuffer::kMaxPlanes> widths{};
    std::array<int, PixelBuffer::kMaxPlanes> heights{};
    size_t total = 0;
};

bool geometryOf(int width, int height, uint32_t format, Geometry& g) {
    const FormatLayout layout = layoutOf(format);
    if (layout.planes == 0 || width < 1 || height < 1 || width > PixelBuffer::kMaxSide || height > PixelBuffer::kMaxSide)
        return false;
    g.planes = layout.planes;
    size_t offset = 0;
    for (int p = 0; p < layout.planes; ++p) {
        const bool chroma = p == 1 || p == 2;
        const int sx = chroma ? layout.chromaShiftX : 0;
        const int sy = chroma ? layout.chromaShiftY : 0;
        const int w = (width + (1 << sx) - 1) >> sx;
        const int h = (height + (1 << sy) - 1) >> sy;
        const auto i = static_cast<size_t>(p);
        g.widths[i] = w;
        g.heights[i] = h;
        g.rowBytes[i] = alignUp(static_cast<size_t>(w) * static_cast<size_t>(layout.bytesPerPixel[p]));
        g.offset[i] = offset;
        offset += g.rowBytes[i] * static_cast<size_t>(h);
    }
    // One spare aligned block: vector code in the converters may read a little past a plane's end.
    g.total = offset + PixelBuffer::kAlignment;
    return true;
}

}  // namespace

struct PixelBufferPoolState {
    int width = 0;
    int height = 0;
    uint32_t format = 0;
    Geometry geometry;
    mutable std::mutex lock;
    std::vector<uint8_t*> idle;

    ~PixelBufferPoolState() {
        for (uint8_t* block : idle) std::free(block);
    }

    void giveBack(uint8_t* block) {
        std::lock_guard guard(lock);
        idle.push_back(block);
    }

    uint8_t* take() {
        {
            std::lock_guard guard(lock);
            if (!idle.empty()) {
                uint8_t* block = idle.back();
                idle.pop_back();
                return block;
            }
        }
        return static_cast<uint8_t*>(std::aligned_alloc(PixelBuffer::kAlignment, geometry.total));
    }

    static std::shared_ptr<PixelBuffer> wrap(uint8_t* storage, int width, int height, uint32_t format, const Geometry& g) {
        std::shared_ptr<PixelBuffer> buffer(new PixelBuffer());
        buffer->width_ = width;
        buffer->height_ = height;
        buffer->pixelFormat_ = format;
        buffer->planeCount_ = g.planes;
        buffer->storage_ = storage;
        for (size_t p = 0; p < static_cast<size_t>(g.planes); ++p) {
            buffer->planes_[p] = storage + g.offset[p];
            buffer->bytesPerRow_[p] = g.rowBytes[p];
            buffer->planeWidths_[p] = g.widths[p];
            buffer->planeHeights_[p] = g.heights[p];
        }
        return buffer;
    }

    static void attach(PixelBuffer& buffer, const std::shared_ptr<PixelBufferPoolState>& pool) { buffer.pool_ = pool; }
};

int PixelBuffer::bytesPerPixel(uint32_t pixelFormat) {
    const FormatLayout layout = layoutOf(pixelFormat);
    return layout.planes == 1 ? layout.bytesPerPixel[0] : 0;
}

bool PixelBuffer::isSupportedFormat(uint32_t pixelFormat) { return layoutOf(pixelFormat).planes > 0; }

int PixelBuffer::planeCountOf(uint32_t pixelFormat) { return layoutOf(pixelFormat).planes; }

bool PixelBuffer::formatHasAlpha(uint32_t pixelFormat) { return layoutOf(pixelFormat).alpha; }

std::shared_ptr<PixelBuffer> PixelBuffer::create(int width, int height, uint32_t pixelFormat) {
    Geometry g;
    if (!geometryOf(width, height, pixelFormat, g)) return nullptr;
    auto* memory = static_cast<uint8_t*>(std::aligned_alloc(kAlignment, g.total));
    if (memory == nullptr) return nullptr;
    return PixelBufferPoolState::wrap(memory, width, height, pixelFormat, g);
}

std::shared_ptr<PixelBuffer> PixelBuffer::wrap(int width, int height, uint32_t pixelFormat,
                                              const std::array<uint8_t*, kMaxPlanes>& planes,
                                              const std::array<size_t, kMaxPlanes>& bytesPerRow,
                                              std::shared_ptr<void> owner) {
    Geometry g;
    if (!owner || !geometryOf(width, height, pixelFormat, g)) return nullptr;
    for (size_t p = 0; p < static_cast<size_t>(g.planes); ++p) {
        if (planes[p] == nullptr || reinterpret_cast<uintptr_t>(planes[p]) % kAlignment != 0 ||
            bytesPerRow[p] % kAlignment != 0 || bytesPerRow[p] < g.rowBytes[p])
            return nullptr;
    }
    std::shared_ptr<PixelBuffer> buffer(new PixelBuffer());
    buffer->width_ = width;
    buffer->height_ = height;
    buffer->pixelFormat_ = pixelFormat;
    buffer->planeCount_ = g.planes;
    for (size_t p = 0; p < static_cast<size_t>(g.planes); ++p) {
        buffer->planes_[p] = planes[p];
        buffer->bytesPerRow_[p] = bytesPerRow[p];
        buffer->planeWidths_[p] = g.widths[p];
        buffer->planeHeights_[p] = g.heights[p];
    }
    buffer->owner_ = std::move(owner);
    return buffer;
}

size_t PixelBuffer::byteCount() const {
    size_t bytes = 0;
    for (size_t p = 0; p < static_cast<size_t>(planeCount_); ++p) bytes += bytesPerRow_[p] * static_cast<size_t>(planeHeights_[p]);
    return bytes;
}

PixelBuffer::~PixelBuffer() {
    if (storage_ == nullptr) return;  // wrapped: owner_ lets go of the planes
    if (auto pool = pool_.lock()) {
        pool->giveBack(storage_);
        return;
    }
    std::free(storage_);
}

int PixelBufferPool::width() const { return state_->width; }
int PixelBufferPool::height() const { return state_->height; }
uint32_t PixelBufferPool::pixelFormat() const { return state_->format; }

size_t PixelBufferPool::idleCount() const {
    std::lock_guard guard(state_->lock);
    return state_->idle.size();
}

size_t PixelBufferPool::bufferBytes() const { return state_->geometry.total; }

PixelBufferPoolRef makePixelBufferPool(int width, int height, uint32_t pixelFormat) {
    auto state = std::make_shared<PixelBufferPoolState>();
    if (!geometryOf(width, height, pixelFormat, state->geometry))
        throw ConversionError::encodeFailed("pixel buffer pool (" + mediaErrorText(AVERROR(EINVAL)) + ")");
    state->width = width;
    state->height = height;
    state->format = pixelFormat;
    return PixelBufferPoolRef(new PixelBufferPool(std::move(state)));
}

PixelBufferRef makePixelBuffer(const PixelBufferPoolRef& pool) {
    if (!pool) throw ConversionError::encodeFailed("pixel buffer (" + mediaErrorText(AVERROR(EINVAL)) + ")");
    PixelBufferPoolState& state = *pool->state_;
    uint8_t* storage = state.take();
    if (storage == nullptr) throw ConversionError::encodeFailed("pixel buffer (" + mediaErrorText(AVERROR(ENOMEM)) + ")");
    auto buffer = PixelBufferPoolState::wrap(storage, state.width, state.height, state.format, state.geometry);
    PixelBufferPoolState::attach(*buffer, pool->state_);
    return buffer;
}

void keepHeapSmall() {
    static std::once_flag once;
    std::call_once(once, [] {
        constexpr int kLargeBlock = 4 << 20;
        mallopt(M_MMAP_THRESHOLD, kLargeBlock);
        mallopt(M_TRIM_THRESHOLD, kLargeBlock);
    });
}

void returnFreeMemoryToSystem() { malloc_trim(0); }

}  // namespace qm
