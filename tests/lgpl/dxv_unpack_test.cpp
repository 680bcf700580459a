// DXV unpacking from hand-made frames: header forms, every back-reference form of both coders, and
// the malformed frames that must be refused.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "lgpl/quillmere_lgpl.h"

namespace {

struct ContextDeleter {
    void operator()(qm_dxv_context* c) const { qm_dxv_destroy(c); }
};
using Context = std::unique_ptr<qm_dxv_context, ContextDeleter>;

// Builds a coded stream the way the writer lays it out: operation words reserved in place, their
// arguments after them.
class Stream {
public:
    void word(uint32_t w) { put(w, 4); }
    void byte(uint32_t b) { put(b, 1); }
    void le16(uint32_t v) { put(v, 2); }
    void op(uint32_t code) {
        if (opAt_ == SIZE_MAX || codes_ == 16) {
            opAt_ = bytes.size();
            codes_ = 0;
            word(0);
        }
        bytes[opAt_ + codes_ / 4] |= uint8_t(code << (2 * (codes_ % 4)));
        ++codes_;
    }
    std::vector<uint8_t> bytes;

private:
    void put(uint32_t v, int n) {
        for (int i = 0; i < n; ++i) bytes.push_back(uint8_t(v >> (8 * i)));
    }
    size_t opAt_ = SIZE_MAX;
    int codes_ = 0;
};

std::vector<uint8_t> frame(const char tag[4], uint8_t version, bool raw, const std::vector<uint8_t>& payload) {
    // The tag is stored as a little-endian number whose text reads most significant byte first.
    std::vector<uint8_t> f = {uint8_t(tag[3]), uint8_t(tag[2]), uint8_t(tag[1]), uint8_t(tag[0]), version, 0,
                              uint8_t(raw ? 1 : 0), 0};
    const uint32_t n = uint32_t(payload.size());
    for (int i = 0; i < 4; ++i) f.push_back(uint8_t(n >> (8 * i)));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

std::vector<uint32_t> words(const qm_dxv_texture& t) {
    std::vector<uint32_t> w(t.plane0Size / 4);
    std::memcpy(w.data(), t.plane0, w.size() * 4);
    return w;
}

class DxvUnpack : public ::testing::Test {
protected:
    int32_t unpack(const std::vector<uint8_t>& f, int w, int h) {
        texture = qm_dxv_texture{};
        return qm_dxv_unpack(context.get(), f.data(), f.size(), w, h, &texture);
    }
    Context context{qm_dxv_create()};
    qm_dxv_texture texture{};
};

TEST_F(DxvUnpack, RawTexturesFillTheRecordAtThePaddedSize) {
    std::vector<uint8_t> dxt1(32 * 16 / 2);
    for (size_t i = 0; i < dxt1.size(); ++i) dxt1[i] = uint8_t(i * 7);
    ASSERT_EQ(unpack(frame("DXT1", 4, true, dxt1), 17, 1), QM_LGPL_OK);
    EXPECT_EQ(texture.format, QM_DXV_TEXTURE_DXT1);
    EXPECT_EQ(texture.width, 32);
    EXPECT_EQ(texture.height, 16);
    EXPECT_EQ(texture.plane1, nullptr);
    ASSERT_EQ(texture.plane0Size, dxt1.size());
    EXPECT_EQ(std::memcmp(texture.plane0, dxt1.data(), dxt1.size()), 0);

    // A raw payload longer than the texture is fine; trailing bytes after the payload too.
    std::vector<uint8_t> dxt5(16 * 16 + 5, 0x5A);
    auto f = frame("DXT5", 4, true, dxt5);
    f.push_back(0);
    ASSERT_EQ(unpack(f, 16, 16), QM_LGPL_OK);
    EXPECT_EQ(texture.format, QM_DXV_TEXTURE_DXT5);
    EXPECT_EQ(texture.plane0Size, 256u);
    EXPECT_EQ(texture.plane0[255], 0x5A);

    // The record layout other code reads by offset.
    static_assert(offsetof(qm_dxv_texture, format) == 0 && offsetof(qm_dxv_texture, width) == 4 &&
                  offsetof(qm_dxv_texture, height) == 8 && offsetof(qm_dxv_texture, plane0) == 16 &&
                  offsetof(qm_dxv_texture, plane1) == 32 && sizeof(qm_dxv_texture) == 48);
}

TEST_F(DxvUnpack, Dxt1CoderFormsUseTwoWordUnits) {
    // 16x16: 16 DXT1 blocks, 32 words.
    Stream s;
    s.word(0x11111111);
    s.word(0x22222222);
    s.op(0);  // p=2: two single words
    s.op(0);
    s.word(0x33333333);
    s.op(0);
    s.word(0x44444444);
    s.op(1);  // p=4: the previous pair
    s.op(2);  // p=6: (0 + 2) x 2 = 4 words back
    s.byte(0);
    s.op(0);  // p=8: single words, one and three units back
    s.op(1);
    s.op(2);
    s.byte(1);
    for (int p = 10; p < 32; p += 2) s.op(1);  // the last three codes open a second operation word

    ASSERT_EQ(unpack(frame("DXT1", 4, false, s.bytes), 16, 16), QM_LGPL_OK);
    std::vector<uint32_t> expected = {0x11111111, 0x22222222, 0x33333333, 0x44444444, 0x33333333,
                                      0x44444444, 0x33333333, 0x44444444, 0x33333333, 0x44444444};
    expected.resize(32);
    for (size_t i = 10; i < 32; ++i) expected[i] = expected[i - 2];
    EXPECT_EQ(words(texture), expected);
}

TEST_F(DxvUnpack, Dxt1SixteenBitDistanceCountsFrom258Units) {
    // 64x80: 320 blocks, 640 words. At p = 516 a 16-bit distance of 0 means 258 units = 516 words.
    Stream s;
    s.word(0xAAAAAAAA);
    s.word(0xBBBBBBBB);
    s.op(0);
    s.op(0);
    s.word(0xCCCCCCCC);
    s.op(0);
    s.word(0xDDDDDDDD);
    for (int p = 4; p < 516; p += 2) s.op(1);
    s.op(3);
    s.le16(0);
    for (int p = 518; p < 640; p += 2) s.op(1);
    ASSERT_EQ(unpack(frame("DXT1", 4, false, s.bytes), 64, 80), QM_LGPL_OK);
    const auto w = words(texture);
    ASSERT_EQ(w.size(), 640u);
    EXPECT_EQ(w[514], 0xCCCCCCCCu);
    EXPECT_EQ(w[516], 0xAAAAAAAAu);
    EXPECT_EQ(w[517], 0xBBBBBBBBu);
    EXPECT_EQ(w[639], 0xBBBBBBBBu);
}

TEST_F(DxvUnpack, Dxt5CoderFormsRunsCopiesAndFourWordAlphaUnits) {
    // 16x16: 16 DXT5 blocks of four words (alpha half, colour half).
    const uint32_t A0 = 0xA0A0A0A0, A1 = 0xA1A1A1A1, C0 = 0xC0C0C0C0, C1 = 0xC1C1C1C1;
    const uint32_t B0 = 0xB0B0B0B0, B1 = 0xB1B1B1B1, D0 = 0xD0D0D0D0, E0 = 0xE0E0E0E0, E1 = 0xE1E1E1E1;
    const uint32_t F0 = 0xF0F0F0F0, F1 = 0xF1F1F1F1, F2 = 0xF2F2F2F2, F3 = 0xF3F3F3F3;
    Stream s;
    for (uint32_t w : {A0, A1, C0, C1}) s.word(w);
    // block 1: literal alpha; colour as a literal word and a word four back
    s.op(3);
    s.word(B0);
    s.word(B1);
    s.op(0);
    s.op(0);
    s.word(D0);
    s.op(1);
    // block 2: alpha 8 + 4 x 0 words back; colour half four words back
    s.op(2);
    s.le16(0);
    s.op(1);
    // block 3: alpha 8 + 4 x 1 = 12 words back (block 0); colour (1 + 2) x 4 = 12 words back
    s.op(2);
    s.le16(1);
    s.op(2);
    s.byte(1);
    // block 4: alpha of the block before, implied for the two blocks after it; literal colour
    s.op(1);
    s.byte(2);
    s.op(0);
    s.op(0);
    s.word(E0);
    s.op(0);
    s.word(E1);
    s.op(1);  // block 5 colour
    s.op(1);  // block 6 colour
    // blocks 7-14: eight copies of the block before
    s.op(0);
    s.byte(7);
    // block 15: literals (its colour codes open a second operation word)
    s.op(3);
    s.word(F0);
    s.word(F1);
    s.op(0);
    s.op(0);
    s.word(F2);
    s.op(0);
    s.word(F3);

    ASSERT_EQ(unpack(frame("DXT5", 4, false, s.bytes), 16, 16), QM_LGPL_OK);
    std::vector<uint32_t> expected = {A0, A1, C0, C1, B0, B1, D0, C1, A0, A1, D0, C1, A0, A1, C0, C1,
                                      A0, A1, E0, E1, A0, A1, E0, E1, A0, A1, E0, E1};
    for (int block = 7; block < 15; ++block)
        for (uint32_t w : {A0, A1, E0, E1}) expected.push_back(w);
    for (uint32_t w : {F0, F1, F2, F3}) expected.push_back(w);
    EXPECT_EQ(words(texture), expected);
}

TEST_F(DxvUnpack, Dxt5LongCountsContinueInSixteenBitPieces) {
    // 256x256: 4096 blocks; block 0 literal, then 4095 copies: 256 + 0xFFFF would be too many, so
    // the count is 0xFF, then 4095 - 256 in one piece.
    Stream s;
    for (uint32_t w : {1u, 2u, 3u, 4u}) s.word(w);
    s.op(0);
    s.byte(0xFF);
    s.le16(4095 - 256);
    ASSERT_EQ(unpack(frame("DXT5", 4, false, s.bytes), 256, 256), QM_LGPL_OK);
    auto w = words(texture);
    ASSERT_EQ(w.size(), 4096u * 4);
    EXPECT_EQ(w[4096 * 4 - 1], 4u);

    // A run of 255 + 0xFFFF + 3 alpha halves: more than the texture holds, so it just runs out.
    Stream r;
    for (uint32_t w2 : {5u, 6u, 7u, 8u}) r.word(w2);
    r.op(1);
    r.byte(0xFF);
    r.le16(0xFFFF);
    r.le16(3);
    for (int block = 1; block < 4096; ++block) r.op(1);
    ASSERT_EQ(unpack(frame("DXT5", 4, false, r.bytes), 256, 256), QM_LGPL_OK);
    w = words(texture);
    EXPECT_EQ(w[4095 * 4], 5u);
    EXPECT_EQ(w[4095 * 4 + 3], 8u);
}

TEST_F(DxvUnpack, MalformedFramesAreRefused) {
    std::vector<uint8_t> raw(128, 1);
    const auto good = frame("DXT1", 4, true, raw);
    ASSERT_EQ(unpack(good, 16, 16), QM_LGPL_OK);

    // Header faults.
    EXPECT_EQ(unpack({}, 16, 16), QM_LGPL_INVALID);
    EXPECT_EQ(unpack(std::vector<uint8_t>(good.begin(), good.begin() + 11), 16, 16), QM_LGPL_INVALID);
    EXPECT_EQ(unpack(frame("DXT3", 4, true, raw), 16, 16), QM_LGPL_INVALID);
    auto longer = good;
    longer[8] = 129;  // payload length beyond the frame
    EXPECT_EQ(unpack(longer, 16, 16), QM_LGPL_INVALID);
    EXPECT_EQ(unpack(frame("DXT1", 4, true, std::vector<uint8_t>(127, 1)), 16, 16), QM_LGPL_INVALID);
    EXPECT_EQ(unpack(good, 17, 16), QM_LGPL_INVALID);  // 32x16 needs 256 raw bytes
    EXPECT_EQ(unpack(good, 0, 16), QM_LGPL_INVALID);
    EXPECT_EQ(unpack(good, 16, -1), QM_LGPL_INVALID);
    EXPECT_EQ(unpack(good, 16385, 16), QM_LGPL_INVALID);
    EXPECT_EQ(qm_dxv_unpack(nullptr, good.data(), good.size(), 16, 16, &texture), QM_LGPL_INVALID);
    EXPECT_EQ(qm_dxv_unpack(context.get(), good.data(), good.size(), 16, 16, nullptr), QM_LGPL_INVALID);

    // Variants this library does not read are told apart from damage.
    EXPECT_EQ(unpack(frame("YCG6", 4, false, raw), 16, 16), QM_LGPL_UNSUPPORTED);
    EXPECT_EQ(unpack(frame("YG10", 4, false, raw), 16, 16), QM_LGPL_UNSUPPORTED);
    EXPECT_EQ(unpack(frame("DXT1", 1, false, raw), 16, 16), QM_LGPL_UNSUPPORTED);

    // Coded stream faults: a reference before the start, a missing operation word, a missing literal.
    Stream before;
    before.word(1);
    before.word(2);
    before.op(2);
    before.byte(0);  // 4 words back at p = 2
    EXPECT_EQ(unpack(frame("DXT1", 4, false, before.bytes), 16, 16), QM_LGPL_INVALID);
    Stream noOps;
    noOps.word(1);
    noOps.word(2);
    EXPECT_EQ(unpack(frame("DXT1", 4, false, noOps.bytes), 16, 16), QM_LGPL_INVALID);
    Stream noLiteral;
    noLiteral.word(1);
    noLiteral.word(2);
    noLiteral.op(0);
    noLiteral.op(0);
    EXPECT_EQ(unpack(frame("DXT1", 4, false, noLiteral.bytes), 16, 16), QM_LGPL_INVALID);
    Stream alphaBefore;
    for (uint32_t w : {1u, 2u, 3u, 4u}) alphaBefore.word(w);
    alphaBefore.op(2);
    alphaBefore.le16(1);  // 12 words back at p = 4
    EXPECT_EQ(unpack(frame("DXT5", 4, false, alphaBefore.bytes), 16, 16), QM_LGPL_INVALID);

    // A refused frame leaves the record untouched and the context usable.
    EXPECT_EQ(texture.plane0, nullptr);
    EXPECT_EQ(unpack(good, 16, 16), QM_LGPL_OK);
}

TEST_F(DxvUnpack, EveryTruncationOfACodedFrameIsRefused) {
    Stream s;
    for (uint32_t w : {1u, 2u, 3u, 4u}) s.word(w);
    s.op(3);
    s.word(9);
    s.word(10);
    s.op(0);
    s.op(0);
    s.word(11);
    s.op(3);
    s.le16(0);
    s.op(0);
    s.byte(13);
    const auto full = frame("DXT5", 4, false, s.bytes);
    ASSERT_EQ(unpack(full, 16, 16), QM_LGPL_INVALID);  // colour reference 258 x 4 words back
    Stream t;
    for (uint32_t w : {1u, 2u, 3u, 4u}) t.word(w);
    t.op(3);
    t.word(9);
    t.word(10);
    t.op(0);
    t.op(0);
    t.word(11);
    t.op(1);
    t.op(0);
    t.byte(13);
    const auto good = frame("DXT5", 4, false, t.bytes);
    ASSERT_EQ(unpack(good, 16, 16), QM_LGPL_OK);
    for (size_t n = 0; n < t.bytes.size(); ++n) {
        auto cut = frame("DXT5", 4, false, std::vector<uint8_t>(t.bytes.begin(), t.bytes.begin() + long(n)));
        EXPECT_EQ(unpack(cut, 16, 16), QM_LGPL_INVALID) << n;
    }
}

}  // namespace
