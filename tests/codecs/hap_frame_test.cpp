#include "codecs/hap_frame.h"

#include <gtest/gtest.h>
#include <snappy.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Repetitive enough for Snappy to shrink.
Bytes compressible(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i / 16) % 7 == 0 ? i : 0x20);
    return b;
}

Bytes noise(size_t n, unsigned seed = 5) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& v : b) v = static_cast<uint8_t>(rng());
    return b;
}

Bytes shortHeader(uint32_t length, uint8_t type) {
    return {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length >> 16), type};
}

Bytes le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes encodeFrame(const std::vector<Bytes>& textures, const Bytes& nibbles, int compress, int chunks) {
    std::vector<const uint8_t*> pointers;
    std::vector<uint64_t> lengths;
    uint64_t total = 0;
    for (const auto& t : textures) {
        pointers.push_back(t.data());
        lengths.push_back(t.size());
        total += t.size();
    }
    const uint64_t bound = qm_hap_max_encoded_length(total, chunks, static_cast<int32_t>(textures.size()));
    Bytes out(bound), scratch(bound);
    const uint64_t n = qm_hap_encode(static_cast<int32_t>(textures.size()), pointers.data(), lengths.data(),
                                     nibbles.data(), compress, chunks, out.data(), out.size(), scratch.data());
    out.resize(n);
    return out;
}

struct Decoded {
    int32_t count = -1;
    Bytes textures[2];
    uint8_t nibbles[2] = {0, 0};
};

Decoded decodeFrame(const Bytes& frame, uint64_t capacity = 1 << 20) {
    Decoded d;
    d.textures[0].resize(capacity);
    d.textures[1].resize(capacity);
    uint8_t* outputs[2] = {d.textures[0].data(), d.textures[1].data()};
    const uint64_t capacities[2] = {capacity, capacity};
    uint64_t lengths[2] = {0, 0};
    d.count = qm_hap_decode(frame.data(), frame.size(), outputs, capacities, d.nibbles, lengths);
    if (d.count >= 1) d.textures[0].resize(lengths[0]);
    if (d.count >= 2) d.textures[1].resize(lengths[1]);
    return d;
}

// The chunk table of a chunked section written by us: compressor bytes and stored sizes.
struct ChunkTables {
    Bytes compressors;
    std::vector<uint32_t> sizes;
};

ChunkTables chunkTables(const Bytes& section) {
    // Short texture header, then the container, then the two tables.
    const uint8_t* p = section.data() + 4;
    EXPECT_EQ(p[3], 0x01);
    const uint32_t containerLength = p[0] | p[1] << 8 | p[2] << 16;
    const uint32_t chunks = p[4];
    EXPECT_EQ(containerLength, 5 * chunks + 8);
    EXPECT_EQ(p[7], 0x02);
    ChunkTables t;
    t.compressors.assign(p + 8, p + 8 + chunks);
    const uint8_t* sizes = p + 8 + chunks;
    EXPECT_EQ(sizes[0] | sizes[1] << 8 | sizes[2] << 16, static_cast<int>(4 * chunks));
    EXPECT_EQ(sizes[3], 0x03);
    for (uint32_t i = 0; i < chunks; ++i) {
        const uint8_t* s = sizes + 4 + 4 * i;
        t.sizes.push_back(s[0] | s[1] << 8 | s[2] << 16 | static_cast<uint32_t>(s[3]) << 24);
    }
    return t;
}

TEST(HapFrameWrite, StoredAndSnappySectionLayouts) {
    const Bytes texture = compressible(64);
    // Stored: short header with the body length, type 0xA0 | nibble.
    EXPECT_EQ(encodeFrame({texture}, {0x0B}, 0, 1), cat({shortHeader(64, 0xAB), texture}));

    // One Snappy block: exactly what Snappy itself makes of the texture.
    std::string snappyBytes;
    snappy::Compress(reinterpret_cast<const char*>(texture.data()), texture.size(), &snappyBytes);
    const Bytes expected = cat({shortHeader(static_cast<uint32_t>(snappyBytes.size()), 0xBE),
                                Bytes(snappyBytes.begin(), snappyBytes.end())});
    EXPECT_EQ(encodeFrame({texture}, {0x0E}, 1, 1), expected);
    EXPECT_EQ(encodeFrame({texture}, {0x0E}, 1, 0), expected);  // chunk count 0 is unchunked too

    // Incompressible: stored instead of a Snappy block that would be larger.
    const Bytes random = noise(64);
    EXPECT_EQ(encodeFrame({random}, {0x0F}, 1, 1), cat({shortHeader(64, 0xAF), random}));
}

