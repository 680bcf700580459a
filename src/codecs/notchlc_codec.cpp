#include "codecs/notchlc_codec.h"

namespace qm {

NotchLCDecoder::~NotchLCDecoder() {
    for (qm_notchlc_context* context : idle_) qm_notchlc_destroy(context);
}

uint32_t NotchLCDecoder::outputPixelFormat(uint32_t requested) const {
    return requested == kPixelFormatRGBA64LE ? kPixelFormatRGBA64LE : kPixelFormatBGRA;
}

size_t NotchLCDecoder::idleContextCount() const {
    std::lock_guard guard(lock_);
    return idle_.size();
}

qm_notchlc_context* NotchLCDecoder::takeContext() const {
    {
        std::lock_guard guard(lock_);
        if (!idle_.empty()) {
            qm_notchlc_context* context = idle_.back();
            idle_.pop_back();
            return context;
        }
    }
    return qm_notchlc_create();
}

void NotchLCDecoder::returnContext(qm_notchlc_context* context) const {
    std::lock_guard guard(lock_);
    idle_.push_back(context);
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

    qm_notchlc_context* context = takeContext();
    // Only when libavcodec has no NotchLC decoder or memory runs out.
    if (context == nullptr) throw ConversionError::decodeFailed("invalid NotchLC frame");
    struct Return {
        const NotchLCDecoder* owner;
        qm_notchlc_context* context;
        ~Return() { owner->returnContext(context); }
    } giveBack{this, context};

    int32_t hasAlpha = 0;
    if (qm_notchlc_decode(context, bytes, size, outputFormat, base, into.bytesPerRow(0), into.width(), into.height(),
                          &hasAlpha) != 0) {
        throw ConversionError::decodeFailed("invalid NotchLC frame");
    }
    return hasAlpha != 0;
}

}  // namespace qm
