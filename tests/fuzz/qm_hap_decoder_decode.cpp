// HapDecoder::decode over arbitrary bytes. The first two bytes pick the frame size (1 to 64 on each
// side) and the third whether the destination is that size or one pixel narrower and shorter.
#include <cstddef>
#include <cstdint>

#include "codecs/hap_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const int width = data[0] % 64 + 1;
    const int height = data[1] % 64 + 1;
    const bool smaller = (data[2] & 1) != 0 && width > 1 && height > 1;
    auto destination = qm::PixelBuffer::create(smaller ? width - 1 : width, smaller ? height - 1 : height,
                                               qm::kPixelFormatBGRA);
    const qm::HapDecoder decoder(width, height);
    try {
        decoder.decode(data + 3, size - 3, *destination);
        if (smaller) __builtin_trap();  // a destination too small must be refused
    } catch (const qm::ConversionError&) {
    }
    return 0;
}