TEST(HapFrameWrite, ChunkSplitsKeepSixteenByteBoundaries) {
    const struct { size_t length; int chunks; std::vector<uint32_t> plain; } cases[] = {
        {100, 4, {32, 32, 32, 4}},
        {40, 4, {16, 16, 8}},
        {2048, 100, std::vector<uint32_t>(64, 32)},  // 100 behaves as 64
        {1000, 64, [] { std::vector<uint32_t> v(62, 16); v.push_back(8); return v; }()},
    };
    for (const auto& c : cases) {
        // Noise keeps every chunk stored, so the size table shows the plain split.
        const Bytes texture = noise(c.length);
        const Bytes frame = encodeFrame({texture}, {0x0B}, 1, c.chunks);
        ASSERT_FALSE(frame.empty());
        EXPECT_EQ(frame[3], 0xCB);
        const uint32_t n = static_cast<uint32_t>(c.plain.size());
        EXPECT_EQ(frame.size(), 4 + 12 + 5 * n + c.length) << c.length;
        const ChunkTables tables = chunkTables(frame);
        EXPECT_EQ(tables.sizes, c.plain) << c.length;
        EXPECT_EQ(tables.compressors, Bytes(n, 0x0A));
        EXPECT_EQ(Bytes(frame.end() - static_cast<long>(c.length), frame.end()), texture);
        EXPECT_EQ(decodeFrame(frame).textures[0], texture);
    }

    // Compressible chunks are Snappy blocks of exactly those chunk bytes.
    const Bytes texture = compressible(100);
    const Bytes frame = encodeFrame({texture}, {0x01}, 1, 4);
    const ChunkTables tables = chunkTables(frame);
    size_t offset = 4 + 4 + 8 + 5 * 4;
    for (size_t i = 0; i < 4; ++i) {
        std::string expected;
        snappy::Compress(reinterpret_cast<const char*>(texture.data() + 32 * i), i < 3 ? 32 : 4, &expected);
        if (expected.size() < (i < 3 ? 32u : 4u)) {
            EXPECT_EQ(tables.compressors[i], 0x0B);
            EXPECT_EQ(0, std::memcmp(frame.data() + offset, expected.data(), expected.size()));
        } else {
            EXPECT_EQ(tables.compressors[i], 0x0A);
        }
        offset += tables.sizes[i];
    }
    EXPECT_EQ(offset, frame.size());
    EXPECT_EQ(frame[3], 0xC1);
}

TEST(HapFrameWrite, HeaderFormSwitchesAboveTwentyFourBits) {
    const Bytes fits(0xFFFFFF, 0x11);
    const Bytes frame = encodeFrame({fits}, {0x0B}, 0, 1);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), shortHeader(0xFFFFFF, 0xAB));
    EXPECT_EQ(frame.size(), 0xFFFFFFu + 4);

    const Bytes over(0x1000000, 0x11);
    const Bytes big = encodeFrame({over}, {0x0B}, 0, 1);
    EXPECT_EQ(Bytes(big.begin(), big.begin() + 8), cat({shortHeader(0, 0xAB), le32(0x1000000)}));
    const Decoded d = decodeFrame(big, 0x1000000);
    EXPECT_EQ(d.count, 1);
    EXPECT_EQ(d.textures[0].size(), 0x1000000u);

    // Two textures whose sections add up past 24 bits get a long multiple-texture header.
    const Bytes half(0x800000, 0x22);
    const Bytes two = encodeFrame({half, half}, {0x0F, 0x01}, 0, 1);
    EXPECT_EQ(Bytes(two.begin(), two.begin() + 8), cat({shortHeader(0, 0x0D), le32(2 * (0x800000 + 4))}));
    const Decoded d2 = decodeFrame(two, 0x800000);
    EXPECT_EQ(d2.count, 2);
    EXPECT_EQ(d2.nibbles[1], 0x01);
}

TEST(HapFrameWrite, TwoTexturesShareOneShortHeader) {
    const Bytes colour = compressible(256), alpha = noise(128);
    for (int chunks : {1, 4}) {
        const Bytes frame = encodeFrame({colour, alpha}, {0x0F, 0x01}, 1, chunks);
        ASSERT_GE(frame.size(), 4u);
        EXPECT_EQ(frame[3], 0x0D);
        EXPECT_EQ(static_cast<size_t>(frame[0] | frame[1] << 8 | frame[2] << 16), frame.size() - 4);
        // The body is texture 0's section then texture 1's, each as it is written alone.
        const Bytes first = encodeFrame({colour}, {0x0F}, 1, chunks);
        const Bytes second = encodeFrame({alpha}, {0x01}, 1, chunks);
        EXPECT_EQ(frame, cat({shortHeader(static_cast<uint32_t>(first.size() + second.size()), 0x0D), first, second}));
        const Decoded d = decodeFrame(frame);
        ASSERT_EQ(d.count, 2);
        EXPECT_EQ(d.textures[0], colour);
        EXPECT_EQ(d.textures[1], alpha);
        EXPECT_EQ(d.nibbles[0], 0x0F);
        EXPECT_EQ(d.nibbles[1], 0x01);
    }
}

