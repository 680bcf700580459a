// qm_dxv_unpack, then qm_dxv_to_bgra on what it unpacked, over arbitrary bytes. The first four
// bytes pick the picture size (1...512 each way); the rest is the frame. One context serves every
// input, as one decoder's context serves frame after frame.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/dxv_texture.h"
#include "lgpl/quillmere_lgpl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qm_dxv_context* context = qm_dxv_create();
    if (size < 4) return 0;
    const int32_t width = 1 + (data[0] | (data[1] & 1) << 8);
    const int32_t height = 1 + (data[2] | (data[3] & 1) << 8);
    qm_dxv_texture texture{};
    const int32_t rc = qm_dxv_unpack(context, data + 4, size - 4, width, height, &texture);
    if (rc != QM_LGPL_OK) {
        if (rc != QM_LGPL_INVALID && rc != QM_LGPL_UNSUPPORTED) __builtin_trap();
        return 0;
    }
    if (texture.width < width || texture.height < height || texture.plane0 == nullptr) __builtin_trap();
    // Exactly the picture's size, so any write past it is caught.
    std::vector<uint8_t> pixels(size_t(width) * size_t(height) * 4);
    if (qm_dxv_to_bgra(&texture, width, height, pixels.data(), size_t(width) * 4) != 0) __builtin_trap();
    // A smaller picture from the same texture (as when the destination is cropped).
    const int32_t w2 = (width + 1) / 2, h2 = (height + 1) / 2;
    std::vector<uint8_t> half(size_t(w2) * size_t(h2) * 4);
    if (qm_dxv_to_bgra(&texture, w2, h2, half.data(), size_t(w2) * 4) != 0) __builtin_trap();
    return 0;
}
