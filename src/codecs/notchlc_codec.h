#pragma once
// The NotchLC frame decoder object: frames are decoded by the codec library into 8-bit BGRA or
// 16-bit RGBA buffers.

#include <cstdint>

#include "codecs/context_pool.h"
#include "codecs/frame_codec.h"
#include "lgpl/quillmere_lgpl.h"

namespace qm {

class NotchLCDecoder final : public CompressedFrameDecoder {
public:
    // The frame size of the source.
    NotchLCDecoder(int width, int height) : width_(width), height_(height) {}
    NotchLCDecoder(const NotchLCDecoder&) = delete;
    NotchLCDecoder& operator=(const NotchLCDecoder&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }

    // 'l64r' when that was asked for, else 'BGRA'.
    uint32_t outputPixelFormat(uint32_t requested) const override;
    // Decodes one NotchLC frame into a 'BGRA' or 'l64r' buffer; returns whether the picture carries
    // alpha. Throws ConversionError::decodeFailed. Safe on many threads at once.
    bool decode(const uint8_t* bytes, size_t size, PixelBuffer& into) const override;

    // Library contexts waiting for the next decode.
    size_t idleContextCount() const { return contexts_.idleCount(); }

private:
    const int width_;
    const int height_;
    mutable ContextPool<qm_notchlc_context, qm_notchlc_create, qm_notchlc_destroy> contexts_;
};

}  // namespace qm
