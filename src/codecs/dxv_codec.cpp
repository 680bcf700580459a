#include "codecs/dxv_codec.h"

#include "codecs/dxv_texture.h"
#include "codecs/dxv_writer.h"

namespace qm {

DXVEncoder::DXVEncoder(uint32_t codecType, std::string formatName, bool withAlpha, bool highQuality)
    : codecType_(codecType), formatName_(std::move(formatName)), withAlpha_(withAlpha), highQuality_(highQuality) {}

std::vector<uint8_t> DXVEncoder::encode(const PixelBuffer& buffer) const {
    if (buffer.pixelFormat() != kPixelFormatBGRA) throw ConversionError::encodeFailed("unsupported pixel format");
    const uint8_t* base = buffer.data(0);
    if (base == nullptr) throw ConversionError::encodeFailed("pixel buffer has no memory");
    const int32_t width = buffer.width();
    const int32_t height = buffer.height();
    const uint64_t capacity = qm_dxv_max_encoded_size(width, height, withAlpha_ ? 1 : 0);
    if (capacity == 0) throw ConversionError::encodeFailed("DXV frame");
    std::vector<uint8_t> frame(capacity);
    const uint64_t n = qm_dxv_encode(base, buffer.bytesPerRow(0), width, height, withAlpha_ ? 1 : 0,
                                     highQuality_ ? 1 : 0, frame.data(), capacity);
    if (n < 1) throw ConversionError::encodeFailed("DXV frame");
    frame.resize(n);
    return frame;
}

uint32_t DXVDecoder::outputPixelFormat(uint32_t) const { return kPixelFormatBGRA; }

bool DXVDecoder::decode(const uint8_t* bytes, size_t size, PixelBuffer& into) const {
    const auto context = contexts_.take();
    if (context.get() == nullptr) throw ConversionError::decodeFailed("invalid DXV frame");

    qm_dxv_texture texture{};
    switch (qm_dxv_unpack(context.get(), bytes, size, width_, height_, &texture)) {
    case QM_LGPL_OK: break;
    // Well-formed frames of a kind we do not read are no corruption: say which kind it is.
    case QM_LGPL_UNSUPPORTED:
        throw ConversionError::decodeFailed("this DXV variant is not supported (DXV3 High Quality or an older DXV version)");
    case QM_LGPL_NO_MEMORY: throw ConversionError::decodeFailed("out of memory");
    default: throw ConversionError::decodeFailed("invalid DXV frame");
    }
    uint8_t* base = into.data(0);
    if (base == nullptr) throw ConversionError::decodeFailed("pixel buffer has no memory");
    if (into.pixelFormat() != kPixelFormatBGRA) throw ConversionError::decodeFailed("unsupported pixel format");
    if (qm_dxv_to_bgra(&texture, into.width(), into.height(), base, into.bytesPerRow(0)) != 0) {
        throw ConversionError::decodeFailed("invalid DXV texture");
    }
    return texture.format == QM_DXV_TEXTURE_DXT5 || texture.format == QM_DXV_TEXTURE_YCOCG_ALPHA;
}

}  // namespace qm
