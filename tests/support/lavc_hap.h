#pragma once
// libavcodec's Hap encoder and decoder, the reference our Hap frames are measured against.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/media/pixel_buffer.h"

struct AVCodecContext;
struct AVFrame;

namespace qm::test {

// One open libavcodec Hap encoder ("hap", "hap_alpha" or "hap_q") with its own slice threads;
// compressor is "snappy" or "none".
class LavcHapEncoder {
public:
    LavcHapEncoder(const char* format, int width, int height, int chunks, int threads,
                   const char* compressor = "snappy");
    ~LavcHapEncoder();
    LavcHapEncoder(const LavcHapEncoder&) = delete;
    LavcHapEncoder& operator=(const LavcHapEncoder&) = delete;
    bool ok() const { return context_ != nullptr; }
    // Encodes a BGRA buffer of the encoder's size; empty on failure.
    std::vector<uint8_t> encode(const PixelBuffer& bgra);

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
};

// Decodes one Hap frame with libavcodec's decoder into a BGRA buffer (alpha-only frames come out
// as white with the alpha, like ours). Returns false when libavcodec refuses it.
bool lavcHapDecode(const std::vector<uint8_t>& frame, uint32_t codecType, PixelBuffer& into);

}  // namespace qm::test
