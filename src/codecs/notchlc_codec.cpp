#include "codecs/notchlc_codec.h"

namespace qm {

uint32_t NotchLCDecoder::outputPixelFormat(uint32_t requested) const {
    return requested == kPixelFormatRGBA64LE ? kPixelFormatRGBA64LE : kPixelFormatBGRA;
}

bool NotchLCDecoder::decode(const uint8_t* bytes, size_t size, PixelBuffer& into) const {
    int32_t outputFormat = 0;
    if (into.pixelFormat() == kPixelFormatBGRA) {
        outputFormat = QM_NOTCHLC_BGRA;
    } else if (into.pixelFormat() == kPixelFormatRGBA64LE) {
        outputFormat = QM_NOTCHLC_RGBA64;
    } else {
        throw ConversionError::decodeFailed("unsupported pixel format");
    }
    uint8_t* base = into.data(0);
    if (base == nullptr) throw ConversionError::decodeFailed("pixel buffer has no memory");

    const auto context = contexts_.take();
    // Only when libavcodec has no NotchLC decoder or memory runs out.
    if (context.get() == nullptr) throw ConversionError::decodeFailed("invalid NotchLC frame");

    int32_t hasAlpha = 0;
    if (qm_notchlc_decode(context.get(), bytes, size, outputFormat, base, into.bytesPerRow(0), into.width(), into.height(),
                          &hasAlpha) != 0) {
        throw ConversionError::decodeFailed("invalid NotchLC frame");
    }
    return hasAlpha != 0;
}

}  // namespace qm
