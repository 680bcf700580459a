// DXV frame unpacking: the 12-byte DXV3 header, then the texture either raw or coded with
// 32-bit back references driven by 2-bit operation codes. Every read and every back reference is
// bounds-checked, so any byte sequence is safe to hand in.

#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "lgpl/quillmere_lgpl.h"

static_assert(std::endian::native == std::endian::little, "texture words are stored in host order");
static_assert(sizeof(qm_dxv_texture) == 48, "the texture record layout is fixed");
static_assert(offsetof(qm_dxv_texture, plane0) == 16 && offsetof(qm_dxv_texture, plane1) == 32,
              "the texture record layout is fixed");

struct qm_dxv_context {
    std::vector<uint32_t> words;  // the texture as 32-bit words, reused between frames
};

namespace {

constexpr uint32_t tag(char a, char b, char c, char d) {
    return (uint32_t(uint8_t(a)) << 24) | (uint32_t(uint8_t(b)) << 16) | (uint32_t(uint8_t(c)) << 8) | uint8_t(d);
}

constexpr uint32_t kTagDXT1 = tag('D', 'X', 'T', '1');
constexpr uint32_t kTagDXT5 = tag('D', 'X', 'T', '5');
constexpr uint32_t kTagYCoCg = tag('Y', 'C', 'G', '6');
constexpr uint32_t kTagYCoCgAlpha = tag('Y', 'G', '1', '0');
constexpr size_t kHeaderSize = 12;
constexpr int32_t kMaxSide = 16384;

uint32_t loadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Reads the coded payload; every read past its end marks the reader as failed.
class Input {
public:
    Input(const uint8_t* bytes, size_t size) : p_(bytes), end_(bytes + size) {}

    bool failed() const { return failed_; }
    size_t left() const { return static_cast<size_t>(end_ - p_); }

    uint32_t byte() {
        if (left() < 1) return fail();
        return *p_++;
    }
    uint32_t le16() {
        if (left() < 2) return fail();
        const uint32_t v = uint32_t(p_[0]) | (uint32_t(p_[1]) << 8);
        p_ += 2;
        return v;
    }
    uint32_t le32() {
        if (left() < 4) return fail();
        const uint32_t v = loadLE32(p_);
        p_ += 4;
        return v;
    }

    // The next 2-bit operation code; a new operation word is read when the open one is used up.
    uint32_t op() {
        if (codesLeft_ == 0) {
            opWord_ = le32();
            codesLeft_ = 16;
        }
        const uint32_t code = opWord_ & 3u;
        opWord_ >>= 2;
        --codesLeft_;
        return code;
    }

    // The distance of a non-zero operation code, in words: unit, or (byte + 2) or (16-bit + 258)
    // units.
    uint64_t distance(uint32_t code, uint64_t unit) {
        switch (code) {
        case 1: return unit;
        case 2: return (uint64_t(byte()) + 2) * unit;
        default: return (uint64_t(le16()) + 258) * unit;
        }
    }

    // A count continued in 16-bit pieces while each piece is 0xFFFF.
    uint64_t continued(uint64_t start) {
        uint64_t total = start;
        uint32_t piece = 0;
        do {
            piece = le16();
            total += piece;
        } while (piece == 0xFFFF && !failed_);
        return total;
    }

private:
    uint32_t fail() {
        failed_ = true;
        p_ = end_;
        return 0;
    }