TEST(HapFrameWrite, RefusesWhatItCannotWrite) {
    const Bytes texture = compressible(64);
    const uint8_t* pointers[3] = {texture.data(), texture.data(), texture.data()};
    const uint64_t lengths[3] = {64, 64, 64};
    const uint8_t nibbles[3] = {0x0B, 0x0B, 0x0B};
    Bytes out(4096), scratch(4096);
    EXPECT_EQ(qm_hap_encode(3, pointers, lengths, nibbles, 1, 4, out.data(), out.size(), scratch.data()), 0u);
    EXPECT_EQ(qm_hap_encode(0, pointers, lengths, nibbles, 1, 4, out.data(), out.size(), scratch.data()), 0u);
    const uint64_t bound = qm_hap_max_encoded_length(64, 4, 1);
    EXPECT_EQ(bound, 64u + 64 / 6 + 32 + (4 * 49 + 32) + 16);
    EXPECT_EQ(qm_hap_encode(1, pointers, lengths, nibbles, 1, 4, out.data(), bound - 1, scratch.data()), 0u);
    EXPECT_GT(qm_hap_encode(1, pointers, lengths, nibbles, 1, 4, out.data(), bound, scratch.data()), 0u);
    EXPECT_EQ(qm_hap_max_encoded_length(0, 0, 1), qm_hap_max_encoded_length(0, 1, 1));
    EXPECT_EQ(qm_hap_max_encoded_length(0, 500, 1), qm_hap_max_encoded_length(0, 64, 1));
}

TEST(HapFrameRead, RejectsTruncatedHeadersAndOverlongBodies) {
    EXPECT_EQ(decodeFrame({}).count, -1);
    EXPECT_EQ(decodeFrame({1, 0, 0}).count, -1);
    EXPECT_EQ(decodeFrame({0, 0, 0, 0xAB, 0, 0, 0}).count, -1);     // long header needs 8 bytes
    EXPECT_EQ(decodeFrame({3, 0, 0, 0xAB, 1, 2}).count, -1);        // body one byte beyond the frame
    EXPECT_EQ(decodeFrame({0, 0, 0, 0xAB, 3, 0, 0, 0, 1, 2}).count, -1);
    EXPECT_EQ(decodeFrame({2, 0, 0, 0xAB, 1, 2}).count, 1);         // the same, fitting
    EXPECT_EQ(decodeFrame({2, 0, 0, 0xDB, 1, 2}).count, -1);        // unknown compressor nibble
    EXPECT_EQ(decodeFrame({0, 0, 0, 0x0D, 0, 0, 0, 0}).count, -1);  // empty multiple-texture body
    EXPECT_EQ(decodeFrame({6, 0, 0, 0x0D, 2, 0, 0, 0xAB, 1, 2}).count, 1);  // one texture in a 0x0D frame
    EXPECT_EQ(decodeFrame({7, 0, 0, 0x0D, 2, 0, 0, 0xAB, 1, 2, 9}).count, -1);  // trailing garbage section
    // Capacity: stored and Snappy bodies must fit the output.
    EXPECT_EQ(decodeFrame({4, 0, 0, 0xAB, 1, 2, 3, 4}, 3).count, -1);
    const Bytes snappyFrame = encodeFrame({compressible(64)}, {0x0B}, 1, 1);
    ASSERT_EQ(snappyFrame[3], 0xBB);
    EXPECT_EQ(decodeFrame(snappyFrame, 63).count, -1);
    EXPECT_EQ(decodeFrame(snappyFrame, 64).count, 1);
    Bytes corrupt = snappyFrame;
    corrupt.back() ^= 0xFF;
    corrupt[5] ^= 0x40;
    const Decoded d = decodeFrame(corrupt, 64);
    EXPECT_TRUE(d.count == -1 || d.textures[0].size() == 64u);
}

// A chunked section built by hand from its tables and chunk data.
Bytes chunkedSection(const std::vector<Bytes>& tables, const Bytes& data, uint8_t type = 0xCB) {
    Bytes container;
    for (const auto& t : tables) container.insert(container.end(), t.begin(), t.end());
    const Bytes body = cat({shortHeader(static_cast<uint32_t>(container.size()), 0x01), container, data});
    return cat({shortHeader(static_cast<uint32_t>(body.size()), type), body});
}

