#include "codecs/hap_codec.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "codecs/hap_frame.h"
#include "core/four_cc.h"

namespace qm {

namespace {

// An uninitialised byte buffer that only grows.
class WorkBuffer {
public:
    uint8_t* reserve(uint64_t size) {
        if (size > capacity_) {
            data_.reset(new uint8_t[size]);
            capacity_ = size;
        }
        return data_.get();
    }

private:
    std::unique_ptr<uint8_t[]> data_;
    uint64_t capacity_ = 0;
};

}  // namespace

struct HapWorkBuffers {
    WorkBuffer textures[2];
    WorkBuffer packed;
    WorkBuffer scratch;
};

HapWorkBuffers* makeHapWorkBuffers() { return new (std::nothrow) HapWorkBuffers(); }
void freeHapWorkBuffers(HapWorkBuffers* buffers) { delete buffers; }

std::optional<HapVariant> hapVariantForCodecType(uint32_t codecType) {
    const std::string name = fourCCString(codecType);
    if (name == "Hap1") return HapVariant{codecType, {QM_TEXTURE_DXT1}};
    if (name == "Hap5") return HapVariant{codecType, {QM_TEXTURE_DXT5}};
    if (name == "HapY") return HapVariant{codecType, {QM_TEXTURE_YCOCG}};
    if (name == "HapM") return HapVariant{codecType, {QM_TEXTURE_YCOCG, QM_TEXTURE_BC4}};
    if (name == "HapA") return HapVariant{codecType, {QM_TEXTURE_BC4}};
    return std::nullopt;
}

uint8_t hapTextureNibble(qm_texture_format format) {
    switch (format) {
    case QM_TEXTURE_DXT1: return 0x0B;
    case QM_TEXTURE_DXT5: return 0x0E;
    case QM_TEXTURE_YCOCG: return 0x0F;
    case QM_TEXTURE_BC4: return 0x01;
    default: return 0x00;
    }
}

std::optional<qm_texture_format> hapTextureFormat(uint8_t nibble) {
    switch (nibble) {
    case 0x0B: return QM_TEXTURE_DXT1;
    case 0x0E: return QM_TEXTURE_DXT5;
    case 0x0F: return QM_TEXTURE_YCOCG;
    case 0x01: return QM_TEXTURE_BC4;
    default: return std::nullopt;
    }
}

HapEncoder::HapEncoder(std::string formatName, HapVariant variant, int chunkCount, bool highQuality)
    : formatName_(std::move(formatName)), variant_(std::move(variant)), chunkCount_(chunkCount),
      highQuality_(highQuality) {}

std::vector<uint8_t> HapEncoder::encode(const PixelBuffer& buffer) const {
    if (buffer.pixelFormat() != kPixelFormatBGRA) throw ConversionError::encodeFailed("unsupported pixel format");
    const uint8_t* base = buffer.data(0);
    if (base == nullptr) throw ConversionError::encodeFailed("pixel buffer has no memory");
    const int width = buffer.width();
    const int height = buffer.height();
    const size_t bytesPerRow = buffer.bytesPerRow(0);
    const size_t count = variant_.textures.size();
    if (count < 1 || count > 2) throw ConversionError::encodeFailed("Hap frame");

    // Working buffers are reused, one set per frame being encoded at once: a fresh
    // multi-megabyte allocation per frame costs more in page faults than the texture compression
    // itself. They go with the encoder, at the end of its run. Each is fully overwritten before
    // use, so growing them never needs zero-filling.
    const HapWorkPool::Lease work = work_.take();
    if (work.get() == nullptr) throw ConversionError::encodeFailed("Hap frame (out of memory)");
    WorkBuffer* textures = work.get()->textures;
    WorkBuffer& packed = work.get()->packed;
    WorkBuffer& scratch = work.get()->scratch;
    const uint8_t* pointers[2] = {nullptr, nullptr};
    uint64_t sizes[2] = {0, 0};
    uint8_t nibbles[2] = {0, 0};
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        const qm_texture_format format = variant_.textures[i];
        sizes[i] = qm_texture_size(format, width, height);
        uint8_t* texture = textures[i].reserve(sizes[i]);
        qm_texture_encode(format, base, bytesPerRow, width, height, texture, 0, (height + 3) / 4,
                          highQuality_ ? 1 : 0);
        pointers[i] = texture;
        nibbles[i] = hapTextureNibble(format);
        total += sizes[i];
    }

