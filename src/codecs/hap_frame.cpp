#include "codecs/hap_frame.h"

#include <snappy.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr uint64_t kShortLimit = 0xFFFFFF;
constexpr uint64_t kLongLimit = 0xFFFFFFFF;
constexpr uint8_t kStored = 0xA;
constexpr uint8_t kSnappy = 0xB;
constexpr uint8_t kChunked = 0xC;
constexpr uint8_t kMultipleTextures = 0x0D;
constexpr uint8_t kDecodeInstructions = 0x01;
constexpr uint8_t kChunkCompressorTable = 0x02;
constexpr uint8_t kChunkSizeTable = 0x03;
constexpr uint8_t kChunkOffsetTable = 0x04;
constexpr int kMaxChunks = 64;

void putLE32(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t getLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// Long form exactly when the body is empty or does not fit 24 bits. Returns the header size.
size_t writeHeader(uint8_t* out, uint64_t bodyLength, uint8_t type) {
    if (bodyLength == 0 || bodyLength > kShortLimit) {
        out[0] = out[1] = out[2] = 0;
        out[3] = type;
        putLE32(out + 4, bodyLength);
        return 8;
    }
    out[0] = static_cast<uint8_t>(bodyLength);
    out[1] = static_cast<uint8_t>(bodyLength >> 8);
    out[2] = static_cast<uint8_t>(bodyLength >> 16);
    out[3] = type;
    return 4;
}

size_t headerSize(uint64_t bodyLength) { return (bodyLength == 0 || bodyLength > kShortLimit) ? 8 : 4; }

struct Section {
    uint8_t type = 0;
    uint64_t headerSize = 0;
    uint64_t bodyLength = 0;
    const uint8_t* body = nullptr;
};

// Parses a section header at p; the body must lie within `available` bytes.
bool parseSection(const uint8_t* p, uint64_t available, Section& section) {
    if (p == nullptr || available < 4) return false;
    uint64_t length = static_cast<uint64_t>(p[0]) | (static_cast<uint64_t>(p[1]) << 8) |
                      (static_cast<uint64_t>(p[2]) << 16);
    uint64_t header = 4;
    if (length == 0) {
        if (available < 8) return false;
        length = getLE32(p + 4);
        header = 8;
    }
    if (length > available - header) return false;
    section.type = p[3];
    section.headerSize = header;
    section.bodyLength = length;
    section.body = p + header;
    return true;
}

bool unsnappy(const uint8_t* in, uint64_t inLength, uint8_t* out, uint64_t capacity, uint64_t& produced) {
    size_t length = 0;
    if (!snappy::GetUncompressedLength(reinterpret_cast<const char*>(in), inLength, &length)) return false;
    if (length > capacity) return false;
    char nothing = 0;
    char* target = out != nullptr ? reinterpret_cast<char*>(out) : &nothing;
    if (length > 0 && out == nullptr) return false;
    if (!snappy::RawUncompress(reinterpret_cast<const char*>(in), inLength, target)) return false;
    produced = length;
    return true;
}

// Reads a chunked texture body (decode instructions, then the chunk data) into `output`.
bool readChunked(const uint8_t* body, uint64_t bodyLength, uint8_t* output, uint64_t capacity, uint64_t& produced) {
    if (bodyLength < 4) return false;
    Section container;
    if (!parseSection(body, bodyLength, container)) return false;
    if (container.bodyLength == 0 || container.type != kDecodeInstructions) return false;
    const uint8_t* data = container.body + container.bodyLength;
    const uint64_t dataLength = bodyLength - container.headerSize - container.bodyLength;

    const uint8_t* compressors = nullptr;
    const uint8_t* sizes = nullptr;
    const uint8_t* offsets = nullptr;
    uint64_t count = 0;
    uint64_t position = 0;
    while (position < container.bodyLength) {
        Section table;
        if (!parseSection(container.body + position, container.bodyLength - position, table)) return false;
        position += table.headerSize + table.bodyLength;
        uint64_t entries = 0;
        switch (table.type) {
        case kChunkCompressorTable:
            compressors = table.body;
            entries = table.bodyLength;
            break;
        case kChunkSizeTable:
        case kChunkOffsetTable:
            // A table that does not hold whole entries is damaged, not merely short.
            if (table.bodyLength % 4 != 0) return false;
            (table.type == kChunkSizeTable ? sizes : offsets) = table.body;
            entries = table.bodyLength / 4;
            break;
        default: continue;
        }
        if (entries == 0) return false;  // a present table must describe at least one chunk
        if (count == 0) count = entries;
        if (entries != count) return false;
    }
    if (compressors == nullptr || sizes == nullptr || count == 0) return false;

    produced = 0;
    uint64_t next = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t start = offsets != nullptr ? getLE32(offsets + 4 * i) : next;
        const uint64_t size = getLE32(sizes + 4 * i);
        if (start > dataLength || size > dataLength - start) return false;
        next = start + size;
        const uint8_t* chunk = data + start;
        const uint64_t room = capacity - produced;
        uint8_t* target = output == nullptr ? nullptr : output + produced;
        switch (compressors[i]) {
        case 0x0A:
            if (size > room) return false;
            if (size > 0) std::memcpy(target, chunk, size);
            produced += size;
            break;
        case 0x0B: {
            uint64_t length = 0;
            if (!unsnappy(chunk, size, target, room, length)) return false;
            produced += length;
            break;
        }
        default: return false;
        }
    }
    return true;
}

