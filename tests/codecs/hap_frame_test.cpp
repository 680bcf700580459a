#include "codecs/hap_frame.h"

#include <gtest/gtest.h>
#include <snappy.h>

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

Bytes header(uint32_t length, uint8_t type) {
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
    out.resize(qm_hap_encode(static_cast<int32_t>(textures.size()), pointers.data(), lengths.data(), nibbles.data(),
                             compress, chunks, out.data(), out.size(), scratch.data()));
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

TEST(HapFrameWrite, SectionLayouts) {
    const Bytes texture = compressible(64);
    // Stored: short header with the body length, type 0xA0 | nibble.
    EXPECT_EQ(encodeFrame({texture}, {0x0B}, 0, 1), cat({header(64, 0xAB), texture}));
    // One Snappy block: exactly what Snappy itself makes of the texture; chunk count 0 is unchunked too.
    std::string s;
    snappy::Compress(reinterpret_cast<const char*>(texture.data()), texture.size(), &s);
    const Bytes snappyFrame = cat({header(static_cast<uint32_t>(s.size()), 0xBE), Bytes(s.begin(), s.end())});
    EXPECT_EQ(encodeFrame({texture}, {0x0E}, 1, 1), snappyFrame);
    EXPECT_EQ(encodeFrame({texture}, {0x0E}, 1, 0), snappyFrame);
    // Incompressible: stored instead of a Snappy block that would be larger.
    const Bytes random = noise(64);
    EXPECT_EQ(encodeFrame({random}, {0x0F}, 1, 1), cat({header(64, 0xAF), random}));

    // Two textures: one 0x0D header over each texture's section as it is written alone.
    const Bytes colour = compressible(256), alpha = noise(128);
    for (int chunks : {1, 4}) {
        const Bytes first = encodeFrame({colour}, {0x0F}, 1, chunks);
        const Bytes second = encodeFrame({alpha}, {0x01}, 1, chunks);
        EXPECT_EQ(encodeFrame({colour, alpha}, {0x0F, 0x01}, 1, chunks),
                  cat({header(static_cast<uint32_t>(first.size() + second.size()), 0x0D), first, second}));
    }
}

TEST(HapFrameWrite, HeaderFormSwitchesAboveTwentyFourBits) {
    const Bytes fits(0xFFFFFF, 0x11);
    const Bytes frame = encodeFrame({fits}, {0x0B}, 0, 1);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 4), header(0xFFFFFF, 0xAB));

    const Bytes over(0x1000000, 0x11);
    const Bytes big = encodeFrame({over}, {0x0B}, 0, 1);
    EXPECT_EQ(Bytes(big.begin(), big.begin() + 8), cat({header(0, 0xAB), le32(0x1000000)}));
    EXPECT_EQ(decodeFrame(big, 0x1000000).textures[0].size(), 0x1000000u);

    // Two textures whose sections add up past 24 bits get a long multiple-texture header.
    const Bytes half(0x800000, 0x22);
    const Bytes two = encodeFrame({half, half}, {0x0F, 0x01}, 0, 1);
    EXPECT_EQ(Bytes(two.begin(), two.begin() + 8), cat({header(0, 0x0D), le32(2 * (0x800000 + 4))}));
    const Decoded d2 = decodeFrame(two, 0x800000);
    EXPECT_EQ(d2.count, 2);
    EXPECT_EQ(d2.nibbles[1], 0x01);
}

// A chunked section as the writer lays it out: 16-byte chunks, each Snappy-compressed where that
// is smaller and stored where it is not.
struct Chunked {
    uint8_t type = 0;
    Bytes compressors;
    std::vector<uint32_t> sizes;
    Bytes data;
};