    const uint8_t* p_;
    const uint8_t* end_;
    bool failed_ = false;
    uint32_t opWord_ = 0;
    int codesLeft_ = 0;
};

// Copies `count` words from `distance` words back; false when that reaches before the start.
bool copyBack(uint32_t* words, uint64_t pos, uint64_t distance, uint64_t count) {
    if (distance == 0 || distance > pos) return false;
    for (uint64_t i = 0; i < count; ++i) words[pos + i] = words[pos + i - distance];
    return true;
}

// DXT1 textures: pairs of words (one block), each a back reference or two single words.
bool decodeDXT1(Input& in, uint32_t* w, uint64_t n) {
    w[0] = in.le32();
    w[1] = in.le32();
    uint64_t pos = 2;
    while (pos + 2 <= n && !in.failed()) {
        const uint32_t code = in.op();
        if (code != 0) {
            if (!copyBack(w, pos, in.distance(code, 2), 2)) return false;
            pos += 2;
            continue;
        }
        for (int k = 0; k < 2; ++k) {
            const uint32_t wordCode = in.op();
            if (wordCode != 0) {
                if (!copyBack(w, pos, in.distance(wordCode, 2), 1)) return false;
            } else {
                w[pos] = in.le32();
            }
            ++pos;
        }
    }
    return !in.failed() && pos >= n;
}

// DXT5 textures: blocks of four words; the alpha half has runs, block copies, 4-word-unit back
// references and literals; the colour half is coded like a DXT1 block with a 4-word unit.
bool decodeDXT5(Input& in, uint32_t* w, uint64_t n) {
    for (int i = 0; i < 4; ++i) w[i] = in.le32();
    uint64_t pos = 4;
    uint64_t run = 0;
    while (pos + 4 <= n && !in.failed()) {
        if (run > 0) {
            --run;
            copyBack(w, pos, 4, 2);
        } else {
            switch (in.op()) {
            case 0: {
                // Whole blocks equal to the block before them; no colour half follows.
                const uint64_t count = in.byte() + 1;
                uint64_t blocks = count == 256 ? in.continued(count) : count;
                if (in.failed()) return false;
                const uint64_t room = (n - pos) / 4;
                if (blocks > room) blocks = room;
                copyBack(w, pos, 4, blocks * 4);
                pos += blocks * 4;
                continue;
            }
            case 1: {
                const uint64_t first = in.byte();
                run = first == 255 ? in.continued(first) : first;
                copyBack(w, pos, 4, 2);
                break;
            }
            case 2:
                if (!copyBack(w, pos, 8 + 4 * uint64_t(in.le16()), 2)) return false;
                break;
            default:
                w[pos] = in.le32();
                w[pos + 1] = in.le32();
                break;
            }
        }
        pos += 2;

        const uint32_t code = in.op();
        if (code != 0) {
            if (!copyBack(w, pos, in.distance(code, 4), 2)) return false;
            pos += 2;
            continue;
        }
        for (int k = 0; k < 2; ++k) {
            const uint32_t wordCode = in.op();
            if (wordCode != 0) {
                if (!copyBack(w, pos, in.distance(wordCode, 4), 1)) return false;
            } else {
                w[pos] = in.le32();
            }
            ++pos;
        }
    }
    return !in.failed() && pos >= n;
}

}  // namespace

extern "C" {

qm_dxv_context* qm_dxv_create(void) { return new (std::nothrow) qm_dxv_context(); }

void qm_dxv_destroy(qm_dxv_context* context) { delete context; }

int32_t qm_dxv_unpack(qm_dxv_context* context, const uint8_t* bytes, size_t byteCount, int32_t width,
                      int32_t height, qm_dxv_texture* texture) {
    if (context == nullptr || texture == nullptr || (bytes == nullptr && byteCount > 0)) return QM_LGPL_INVALID;
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return QM_LGPL_INVALID;
    if (byteCount < kHeaderSize) return QM_LGPL_INVALID;

    const uint32_t frameTag = loadLE32(bytes);
    if (frameTag == kTagYCoCg || frameTag == kTagYCoCgAlpha) return QM_LGPL_UNSUPPORTED;
    if (frameTag != kTagDXT1 && frameTag != kTagDXT5) {
        // Streams of the first DXV versions start with a 24-bit size and a type byte instead.
        const uint32_t oldTypeBits = frameTag >> 24;
        if ((frameTag & 0xFFFFFFu) == byteCount - 4 && (oldTypeBits & 0xE0u) != 0) return QM_LGPL_UNSUPPORTED;
        return QM_LGPL_INVALID;
    }
    const bool withAlpha = frameTag == kTagDXT5;
    const uint8_t version = bytes[4];
    const bool raw = bytes[6] != 0;
    const uint64_t payloadSize = loadLE32(bytes + 8);
    if (payloadSize > byteCount - kHeaderSize) return QM_LGPL_INVALID;
    // Version 1 streams are coded with a different, byte-oriented compressor.
    if (!raw && version < 2) return QM_LGPL_UNSUPPORTED;

    const int32_t paddedWidth = (width + 15) / 16 * 16;
    const int32_t paddedHeight = (height + 15) / 16 * 16;
    const uint64_t textureBytes = uint64_t(paddedWidth / 4) * uint64_t(paddedHeight / 4) * (withAlpha ? 16u : 8u);
    const uint64_t wordCount = textureBytes / 4;
    const uint8_t* payload = bytes + kHeaderSize;
    if (raw && payloadSize < textureBytes) return QM_LGPL_INVALID;

    try {
        context->words.resize(wordCount);
    } catch (const std::bad_alloc&) {
        return QM_LGPL_NO_MEMORY;
    }
    uint32_t* words = context->words.data();
    if (raw) {
        std::memcpy(words, payload, textureBytes);
    } else {
        Input in(payload, payloadSize);
        const bool ok = withAlpha ? decodeDXT5(in, words, wordCount) : decodeDXT1(in, words, wordCount);
        if (!ok) return QM_LGPL_INVALID;
    }

    *texture = qm_dxv_texture{};
    texture->format = withAlpha ? QM_DXV_TEXTURE_DXT5 : QM_DXV_TEXTURE_DXT1;
    texture->width = paddedWidth;
    texture->height = paddedHeight;
    texture->plane0 = reinterpret_cast<const uint8_t*>(words);
    texture->plane0Size = textureBytes;
    return QM_LGPL_OK;
}

}  // extern "C"
