#pragma once
// A NotchLC frame built by hand, for the tests of the codec library and the NotchLC frame object.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qm::test::notchlc {

inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    if (b.size() < at + 4) b.resize(at + 4);
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}
inline void append32(std::vector<uint8_t>& b, uint32_t v) { put32(b, b.size(), v); }

// A 32x16 frame of two 16x16 areas. Left: luma 1000, neutral chroma (2048). Right: luma 2000, Cb
// 2048, Cr 2800. Each 4x4 luma block stores min = max, so its per-pixel bits do not matter; each
// 16x16 chroma block stores equal end points. With `alpha`, the left area is opaque and the right
// one transparent; without, the frame carries no alpha section at all.
inline std::vector<uint8_t> makeFrame(bool alpha, uint32_t leftLuma = 1000) {
    constexpr uint32_t W = 32, H = 16;
    std::vector<uint8_t> body(40, 0);  // ten 32-bit header fields, filled below
    for (uint32_t row = 0; row < H / 4; ++row) append32(body, 0);  // luma bit rows all start at 0
    const size_t lumaControl = body.size();
    for (uint32_t by = 0; by < H / 4; ++by) {
        for (uint32_t bx = 0; bx < W / 4; ++bx) {
            const uint32_t y = bx < 4 ? leftLuma : 2000;
            append32(body, y | (y << 12));  // min, max; two-bit controls 0
        }
    }
    const size_t chromaOffsets = body.size();
    append32(body, 0);  // left block's chroma at 0
    append32(body, 3);  // right block's at 3 x 4 bytes
    const size_t chromaData = body.size();
    // flags (0, 0), then Cb0, Cr0, Cb1, Cr1 as high bytes (low nibbles from the zero locator)
    for (uint8_t b : {0, 0, 0, 0, 0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0}) body.push_back(b);
    for (uint8_t b : {0, 0, 0, 0, 0x80, 0xAF, 0x80, 0xAF, 0, 0, 0, 0}) body.push_back(b);
    const size_t alphaControl = body.size();
    append32(body, 0x55555555);  // left: every 4x4 opaque
    append32(body, 0);
    append32(body, 0);  // right: every 4x4 transparent
    append32(body, 0);
    const size_t lumaData = body.size();
    body.resize(body.size() + 64, 0);
    const uint32_t end = uint32_t(body.size());
    // Without alpha the alpha section starts where the luma bits do.
    const uint32_t alphaAt = uint32_t(alpha ? alphaControl : lumaData);
    const uint32_t header[10] = {W, H, uint32_t(chromaOffsets / 4), uint32_t(lumaControl / 4), alphaAt / 4,
                                 uint32_t(chromaData / 4), end - uint32_t(lumaData), 0, 0, end};
    for (size_t i = 0; i < 10; ++i) put32(body, 4 * i, header[i]);

    // Container: "NLC1" as a little-endian number, sizes, compression 1 (one all-literal LZ4 sequence).
    std::vector<uint8_t> packed = {0xF0};
    size_t rest = body.size() - 15;
    for (; rest >= 255; rest -= 255) packed.push_back(255);
    packed.push_back(uint8_t(rest));
    packed.insert(packed.end(), body.begin(), body.end());
    std::vector<uint8_t> frame = {'1', 'C', 'L', 'N'};
    append32(frame, uint32_t(body.size()));
    append32(frame, uint32_t(packed.size()));
    append32(frame, 1);
    frame.insert(frame.end(), packed.begin(), packed.end());
    return frame;
}

// BT.709 full range, 12-bit code values to R, G, B in 0...1.
inline std::array<double, 3> rgb709(double y12, double cb12, double cr12) {
    const double y = y12 / 4095.0, cb = (cb12 - 2048.0) / 4095.0, cr = (cr12 - 2048.0) / 4095.0;
    const double kr = 0.2126, kb = 0.0722, kg = 1.0 - kr - kb;
    const double r = y + 2.0 * (1.0 - kr) * cr;
    const double b = y + 2.0 * (1.0 - kb) * cb;
    const double g = (y - kr * r - kb * b) / kg;
    return {std::clamp(r, 0.0, 1.0), std::clamp(g, 0.0, 1.0), std::clamp(b, 0.0, 1.0)};
}

}  // namespace qm::test::notchlc
