// DXV textures to BGRA: hand-made texture records, with the expected pixels worked out from the
// block formats. (YCoCg records never come out of the unpacker, which refuses High Quality frames.)

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "codecs/dxv_texture.h"
#include "codecs/texture_codec.h"

namespace {

qm_dxv_texture record(int32_t format, int32_t w, int32_t h, const std::vector<uint8_t>& plane0) {
    qm_dxv_texture t{};
    t.format = format;
    t.width = w;
    t.height = h;
    t.plane0 = plane0.data();
    t.plane0Size = plane0.size();
    return t;
}

struct Out {
    Out(int w, int h) : width(w), stride(size_t(w) * 4 + 8), bytes(stride * size_t(h), 0xEE) {}
    uint8_t* at(int x, int y) { return bytes.data() + size_t(y) * stride + size_t(x) * 4; }
    std::array<int, 4> px(int x, int y) { return {at(x, y)[0], at(x, y)[1], at(x, y)[2], at(x, y)[3]}; }
    int width;
    size_t stride;
    std::vector<uint8_t> bytes;
};

TEST(DxvTexture, Dxt5PremultipliedAlphaIsUndone) {
    // Alpha end points 255 and 0 (eight values): pixel 0 opaque, pixel 1 empty, the rest index 2,
    // (6 x 255 + 3) / 7 = 219. Colour: one 5:6:5 value, B 8 -> 66, G 8 -> 32, R 0.
    uint64_t indices = 1ull << 3;
    for (int i = 2; i < 16; ++i) indices |= 2ull << (3 * i);
    std::vector<uint8_t> block = {255, 0};
    for (int i = 0; i < 6; ++i) block.push_back(uint8_t(indices >> (8 * i)));
    const uint16_t c = (8 << 5) | 8;
    for (uint8_t b : {uint8_t(c), uint8_t(c >> 8), uint8_t(c), uint8_t(c >> 8)}) block.push_back(b);
    for (int i = 0; i < 4; ++i) block.push_back(0);
    const auto t = record(QM_DXV_TEXTURE_DXT5, 4, 4, block);
    Out out(4, 4);
    ASSERT_EQ(qm_dxv_to_bgra(&t, 4, 4, out.bytes.data(), out.stride), 0);
    EXPECT_EQ(out.px(0, 0), (std::array<int, 4>{66, 32, 0, 255}));
    EXPECT_EQ(out.px(1, 0), (std::array<int, 4>{66, 32, 0, 0}));
    // (66 x 255 + 109) / 219 = 77, (32 x 255 + 109) / 219 = 37
    EXPECT_EQ(out.px(2, 0), (std::array<int, 4>{77, 37, 0, 219}));
    EXPECT_EQ(out.px(3, 3), (std::array<int, 4>{77, 37, 0, 219}));

    // Colour that would pass 255 when undone is held at 255: B 255 at alpha 20.
    std::vector<uint8_t> bright = {20, 20, 0, 0, 0, 0, 0, 0};
    const uint16_t c2 = 0x1F;  // blue 255
    for (uint8_t b : std::initializer_list<uint8_t>{uint8_t(c2), uint8_t(c2 >> 8), uint8_t(c2), uint8_t(c2 >> 8), 0, 0, 0, 0}) bright.push_back(b);
    const auto t2 = record(QM_DXV_TEXTURE_DXT5, 4, 4, bright);
    ASSERT_EQ(qm_dxv_to_bgra(&t2, 4, 4, out.bytes.data(), out.stride), 0);
    EXPECT_EQ(out.px(0, 0), (std::array<int, 4>{255, 0, 0, 20}));
}

TEST(DxvTexture, OnlyThePictureRowsAreWritten) {
    std::vector<uint8_t> blocks(size_t(1920 / 4) * (1088 / 4) * 8, 0);
    const auto t = record(QM_DXV_TEXTURE_DXT1, 1920, 1088, blocks);
    Out out(1920, 1088);
    ASSERT_EQ(qm_dxv_to_bgra(&t, 1920, 1080, out.bytes.data(), out.stride), 0);
    EXPECT_EQ(out.px(1919, 1079), (std::array<int, 4>{0, 0, 0, 255}));
    EXPECT_EQ(out.px(0, 1080), (std::array<int, 4>{0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(out.bytes[1920 * 4], 0xEE);  // nor anything past the row

    // Destinations larger than the texture or too narrow, and broken records, are refused.
    auto unknown = t, noPlane = t, oddWidth = t;
    unknown.format = 4;
    noPlane.plane0 = nullptr;
    oddWidth.width = 1918;
    const struct { const qm_dxv_texture* t; int w, h; size_t stride; } refused[] = {
        {&t, 1920, 1089, out.stride}, {&t, 1921, 1080, out.stride}, {&t, 0, 1080, out.stride},
        {&t, 1920, 1080, 1920 * 4 - 1}, {nullptr, 1920, 1080, out.stride}, {&unknown, 16, 16, out.stride},
        {&noPlane, 16, 16, out.stride}, {&oddWidth, 16, 16, out.stride}};
    for (const auto& r : refused) EXPECT_EQ(qm_dxv_to_bgra(r.t, r.w, r.h, out.bytes.data(), r.stride), -1) << r.w << "x" << r.h;
}

}  // namespace