uint64_t writeStored(const uint8_t* texture, uint64_t length, uint8_t type, uint8_t* out) {
    const size_t header = writeHeader(out, length, type);
    std::memcpy(out + header, texture, length);
    return header + length;
}

}  // namespace

extern "C" {

uint64_t qm_hap_max_encoded_length(uint64_t totalTextureBytes, int32_t chunkCount, int32_t textureCount) {
    const uint64_t chunks = static_cast<uint64_t>(std::clamp(chunkCount, 1, kMaxChunks));
    const uint64_t textures = static_cast<uint64_t>(std::max(textureCount, 0));
    return totalTextureBytes + totalTextureBytes / 6 + 32 + textures * (chunks * 49 + 32) + 16;
}

uint64_t qm_hap_write_texture(const uint8_t* texture, uint64_t length, uint8_t textureNibble, int32_t compress,
                              int32_t chunkCount, uint8_t* out, uint8_t* scratch) {
    const uint8_t nibble = textureNibble & 0x0F;
    // Every texture holds at least one block, and a section length has at most 32 bits.
    if (length == 0 || length > kLongLimit || texture == nullptr || out == nullptr) return 0;
    if (compress == 0) return writeStored(texture, length, static_cast<uint8_t>(kStored << 4 | nibble), out);
    if (scratch == nullptr) return 0;

    if (chunkCount <= 1) {
        size_t compressed = 0;
        snappy::RawCompress(reinterpret_cast<const char*>(texture), length, reinterpret_cast<char*>(scratch),
                            &compressed);
        if (compressed >= length) return writeStored(texture, length, static_cast<uint8_t>(kStored << 4 | nibble), out);
        const size_t header = writeHeader(out, compressed, static_cast<uint8_t>(kSnappy << 4 | nibble));
        std::memcpy(out + header, scratch, compressed);
        return header + compressed;
    }

    // Chunk sizes stay multiples of 16 bytes so that no block straddles two chunks.
    const uint64_t c = static_cast<uint64_t>(std::min(chunkCount, kMaxChunks));
    uint64_t chunkSize = (length + c - 1) / c;
    chunkSize = (chunkSize + 15) / 16 * 16;
    const uint64_t chunks = (length + chunkSize - 1) / chunkSize;

    uint8_t compressors[kMaxChunks];
    uint64_t sizes[kMaxChunks];
    uint64_t dataLength = 0;
    for (uint64_t i = 0; i < chunks; ++i) {
        const uint64_t begin = i * chunkSize;
        const uint64_t size = std::min(chunkSize, length - begin);
        uint8_t* target = scratch + dataLength;
        size_t compressed = 0;
        snappy::RawCompress(reinterpret_cast<const char*>(texture + begin), size, reinterpret_cast<char*>(target),
                            &compressed);
        if (compressed < size) {
            compressors[i] = 0x0B;
            sizes[i] = compressed;
        } else {
            std::memcpy(target, texture + begin, size);
            compressors[i] = 0x0A;
            sizes[i] = size;
        }
        dataLength += sizes[i];
    }

    const uint64_t instructionsLength = 5 * chunks + 8;
    const uint64_t bodyLength = 4 + instructionsLength + dataLength;
    if (bodyLength > kLongLimit) return 0;
    uint8_t* p = out + writeHeader(out, bodyLength, static_cast<uint8_t>(kChunked << 4 | nibble));
    p += writeHeader(p, instructionsLength, kDecodeInstructions);
    p += writeHeader(p, chunks, kChunkCompressorTable);
    std::memcpy(p, compressors, chunks);
    p += chunks;
    p += writeHeader(p, 4 * chunks, kChunkSizeTable);
    for (uint64_t i = 0; i < chunks; ++i, p += 4) putLE32(p, sizes[i]);
    std::memcpy(p, scratch, dataLength);
    return headerSize(bodyLength) + bodyLength;
}

uint64_t qm_hap_encode(int32_t textureCount, const uint8_t* const* textures, const uint64_t* lengths,
                       const uint8_t* textureNibbles, int32_t compress, int32_t chunkCount, uint8_t* out,
                       uint64_t outCapacity, uint8_t* scratch) {
    if (textureCount != 1 && textureCount != 2) return 0;
    if (textures == nullptr || lengths == nullptr || textureNibbles == nullptr || out == nullptr) return 0;
    uint64_t total = 0;
    for (int32_t i = 0; i < textureCount; ++i) total += lengths[i];
    if (outCapacity < qm_hap_max_encoded_length(total, chunkCount, textureCount)) return 0;

    if (textureCount == 1)
        return qm_hap_write_texture(textures[0], lengths[0], textureNibbles[0], compress, chunkCount, out, scratch);

    const uint64_t first = qm_hap_write_texture(textures[0], lengths[0], textureNibbles[0], compress, chunkCount,
                                                out + 8, scratch);
    if (first == 0) return 0;
    const uint64_t second = qm_hap_write_texture(textures[1], lengths[1], textureNibbles[1], compress, chunkCount,
                                                 out + 8 + first, scratch);
    if (second == 0) return 0;
    const uint64_t n = first + second;
    if (n > kLongLimit) return 0;
    if (headerSize(n) == 8) {
        writeHeader(out, n, kMultipleTextures);
        return n + 8;
    }
    std::memmove(out + 4, out + 8, n);
    writeHeader(out, n, kMultipleTextures);
    return n + 4;
}

int32_t qm_hap_read_texture(const uint8_t* section, uint64_t available, uint8_t* output, uint64_t capacity,
                            uint8_t* outNibble, uint64_t* outLength, uint64_t* outConsumed) {
    Section s;
    if (!parseSection(section, available, s)) return -1;
    if (outConsumed != nullptr) *outConsumed = s.headerSize + s.bodyLength;
    if (outNibble != nullptr) *outNibble = s.type & 0x0F;
    if (output == nullptr) capacity = 0;

    uint64_t produced = 0;
    switch (s.type >> 4) {
    case kSnappy:
        if (!unsnappy(s.body, s.bodyLength, output, capacity, produced)) return -1;
        break;
    case kStored:
        if (s.bodyLength > capacity) return -1;
        if (s.bodyLength > 0) std::memcpy(output, s.body, s.bodyLength);
        produced = s.bodyLength;
        break;
    case kChunked:
        if (!readChunked(s.body, s.bodyLength, output, capacity, produced)) return -1;
        break;
    default: return -1;
    }
    if (outLength != nullptr) *outLength = produced;
    return 0;
}

int32_t qm_hap_decode(const uint8_t* frame, uint64_t frameLength, uint8_t* const* outputs,
                      const uint64_t* outputCapacities, uint8_t* outNibbles, uint64_t* outLengths) {
    if (outputs == nullptr || outputCapacities == nullptr || outNibbles == nullptr || outLengths == nullptr) return -1;
    Section top;
    if (!parseSection(frame, frameLength, top)) return -1;
    if (top.type != kMultipleTextures) {
        uint64_t consumed = 0;
        return qm_hap_read_texture(frame, frameLength, outputs[0], outputCapacities[0], &outNibbles[0], &outLengths[0],
                                   &consumed) == 0
                   ? 1
                   : -1;
    }
    int32_t count = 0;
    uint64_t position = 0;
    while (position < top.bodyLength && count < 2) {
        uint64_t consumed = 0;
        if (qm_hap_read_texture(top.body + position, top.bodyLength - position, outputs[count],
                                outputCapacities[count], &outNibbles[count], &outLengths[count], &consumed) != 0)
            return -1;
        position += consumed;
        ++count;
    }
    return count > 0 ? count : -1;
}

}  // extern "C"