TEST(HapFrameRead, ChunkTablesMustAgree) {
    const Bytes data = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    const Bytes compressors = cat({shortHeader(2, 0x02), {0x0A, 0x0A}});
    const Bytes sizes = cat({shortHeader(8, 0x03), le32(4), le32(4)});
    const Bytes unknown = cat({shortHeader(3, 0x07), {1, 2, 3}});

    EXPECT_EQ(decodeFrame(chunkedSection({compressors, unknown, sizes}, data)).textures[0], data);
    // Leftover bytes after the last chunk are ignored.
    EXPECT_EQ(decodeFrame(chunkedSection({compressors, sizes}, cat({data, {'z'}}))).textures[0], data);

    // Offsets place chunks anywhere in the data; output follows table order.
    const Bytes offsets = cat({shortHeader(8, 0x04), le32(4), le32(0)});
    EXPECT_EQ(decodeFrame(chunkedSection({compressors, sizes, offsets}, data)).textures[0],
              (Bytes{'e', 'f', 'g', 'h', 'a', 'b', 'c', 'd'}));
    const Bytes offsetBeyond = cat({shortHeader(8, 0x04), le32(9), le32(0)});
    EXPECT_EQ(decodeFrame(chunkedSection({compressors, sizes, offsetBeyond}, data)).count, -1);
    const Bytes offsetTooLate = cat({shortHeader(8, 0x04), le32(5), le32(0)});
    EXPECT_EQ(decodeFrame(chunkedSection({compressors, sizes, offsetTooLate}, data)).count, -1);

    const std::vector<std::vector<Bytes>> broken = {
        {compressors},                                                              // no size table
        {sizes},                                                                    // no compressor table
        {compressors, cat({shortHeader(12, 0x03), le32(4), le32(4), le32(0)})},     // 3 sizes for 2 chunks
        {cat({shortHeader(0, 0x02), le32(0)}), sizes},                              // present but empty
        {compressors, cat({shortHeader(0, 0x03), le32(0)})},                        // present but empty
        {compressors, cat({shortHeader(7, 0x03), le32(4), {4, 0, 0}})},             // partial entry
        {compressors, sizes, cat({shortHeader(6, 0x04), le32(0), {4, 0}})},         // partial entry
        {compressors, cat({shortHeader(8, 0x03), le32(4), le32(5)})},               // chunk past the data
        {cat({shortHeader(2, 0x02), {0x0A, 0x0C}}), sizes},                         // unknown chunk compressor
        {cat({shortHeader(2, 0x02), {0x0A, 0x0B}}), sizes},                         // not a Snappy block
        {compressors, cat({shortHeader(8, 0x03), le32(4)})},                        // table longer than container
    };
    for (size_t i = 0; i < broken.size(); ++i)
        EXPECT_EQ(decodeFrame(chunkedSection(broken[i], data)).count, -1) << "case " << i;

    // The container itself: present, non-empty, of type 0x01.
    EXPECT_EQ(decodeFrame(cat({shortHeader(3, 0xCB), {1, 2, 3}})).count, -1);
    EXPECT_EQ(decodeFrame(cat({shortHeader(8, 0xCB), shortHeader(0, 0x01), le32(0)})).count, -1);
    Bytes wrongType = chunkedSection({compressors, sizes}, data);
    wrongType[7] = 0x02;
    EXPECT_EQ(decodeFrame(wrongType).count, -1);
    // Chunked output must fit the capacity.
    EXPECT_EQ(decodeFrame(chunkedSection({compressors, sizes}, data), 7).count, -1);
}

TEST(HapFrameRead, RoundTripsEveryWriterShape) {
    for (int chunks : {0, 1, 2, 4, 7, 64, 100}) {
        for (int compress : {0, 1}) {
            for (size_t length : {size_t{8}, size_t{16}, size_t{4000}, size_t{65536}}) {
                const Bytes a = length % 3 ? noise(length, static_cast<unsigned>(length)) : compressible(length);
                const Bytes b = compressible(length / 2 + 8);
                const Decoded one = decodeFrame(encodeFrame({a}, {0x0E}, compress, chunks));
                ASSERT_EQ(one.count, 1);
                EXPECT_EQ(one.textures[0], a);
                EXPECT_EQ(one.nibbles[0], 0x0E);
                const Decoded two = decodeFrame(encodeFrame({b, a}, {0x0F, 0x01}, compress, chunks));
                ASSERT_EQ(two.count, 2);
                EXPECT_EQ(two.textures[0], b);
                EXPECT_EQ(two.textures[1], a);
            }
        }
    }
}

}  // namespace
