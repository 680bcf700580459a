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
// arguments after them. Calls chain so that one line holds one block's codes.
class Stream {
public:
    Stream& word(uint32_t w) { return put(w, 4); }
    Stream& words(std::initializer_list<uint32_t> ws) {
        for (uint32_t w : ws) word(w);
        return *this;
    }
    Stream& byte(uint32_t b) { return put(b, 1); }
    Stream& le16(uint32_t v) { return put(v, 2); }
    Stream& op(uint32_t code) {
        if (opAt_ == SIZE_MAX || codes_ == 16) {
            opAt_ = bytes.size();
            codes_ = 0;
            word(0);
        }
        bytes[opAt_ + codes_ / 4] |= uint8_t(code << (2 * (codes_ % 4)));
        ++codes_;
        return *this;
    }
    std::vector<uint8_t> bytes;

private:
    Stream& put(uint32_t v, int n) {
        for (int i = 0; i < n; ++i) bytes.push_back(uint8_t(v >> (8 * i)));
        return *this;
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
    auto f = frame("DXT5", 4, true, std::vector<uint8_t>(16 * 16 + 5, 0x5A));
    f.push_back(0);
    ASSERT_EQ(unpack(f, 16, 16), QM_LGPL_OK);
    EXPECT_EQ(texture.format, QM_DXV_TEXTURE_DXT5);
    EXPECT_EQ(texture.plane0Size, 256u);

    // The record layout other code reads by offset.
    static_assert(offsetof(qm_dxv_texture, format) == 0 && offsetof(qm_dxv_texture, width) == 4 &&
                  offsetof(qm_dxv_texture, height) == 8 && offsetof(qm_dxv_texture, plane0) == 16 &&
                  offsetof(qm_dxv_texture, plane1) == 32 && sizeof(qm_dxv_texture) == 48);
}

TEST_F(DxvUnpack, Dxt1CoderFormsUseTwoWordUnits) {
    // 16x16: 16 DXT1 blocks, 32 words.
    Stream s;
    s.words({0x11111111, 0x22222222});
    s.op(0).op(0).word(0x33333333).op(0).word(0x44444444);  // p=2: two single words
    s.op(1);                                                // p=4: the previous pair
    s.op(2).byte(0);                                        // p=6: (0 + 2) x 2 = 4 words back
    s.op(0).op(1).op(2).byte(1);                            // p=8: single words, one and three units back
    for (int p = 10; p < 32; p += 2) s.op(1);  // the last three codes open a second operation word

    ASSERT_EQ(unpack(frame("DXT1", 4, false, s.bytes), 16, 16), QM_LGPL_OK);
    std::vector<uint32_t> expected = {0x11111111, 0x22222222, 0x33333333, 0x44444444, 0x33333333,
                                      0x44444444, 0x33333333, 0x44444444, 0x33333333, 0x44444444};
    expected.resize(32);
    for (size_t i = 10; i < 32; ++i) expected[i] = expected[i - 2];
    EXPECT_EQ(words(texture), expected);
}

TEST_F(DxvUnpack, Dxt5CoderFormsRunsCopiesAndFourWordAlphaUnits) {
    // 16x16: 16 DXT5 blocks of four words (alpha half, colour half).
    const uint32_t A0 = 0xA0A0A0A0, A1 = 0xA1A1A1A1, C0 = 0xC0C0C0C0, C1 = 0xC1C1C1C1;
    const uint32_t B0 = 0xB0B0B0B0, B1 = 0xB1B1B1B1, D0 = 0xD0D0D0D0, E0 = 0xE0E0E0E0, E1 = 0xE1E1E1E1;
    const uint32_t F0 = 0xF0F0F0F0, F1 = 0xF1F1F1F1, F2 = 0xF2F2F2F2, F3 = 0xF3F3F3F3;
    Stream s;
    s.words({A0, A1, C0, C1});
    // block 1: literal alpha; colour as a literal word and a word four back
    s.op(3).words({B0, B1}).op(0).op(0).word(D0).op(1);
    // block 2: alpha 8 + 4 x 0 words back; colour half four words back
    s.op(2).le16(0).op(1);
    // block 3: alpha 8 + 4 x 1 = 12 words back (block 0); colour (1 + 2) x 4 = 12 words back
    s.op(2).le16(1).op(2).byte(1);
    // block 4: alpha of the block before, implied for the two blocks after it; literal colour;
    // blocks 5 and 6: colour of the block before
    s.op(1).byte(2).op(0).op(0).word(E0).op(0).word(E1).op(1).op(1);
    // blocks 7-14: eight copies of the block before
    s.op(0).byte(7);
    // block 15: literals (its colour codes open a second operation word)
    s.op(3).words({F0, F1}).op(0).op(0).word(F2).op(0).word(F3);

    ASSERT_EQ(unpack(frame("DXT5", 4, false, s.bytes), 16, 16), QM_LGPL_OK);
    std::vector<uint32_t> expected = {A0, A1, C0, C1, B0, B1, D0, C1, A0, A1, D0, C1, A0, A1, C0, C1,
                                      A0, A1, E0, E1, A0, A1, E0, E1, A0, A1, E0, E1};
    for (int block = 7; block < 15; ++block)
        for (uint32_t w : {A0, A1, E0, E1}) expected.push_back(w);
    for (uint32_t w : {F0, F1, F2, F3}) expected.push_back(w);
    EXPECT_EQ(words(texture), expected);
}

TEST_F(DxvUnpack, Dxt5RunsPastTheTextureJustRunOut) {
    // 256x256: 4096 blocks. A run of 255 + 0xFFFF + 3 alpha halves is more than the texture holds.
    Stream r;
    r.words({5, 6, 7, 8}).op(1).byte(0xFF).le16(0xFFFF).le16(3);
    for (int block = 1; block < 4096; ++block) r.op(1);
    ASSERT_EQ(unpack(frame("DXT5", 4, false, r.bytes), 256, 256), QM_LGPL_OK);
    const auto w = words(texture);
    ASSERT_EQ(w.size(), 4096u * 4);
    EXPECT_EQ(w[4095 * 4], 5u);
    EXPECT_EQ(w[4095 * 4 + 3], 8u);
}

// Four literal words, then a literal alpha half and a literal-and-copy colour half.
Stream dxt5Start() {
    Stream s;
    s.words({1, 2, 3, 4}).op(3).words({9, 10}).op(0).op(0).word(11);
    return s;
}

TEST_F(DxvUnpack, MalformedFramesAreRefused) {
    std::vector<uint8_t> raw(128, 1);
    const auto good = frame("DXT1", 4, true, raw);
    ASSERT_EQ(unpack(good, 16, 16), QM_LGPL_OK);
    auto longer = good;
    longer[8] = 129;  // payload length beyond the frame
    // Coded streams: a reference before the start, a missing operation word, a missing literal, an
    // alpha reference 12 words back at p = 4, a colour reference 258 x 4 words back.
    const Stream before = Stream().words({1, 2}).op(2).byte(0);
    const Stream noOps = Stream().words({1, 2});
    const Stream noLiteral = Stream().words({1, 2}).op(0).op(0);
    const Stream alphaBefore = Stream().words({1, 2, 3, 4}).op(2).le16(1);
    const Stream colourBefore = dxt5Start().op(3).le16(0).op(0).byte(13);
    const struct { std::vector<uint8_t> f; int w, h; int32_t result; } cases[] = {
        {{}, 16, 16, QM_LGPL_INVALID},
        {std::vector<uint8_t>(good.begin(), good.begin() + 11), 16, 16, QM_LGPL_INVALID},
        {frame("DXT3", 4, true, raw), 16, 16, QM_LGPL_INVALID},
        {longer, 16, 16, QM_LGPL_INVALID},
        {frame("DXT1", 4, true, std::vector<uint8_t>(127, 1)), 16, 16, QM_LGPL_INVALID},
        {good, 17, 16, QM_LGPL_INVALID},  // 32x16 needs 256 raw bytes
        {good, 0, 16, QM_LGPL_INVALID},
        {good, 16, -1, QM_LGPL_INVALID},
        {good, 16385, 16, QM_LGPL_INVALID},
        {frame("DXT1", 4, false, before.bytes), 16, 16, QM_LGPL_INVALID},
        {frame("DXT1", 4, false, noOps.bytes), 16, 16, QM_LGPL_INVALID},
        {frame("DXT1", 4, false, noLiteral.bytes), 16, 16, QM_LGPL_INVALID},
        {frame("DXT5", 4, false, alphaBefore.bytes), 16, 16, QM_LGPL_INVALID},
        {frame("DXT5", 4, false, colourBefore.bytes), 16, 16, QM_LGPL_INVALID},
        // Variants this library does not read are told apart from damage.
        {frame("YCG6", 4, false, raw), 16, 16, QM_LGPL_UNSUPPORTED},
        {frame("YG10", 4, false, raw), 16, 16, QM_LGPL_UNSUPPORTED},
        {frame("DXT1", 1, false, raw), 16, 16, QM_LGPL_UNSUPPORTED},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(unpack(cases[i].f, cases[i].w, cases[i].h), cases[i].result) << i;
    EXPECT_EQ(qm_dxv_unpack(nullptr, good.data(), good.size(), 16, 16, &texture), QM_LGPL_INVALID);
    EXPECT_EQ(qm_dxv_unpack(context.get(), good.data(), good.size(), 16, 16, nullptr), QM_LGPL_INVALID);

    // A refused frame leaves the record untouched and the context usable.
    EXPECT_EQ(texture.plane0, nullptr);
    EXPECT_EQ(unpack(good, 16, 16), QM_LGPL_OK);
}

TEST_F(DxvUnpack, EveryTruncationOfACodedFrameIsRefused) {
    const Stream t = dxt5Start().op(1).op(0).byte(13);
    ASSERT_EQ(unpack(frame("DXT5", 4, false, t.bytes), 16, 16), QM_LGPL_OK);
    for (size_t n = 0; n < t.bytes.size(); ++n) {
        auto cut = frame("DXT5", 4, false, std::vector<uint8_t>(t.bytes.begin(), t.bytes.begin() + long(n)));
        EXPECT_EQ(unpack(cut, 16, 16), QM_LGPL_INVALID) << n;
    }
}

}  // namespace