    const int textureCount = static_cast<int>(count);
    const uint64_t bound = qm_hap_max_encoded_length(total, chunkCount_, textureCount);
    uint8_t* out = packed.reserve(bound);
    const uint64_t n =
        qm_hap_encode(textureCount, pointers, sizes, nibbles, 1, chunkCount_, out, bound, scratch.reserve(bound));
    if (n == 0) throw ConversionError::encodeFailed("Hap frame");
    return std::vector<uint8_t>(out, out + n);
}

uint32_t HapDecoder::outputPixelFormat(uint32_t) const { return kPixelFormatBGRA; }

namespace {

qm_texture_format formatOfNibble(uint8_t nibble) {
    const auto format = hapTextureFormat(nibble);
    if (!format) {
        char text[40];
        std::snprintf(text, sizeof text, "unsupported Hap texture 0x%02X", nibble);
        throw ConversionError::decodeFailed(text);
    }
    return *format;
}

}  // namespace

bool HapDecoder::decode(const uint8_t* bytes, size_t size, PixelBuffer& into) const {
    if (width_ < 1 || height_ < 1 || width_ > PixelBuffer::kMaxSide || height_ > PixelBuffer::kMaxSide)
        throw ConversionError::decodeFailed("invalid frame size");
    // The largest texture a frame of this size can need.
    const uint64_t capacity = qm_texture_size(QM_TEXTURE_DXT5, width_, height_);
    // Reused for the same reason as the encoder's; only bytes the frame wrote are read back.
    const HapWorkPool::Lease work = work_.take();
    if (work.get() == nullptr) throw ConversionError::decodeFailed("Hap frame (out of memory)");
    WorkBuffer* buffers = work.get()->textures;
    uint8_t* outputs[2] = {buffers[0].reserve(capacity), buffers[1].reserve(capacity)};
    const uint64_t capacities[2] = {capacity, capacity};
    uint8_t nibbles[2] = {0, 0};
    uint64_t lengths[2] = {0, 0};
    const int32_t count = qm_hap_decode(bytes, bytes == nullptr ? 0 : size, outputs, capacities, nibbles, lengths);
    if (count < 1) throw ConversionError::decodeFailed("invalid Hap frame");

    uint8_t* base = into.data(0);
    if (base == nullptr) throw ConversionError::decodeFailed("pixel buffer has no memory");
    if (into.pixelFormat() != kPixelFormatBGRA) throw ConversionError::decodeFailed("unsupported pixel format");
    // Never write past the destination: it must hold the whole frame.
    const size_t bytesPerRow = into.bytesPerRow(0);
    if (into.width() < width_ || into.planeHeight(0) < height_ || bytesPerRow < static_cast<size_t>(width_) * 4)
        throw ConversionError::decodeFailed("pixel buffer too small");

    // Both textures are checked before any pixel is written.
    qm_texture_format formats[2] = {0, 0};
    for (int32_t i = 0; i < count; ++i) {
        formats[i] = formatOfNibble(nibbles[i]);
        if (lengths[i] < qm_texture_size(formats[i], width_, height_))
            throw ConversionError::decodeFailed("Hap texture too small");
    }
    // A lone alpha texture shows as white with that alpha.
    if (count == 1 && formats[0] == QM_TEXTURE_BC4)
        std::memset(base, 0xFF, bytesPerRow * static_cast<size_t>(into.planeHeight(0)));
    bool hasAlpha = false;
    for (int32_t i = 0; i < count; ++i) {
        qm_texture_decode(formats[i], outputs[i], width_, height_, base, bytesPerRow, 0, (height_ + 3) / 4);
        if (formats[i] == QM_TEXTURE_DXT5 || formats[i] == QM_TEXTURE_BC4) hasAlpha = true;
    }
    return hasAlpha;
}

}  // namespace qm