Chunked parseChunked(const Bytes& frame) {
    Chunked c;
    c.type = frame.at(3);
    const size_t chunks = size_t(frame.at(8)) | size_t(frame.at(9)) << 8;
    EXPECT_EQ(Bytes(frame.begin() + 4, frame.begin() + 8), header(uint32_t(5 * chunks + 8), 0x01));
    EXPECT_EQ(Bytes(frame.begin() + 8, frame.begin() + 12), header(uint32_t(chunks), 0x02));
    c.compressors.assign(frame.begin() + 12, frame.begin() + 12 + ptrdiff_t(chunks));
    const size_t sizesAt = 12 + chunks;
    EXPECT_EQ(Bytes(frame.begin() + ptrdiff_t(sizesAt), frame.begin() + ptrdiff_t(sizesAt) + 4),
              header(uint32_t(4 * chunks), 0x03));
    for (size_t i = 0; i < chunks; ++i) {
        const uint8_t* p = frame.data() + sizesAt + 4 + 4 * i;
        c.sizes.push_back(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
    }
    c.data.assign(frame.begin() + ptrdiff_t(sizesAt + 4 + 4 * chunks), frame.end());
    const uint32_t body = uint32_t(frame[0]) | uint32_t(frame[1]) << 8 | uint32_t(frame[2]) << 16;
    EXPECT_EQ(body, frame.size() - 4);
    EXPECT_EQ(body, 12 + 5 * chunks + c.data.size());
    return c;
}

TEST(HapFrameWrite, ChunksFallOnBlockBoundariesAndStayStoredWhereSnappyCannotShrinkThem) {
    // Incompressible: every chunk stored, the section still chunked; 100 bytes in 4 chunks are
    // 32-byte chunks (25 rounded up to 16s), 40 bytes in 4 are three 16-byte ones.
    const struct { size_t length; int chunks; std::vector<uint32_t> sizes; } stored[] = {
        {100, 4, {32, 32, 32, 4}}, {40, 4, {16, 16, 8}}, {4096, 100, std::vector<uint32_t>(64, 64)}};
    for (const auto& c : stored) {
        const Bytes texture = noise(c.length, unsigned(c.length));
        const Chunked section = parseChunked(encodeFrame({texture}, {0x0B}, 1, c.chunks));
        EXPECT_EQ(section.type, 0xCB);
        EXPECT_EQ(section.sizes, c.sizes) << c.length;
        EXPECT_EQ(section.compressors, Bytes(c.sizes.size(), 0x0A));
        EXPECT_EQ(section.data, texture);
    }
    // Mixed: each 64-byte chunk is Snappy's own output where that is smaller, else the chunk.
    const Bytes texture = cat({compressible(64), noise(64), compressible(64)});
    const Chunked mixed = parseChunked(encodeFrame({texture}, {0x0E}, 1, 3));
    EXPECT_EQ(mixed.type, 0xCE);
    EXPECT_EQ(mixed.compressors, (Bytes{0x0B, 0x0A, 0x0B}));
    std::string first;
    snappy::Compress(reinterpret_cast<const char*>(texture.data()), 64, &first);
    const Bytes squeezed(first.begin(), first.end());
    EXPECT_EQ(mixed.sizes, (std::vector<uint32_t>{uint32_t(squeezed.size()), 64, uint32_t(squeezed.size())}));
    EXPECT_EQ(mixed.data, cat({squeezed, Bytes(texture.begin() + 64, texture.begin() + 128), squeezed}));
}

TEST(HapFrameWrite, RefusesWhatItCannotWrite) {
    const Bytes texture = compressible(64);
    const uint8_t* pointers[3] = {texture.data(), texture.data(), texture.data()};
    const uint64_t lengths[3] = {64, 64, 64};
    const uint8_t nibbles[3] = {0x0B, 0x0B, 0x0B};
    Bytes out(4096), scratch(4096);
    for (int32_t count : {0, 3})
        EXPECT_EQ(qm_hap_encode(count, pointers, lengths, nibbles, 1, 4, out.data(), out.size(), scratch.data()), 0u);
    const uint64_t bound = qm_hap_max_encoded_length(64, 4, 1);
    EXPECT_EQ(qm_hap_encode(1, pointers, lengths, nibbles, 1, 4, out.data(), bound - 1, scratch.data()), 0u);
    EXPECT_GT(qm_hap_encode(1, pointers, lengths, nibbles, 1, 4, out.data(), bound, scratch.data()), 0u);
}

TEST(HapFrameRead, RejectsTruncatedHeadersAndOverlongBodies) {
    const struct { Bytes frame; int32_t count; } cases[] = {
        {{}, -1},
        {{1, 0, 0}, -1},
        {{0, 0, 0, 0xAB, 0, 0, 0}, -1},                  // long header needs 8 bytes
        {{3, 0, 0, 0xAB, 1, 2}, -1},                     // body one byte beyond the frame
        {{0, 0, 0, 0xAB, 3, 0, 0, 0, 1, 2}, -1},
        {{2, 0, 0, 0xAB, 1, 2}, 1},                      // the same, fitting
        {{2, 0, 0, 0xDB, 1, 2}, -1},                     // unknown compressor nibble
        {{0, 0, 0, 0x0D, 0, 0, 0, 0}, -1},               // empty multiple-texture body
        {{6, 0, 0, 0x0D, 2, 0, 0, 0xAB, 1, 2}, 1},       // one texture in a 0x0D frame
        {{7, 0, 0, 0x0D, 2, 0, 0, 0xAB, 1, 2, 9}, -1},   // trailing garbage section
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(decodeFrame(cases[i].frame).count, cases[i].count) << i;
    // Capacity: stored and Snappy bodies must fit the output; a corrupt Snappy block never overruns it.
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
Bytes chunkedSection(const std::vector<Bytes>& tables, const Bytes& data) {
    Bytes container;
    for (const auto& t : tables) container.insert(container.end(), t.begin(), t.end());
    const Bytes body = cat({header(static_cast<uint32_t>(container.size()), 0x01), container, data});
    return cat({header(static_cast<uint32_t>(body.size()), 0xCB), body});
}

TEST(HapFrameRead, ChunkTablesMustAgree) {
    const Bytes data = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    const Bytes compressors = cat({header(2, 0x02), {0x0A, 0x0A}});
    const Bytes sizes = cat({header(8, 0x03), le32(4), le32(4)});
    const Bytes unknown = cat({header(3, 0x07), {1, 2, 3}});

    // Unknown tables and leftover bytes after the last chunk are ignored.
    EXPECT_EQ(decodeFrame(chunkedSection({compressors, unknown, sizes}, data)).textures[0], data);
    EXPECT_EQ(decodeFrame(chunkedSection({compressors, sizes}, cat({data, {'z'}}))).textures[0], data);
    // Offsets place chunks anywhere in the data; output follows table order.
    const Bytes offsets = cat({header(8, 0x04), le32(4), le32(0)});
    EXPECT_EQ(decodeFrame(chunkedSection({compressors, sizes, offsets}, data)).textures[0],
              (Bytes{'e', 'f', 'g', 'h', 'a', 'b', 'c', 'd'}));

    const std::vector<std::vector<Bytes>> broken = {
        {compressors},                                                    // no size table
        {sizes},                                                          // no compressor table
        {compressors, cat({header(12, 0x03), le32(4), le32(4), le32(0)})},  // 3 sizes for 2 chunks
        {cat({header(0, 0x02), le32(0)}), sizes},                         // present but empty
        {compressors, cat({header(0, 0x03), le32(0)})},                   // present but empty
        {compressors, cat({header(7, 0x03), le32(4), {4, 0, 0}})},        // partial entry
        {compressors, sizes, cat({header(6, 0x04), le32(0), {4, 0}})},    // partial entry
        {compressors, cat({header(8, 0x03), le32(4), le32(5)})},          // chunk past the data
        {cat({header(2, 0x02), {0x0A, 0x0C}}), sizes},                    // unknown chunk compressor
        {cat({header(2, 0x02), {0x0A, 0x0B}}), sizes},                    // not a Snappy block
        {compressors, cat({header(8, 0x03), le32(4)})},                   // table longer than container
        {compressors, sizes, cat({header(8, 0x04), le32(9), le32(0)})},   // offset beyond the data
        {compressors, sizes, cat({header(8, 0x04), le32(5), le32(0)})},   // chunk runs past the data
    };
    for (size_t i = 0; i < broken.size(); ++i)
        EXPECT_EQ(decodeFrame(chunkedSection(broken[i], data)).count, -1) << "case " << i;

    // The container itself: present, non-empty, of type 0x01; chunked output must fit the capacity.
    EXPECT_EQ(decodeFrame(cat({header(3, 0xCB), {1, 2, 3}})).count, -1);
    EXPECT_EQ(decodeFrame(cat({header(8, 0xCB), header(0, 0x01), le32(0)})).count, -1);
    Bytes wrongType = chunkedSection({compressors, sizes}, data);
    wrongType[7] = 0x02;
    EXPECT_EQ(decodeFrame(wrongType).count, -1);
    EXPECT_EQ(decodeFrame(chunkedSection({compressors, sizes}, data), 7).count, -1);
}

TEST(HapFrameRead, RoundTripsEveryWriterShape) {
    for (int chunks : {0, 1, 4, 7, 100}) {
        for (int compress : {0, 1}) {
            for (size_t length : {size_t{8}, size_t{16}, size_t{4000}, size_t{65536}}) {
                const Bytes a = length % 3 ? noise(length, static_cast<unsigned>(length)) : compressible(length);
                const Bytes b = compressible(length / 2 + 8);
                const Decoded two = decodeFrame(encodeFrame({b, a}, {0x0F, 0x01}, compress, chunks));
                ASSERT_EQ(two.count, 2);
                EXPECT_EQ(two.textures[0], b);
                EXPECT_EQ(two.textures[1], a);
                EXPECT_EQ(two.nibbles[0], 0x0F);
            }
        }
    }
}

}  // namespace
