#include "codecs/dxv_writer.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codecs/texture_codec.h"

static_assert(std::endian::native == std::endian::little, "texture words are read in host order");

namespace {

constexpr uint32_t kTagDXT1 = 0x44585431;  // "DXT1" as a little-endian number
constexpr uint32_t kTagDXT5 = 0x44585435;  // "DXT5"
constexpr size_t kHeaderSize = 12;
constexpr size_t kTableEntries = 65536;
constexpr int kAlphaTries = 16;  // earlier alpha halves tried for a copy both decoder generations read

uint32_t pairHash(uint32_t a, uint32_t b) { return ((a * 0x9E3779B1u) ^ (b * 0x85EBCA77u)) >> 16; }
uint32_t wordHash(uint32_t a) { return (a * 0x9E3779B1u) >> 16; }

bool reserve(qm_dxv_stream* s, size_t n) {
    if (s->overflow != 0) return false;
    if (static_cast<size_t>(s->end - s->pos) < n) {
        s->overflow = 1;
        return false;
    }
    return true;
}

void putBytes(qm_dxv_stream* s, uint32_t value, size_t n) {
    if (!reserve(s, n)) return;
    for (size_t i = 0; i < n; ++i) s->pos[i] = static_cast<uint8_t>(value >> (8 * i));
    s->pos += n;
}

void put8(qm_dxv_stream* s, uint32_t v) { putBytes(s, v, 1); }
void put16(qm_dxv_stream* s, uint32_t v) { putBytes(s, v, 2); }
void put32(qm_dxv_stream* s, uint32_t v) { putBytes(s, v, 4); }

// A count beyond its first byte: 16-bit pieces, 0xFFFF for each full 65,535, then the remainder.
void putPieces(qm_dxv_stream* s, uint64_t rest) {
    for (; rest >= 0xFFFF; rest -= 0xFFFF) put16(s, 0xFFFF);
    put16(s, static_cast<uint32_t>(rest));
}

struct Tables {
    uint32_t* t0;
    uint32_t* t1;
    uint32_t* t2;
};

// One word of a DXT1 pair that did not match as a pair: the word two back, a table hit at an even
// distance, or a literal.
void codeDXT1Word(qm_dxv_stream* s, const uint32_t* T, uint64_t i, uint32_t* table) {
    const uint32_t w = T[i];
    const uint32_t h = wordHash(w);
    if (T[i - 2] == w) {
        table[h] = static_cast<uint32_t>(i + 1);
        qm_dxv_put_op(s, 1);
        return;
    }
    const uint32_t c = table[h];
    table[h] = static_cast<uint32_t>(i + 1);
    if (c != 0 && T[c - 1] == w) {
        const uint64_t d = i - (c - 1);
        if (d % 2 == 0 && d != 0) {
            const uint64_t D = d / 2;
            if (D == 1) {
                qm_dxv_put_op(s, 1);
                return;
            }
            if (D >= 2 && D <= 257) {
                qm_dxv_put_op(s, 2);
                put8(s, static_cast<uint32_t>(D - 2));
                return;
            }
            if (D >= 258 && D <= 65793) {
                qm_dxv_put_op(s, 3);
                put16(s, static_cast<uint32_t>(D - 258));
                return;
            }
        }
    }
    qm_dxv_put_op(s, 0);
    put32(s, w);
}

void codeDXT1(qm_dxv_stream* s, const uint32_t* T, uint64_t n, const Tables& t) {
    put32(s, T[0]);
    put32(s, T[1]);
    t.t0[pairHash(T[0], T[1])] = 1;
    t.t1[wordHash(T[0])] = 1;
    t.t2[wordHash(T[1])] = 2;
    for (uint64_t p = 2; p < n && s->overflow == 0; p += 2) {
        const uint32_t a = T[p];
        const uint32_t b = T[p + 1];
        const uint32_t h = pairHash(a, b);
        const uint32_t c = t.t0[h];
        uint64_t distance = 0;
        if (c != 0 && T[c - 1] == a && T[c] == b) {
            distance = p - (c - 1);
        } else if (T[p - 2] == a && T[p - 1] == b) {
            distance = 2;
        }
        t.t0[h] = static_cast<uint32_t>(p + 1);
        if (distance != 0 && distance <= UINT32_MAX && qm_dxv_put_match(s, static_cast<uint32_t>(distance), 2) != 0) {
            t.t1[wordHash(a)] = static_cast<uint32_t>(p + 1);
            t.t2[wordHash(b)] = static_cast<uint32_t>(p + 2);
            continue;
        }
        qm_dxv_put_op(s, 0);
        codeDXT1Word(s, T, p, t.t1);
        codeDXT1Word(s, T, p + 1, t.t2);
    }
}

// An alpha half copied from 8 + 4v words back is read by decoders before FFmpeg 7 from 8 + v words
// back. Of the earlier blocks with this alpha half (the chain from `head`, latest first, a bounded
// number), the first for which both places hold it gives v; -1 when none does.
int64_t alphaCopy(const uint32_t* T, uint64_t p, uint32_t head, const uint32_t* chain) {
    const uint32_t a0 = T[p], a1 = T[p + 1];
    const auto holds = [&](uint64_t back) { return back <= p && T[p - back] == a0 && T[p - back + 1] == a1; };
    int tries = 0;
    for (uint32_t c = head; c != 0 && tries < kAlphaTries; c = chain[(c - 1) / 4], ++tries) {
        const uint64_t d = p - (c - 1);
        if (d < 8 || T[c - 1] != a0 || T[c] != a1) continue;
        // This block as the newer decoders' place, or as the older ones'.
        if ((d - 8) / 4 <= 0xFFFF && holds(8 + (d - 8) / 4)) return int64_t((d - 8) / 4);
        if (d - 8 <= 0xFFFF && holds(8 + 4 * (d - 8))) return int64_t(d - 8);
    }
    return -1;
}

void codeDXT5(qm_dxv_stream* s, const uint32_t* T, uint64_t n, const Tables& t, uint32_t* chain) {
    // Table 0 with `chain` (the block's predecessor under the same hash) lists earlier alpha halves.
    const auto noteAlpha = [&](uint64_t q) {
        uint32_t& head = t.t0[pairHash(T[q], T[q + 1])];
        chain[q / 4] = head;
        head = static_cast<uint32_t>(q + 1);
    };
    for (int i = 0; i < 4; ++i) put32(s, T[i]);
    noteAlpha(0);
    t.t1[pairHash(T[2], T[3])] = 3;
    uint64_t run = 0;
    for (uint64_t p = 4; p + 4 <= n && s->overflow == 0;) {
        const uint32_t a0 = T[p], a1 = T[p + 1], c0 = T[p + 2], c1 = T[p + 3];

        // Alpha half.
        if (run > 0) {
            --run;
        } else {
            uint64_t same = 0;
            for (uint64_t q = p; q + 4 <= n && std::memcmp(T + q, T + q - 4, 16) == 0; q += 4) ++same;
            if (same > 0) {
                qm_dxv_put_op(s, 0);
                if (same <= 255) {
                    put8(s, static_cast<uint32_t>(same - 1));
                } else {
                    put8(s, 0xFF);
                    putPieces(s, same - 256);
                }
                for (uint64_t q = p; q < p + 4 * same; q += 4) {
                    noteAlpha(q);
                    t.t1[pairHash(T[q + 2], T[q + 3])] = static_cast<uint32_t>(q + 3);
                }
                p += 4 * same;
                run = 0;
                continue;
            }
            if (T[p - 4] == a0 && T[p - 3] == a1) {
                for (uint64_t q = p + 4; q + 4 <= n && T[q] == a0 && T[q + 1] == a1; q += 4) ++run;
                qm_dxv_put_op(s, 1);
                if (run < 255) {
                    put8(s, static_cast<uint32_t>(run));
                } else {
                    put8(s, 0xFF);
                    putPieces(s, run - 255);
                }
            } else {
                const int64_t v = alphaCopy(T, p, t.t0[pairHash(a0, a1)], chain);
                if (v >= 0) {
                    qm_dxv_put_op(s, 2);
                    put16(s, static_cast<uint32_t>(v));
                } else {
                    qm_dxv_put_op(s, 3);
                    put32(s, a0);
                    put32(s, a1);
                }
            }
        }
        noteAlpha(p);

        // Colour half.
        const uint32_t h = pairHash(c0, c1);
        if (T[p - 2] == c0 && T[p - 1] == c1) {
            t.t1[h] = static_cast<uint32_t>(p + 3);
            qm_dxv_put_match(s, 4, 4);
        } else {
            const uint32_t c = t.t1[h];
            t.t1[h] = static_cast<uint32_t>(p + 3);
            bool matched = false;
            if (c != 0 && T[c - 1] == c0 && T[c] == c1) {
                const uint64_t d = (p + 2) - (c - 1);
                if (d != 0 && d % 4 == 0 && d / 4 <= 65793) matched = qm_dxv_put_match(s, static_cast<uint32_t>(d), 4) != 0;
            }
            if (!matched) {
                qm_dxv_put_op(s, 0);
                for (uint64_t i = p + 2; i < p + 4; ++i) {
                    if (T[i] == T[i - 4]) {
                        qm_dxv_put_op(s, 1);
                    } else {
                        qm_dxv_put_op(s, 0);
                        put32(s, T[i]);
                    }
                }
            }
        }
        p += 4;
    }
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

uint64_t textureBytes(int64_t width, int64_t height, bool withAlpha) {
    const int64_t paddedWidth = (width + 15) / 16 * 16;
    const int64_t paddedHeight = (height + 15) / 16 * 16;
    return uint64_t(paddedWidth / 4) * uint64_t(paddedHeight / 4) * (withAlpha ? 16u : 8u);
}

}  // namespace

extern "C" {

uint64_t qm_dxv_max_encoded_size(int32_t width, int32_t height, int32_t withAlpha) {
    if (width < 1 || height < 1) return 0;
    const uint64_t s = textureBytes(width, height, withAlpha != 0);
    return s + s / 2 + 76;
}

void qm_dxv_put_op(qm_dxv_stream* s, uint32_t code) {
    if (s->overflow != 0) return;
    if (s->op == nullptr || s->opCodes >= 16) {
        if (!reserve(s, 4)) return;
        s->op = s->pos;
        std::memset(s->op, 0, 4);
        s->pos += 4;
        s->opCodes = 0;
    }
    s->op[s->opCodes / 4] |= static_cast<uint8_t>((code & 3u) << (2 * (s->opCodes % 4)));
    ++s->opCodes;
}

int32_t qm_dxv_put_match(qm_dxv_stream* s, uint32_t distance, uint32_t unit) {
    if (unit == 0 || distance == 0 || distance % unit != 0) return 0;
    const uint32_t units = distance / unit;
    if (units == 1) {
        qm_dxv_put_op(s, 1);
    } else if (units <= 257) {
        qm_dxv_put_op(s, 2);
        put8(s, units - 2);
    } else if (units <= 65793) {
        qm_dxv_put_op(s, 3);
        put16(s, units - 258);
    } else {
        return 0;
    }
    return 1;
}

uint64_t qm_dxv_encode(const uint8_t* src, size_t srcBytesPerRow, int32_t width, int32_t height, int32_t withAlpha,
                       int32_t highQuality, uint8_t* out, uint64_t outCapacity) {
    if (src == nullptr || out == nullptr || width < 1 || height < 1) return 0;
    if (srcBytesPerRow < size_t(width) * 4) return 0;  // rows would overlap: not a BGRA picture
    if (outCapacity < qm_dxv_max_encoded_size(width, height, withAlpha)) return 0;
    const bool alpha = withAlpha != 0;
    const uint64_t size = textureBytes(width, height, alpha);
    const int32_t blocksPerRow = static_cast<int32_t>((int64_t(width) + 15) / 16 * 4);
    const int32_t blockRows = static_cast<int32_t>((int64_t(height) + 15) / 16 * 4);

    std::unique_ptr<uint32_t, FreeDeleter> texture(static_cast<uint32_t*>(std::malloc(size)));
    std::unique_ptr<uint32_t, FreeDeleter> tables(static_cast<uint32_t*>(std::calloc(3 * kTableEntries, 4)));
    if (!texture || !tables) return 0;

    const uint8_t* pixels = src;
    size_t pixelsBytesPerRow = srcBytesPerRow;
    std::unique_ptr<uint8_t, FreeDeleter> premultiplied;
    if (alpha) {
        // DXT5 textures of this format carry colour premultiplied by alpha.
        pixelsBytesPerRow = size_t(width) * 4;
        premultiplied.reset(static_cast<uint8_t*>(std::malloc(pixelsBytesPerRow * size_t(height))));
        if (!premultiplied) return 0;
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t* in = src + size_t(y) * srcBytesPerRow;
            uint8_t* o = premultiplied.get() + size_t(y) * pixelsBytesPerRow;
            for (int32_t x = 0; x < width; ++x, in += 4, o += 4) {
                const uint32_t a = in[3];
                o[0] = static_cast<uint8_t>((in[0] * a + 127) / 255);
                o[1] = static_cast<uint8_t>((in[1] * a + 127) / 255);
                o[2] = static_cast<uint8_t>((in[2] * a + 127) / 255);
                o[3] = static_cast<uint8_t>(a);
            }
        }
        pixels = premultiplied.get();
    }
    qm_texture_encode_blocks(alpha ? QM_TEXTURE_DXT5 : QM_TEXTURE_DXT1, pixels, pixelsBytesPerRow, width, height,
                             blocksPerRow, reinterpret_cast<uint8_t*>(texture.get()), 0, blockRows, highQuality);
    premultiplied.reset();

    // The coded stream is kept even where it is larger than the texture: decoders before FFmpeg 7
    // want a raw payload of four bytes per pixel, so a raw frame of the texture's size is one they
    // refuse. Coded, incompressible noise costs at most 3/32 more (1/16 with alpha), well inside
    // the output's bound.
    qm_dxv_stream stream{out + kHeaderSize, out + outCapacity, nullptr, 0, 0};
    const Tables t{tables.get(), tables.get() + kTableEntries, tables.get() + 2 * kTableEntries};
    if (alpha) {
        std::unique_ptr<uint32_t, FreeDeleter> chain(static_cast<uint32_t*>(std::malloc(size / 16 * 4)));
        if (!chain) return 0;
        codeDXT5(&stream, texture.get(), size / 4, t, chain.get());
    } else {
        codeDXT1(&stream, texture.get(), size / 4, t);
    }
    uint64_t payload = static_cast<uint64_t>(stream.pos - (out + kHeaderSize));
    bool raw = false;
    if (stream.overflow != 0) {
        std::memcpy(out + kHeaderSize, texture.get(), size);
        payload = size;
        raw = true;
    }

    const uint32_t tag = alpha ? kTagDXT5 : kTagDXT1;
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(tag >> (8 * i));
    out[4] = 4;
    out[5] = 0;
    out[6] = raw ? 1 : 0;
    out[7] = 0;
    for (int i = 0; i < 4; ++i) out[8 + i] = static_cast<uint8_t>(payload >> (8 * i));
    return payload + kHeaderSize;
}

}  // extern "C"
