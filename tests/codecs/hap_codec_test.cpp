#include "codecs/hap_codec.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>

#include "codecs/hap_frame.h"

namespace {

using qm::ConversionError;
using qm::HapDecoder;
using qm::HapEncoder;
using qm::PixelBuffer;
using qm::fourCC;
using Bytes = std::vector<uint8_t>;

std::shared_ptr<PixelBuffer> picture(int width, int height) {
    auto buffer = PixelBuffer::create(width, height, qm::kPixelFormatBGRA);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = buffer->data() + static_cast<size_t>(y) * buffer->bytesPerRow();
        for (int x = 0; x < width; ++x) {
            row[x * 4] = static_cast<uint8_t>(30 + x * 3);
            row[x * 4 + 1] = static_cast<uint8_t>(200 - y * 2);
            row[x * 4 + 2] = static_cast<uint8_t>(90 + (x + y));
            row[x * 4 + 3] = static_cast<uint8_t>(x * 255 / (width - 1));
        }
    }
    return buffer;
}

HapEncoder encoderFor(const char* fourcc, int chunks = 4) {
    const auto variant = qm::hapVariantForCodecType(qm::fourCCCode(fourcc));
    EXPECT_TRUE(variant.has_value());
    return HapEncoder("Hap", *variant, chunks, false);
}

// The error a call throws, or nothing.
template <typename F>
std::optional<ConversionError> errorOf(F&& f) {
    try {
        f();
    } catch (const ConversionError& e) {
        return e;
    }
    return std::nullopt;
}

Bytes frameOf(uint8_t nibble, const Bytes& texture) {
    const uint8_t* pointer = texture.data();
    const uint64_t length = texture.size();
    const uint64_t bound = qm_hap_max_encoded_length(length, 1, 1);
    Bytes out(bound), scratch(bound);
    out.resize(qm_hap_encode(1, &pointer, &length, &nibble, 0, 1, out.data(), bound, scratch.data()));
    return out;
}

TEST(HapEncoder, WritesTheVariantsSections) {
    const auto source = picture(64, 48);
    EXPECT_EQ(encoderFor("Hap1", 4).encode(*source)[3], 0xCB);
    // Chunk count 0: one unchunked Snappy or stored section.
    const Bytes plain = encoderFor("Hap1", 0).encode(*source);
    EXPECT_TRUE(plain[3] == 0xBB || plain[3] == 0xAB) << int(plain[3]);

    auto other = PixelBuffer::create(8, 8, qm::kPixelFormatRGBA64LE);
    const auto error = errorOf([&] { encoderFor("Hap1").encode(*other); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), ConversionError::Kind::encodeFailed);
}

TEST(HapDecoder, RoundTripsEveryVariantWithItsAlphaFlag) {
    const auto source = picture(37, 21);  // edges that cut blocks
    const struct { const char* fourcc; bool alpha; int colourLimit; } cases[] = {
        {"Hap1", false, 12}, {"Hap5", true, 12}, {"HapY", false, 8}, {"HapM", true, 8}, {"HapA", true, 0}};
    HapDecoder decoder(37, 21);
    for (const auto& c : cases) {
        const Bytes frame = encoderFor(c.fourcc).encode(*source);
        auto out = PixelBuffer::create(37, 21, qm::kPixelFormatBGRA);
        std::memset(out->data(), 0x40, out->bytesPerRow() * 21);
        EXPECT_EQ(decoder.decode(frame.data(), frame.size(), *out), c.alpha) << c.fourcc;
        int worstColour = 0, worstAlpha = 0;
        for (int y = 0; y < 21; ++y) {
            for (int x = 0; x < 37; ++x) {
                const uint8_t* a = source->data() + y * source->bytesPerRow() + x * 4;
                const uint8_t* b = out->data() + y * out->bytesPerRow() + x * 4;
                for (int ch = 0; ch < 3; ++ch) {
                    // HapA: white wherever the picture is.
                    const int expected = std::string(c.fourcc) == "HapA" ? 255 : a[ch];
                    worstColour = std::max(worstColour, std::abs(b[ch] - expected));
                }
                const int alpha = c.alpha ? a[3] : 255;
                worstAlpha = std::max(worstAlpha, std::abs(b[3] - alpha));
            }
        }
        EXPECT_LE(worstColour, c.colourLimit) << c.fourcc;
        EXPECT_LE(worstAlpha, 4) << c.fourcc;  // BC4 palettes step by at most 255 / 7 over an even ramp
    }
}

TEST(HapDecoder, ErrorTexts) {
    HapDecoder decoder(8, 8);
    auto out = PixelBuffer::create(8, 8, qm::kPixelFormatBGRA);
    auto failure = [&](const Bytes& frame) {
        return errorOf([&] { decoder.decode(frame.empty() ? nullptr : frame.data(), frame.size(), *out); });
    };

    auto e = failure({});
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind(), ConversionError::Kind::decodeFailed);
    EXPECT_STREQ(e->what(), "Decoding failed: invalid Hap frame");
    EXPECT_EQ(errorOf([&] { decoder.decode(nullptr, 100, *out); })->payload(), "invalid Hap frame");

    // DXT1 of 8x8 needs 32 bytes; more than a DXT5 texture of this size is not a Hap frame of it.
    const struct { uint8_t nibble; size_t size; const char* payload; } cases[] = {
        {0x0C, 32, "unsupported Hap texture 0x0C"}, {0x0A, 32, "unsupported Hap texture 0x0A"},
        {0x0B, 24, "Hap texture too small"}, {0x0E, 65, "invalid Hap frame"}};
    for (const auto& c : cases) {
        e = failure(frameOf(c.nibble, Bytes(c.size, 0)));
        ASSERT_TRUE(e) << c.payload;
        EXPECT_EQ(e->payload(), c.payload);
    }
    EXPECT_FALSE(failure(frameOf(0x0B, Bytes(32, 0))));
}

TEST(HapDecoder, NeverWritesPastASmallDestination) {
    const auto source = picture(16, 16);
    const Bytes frame = encoderFor("Hap5").encode(*source);
    HapDecoder decoder(16, 16);
    for (auto [w, h] : {std::pair{12, 16}, std::pair{16, 12}, std::pair{1, 1}}) {
        auto small = PixelBuffer::create(w, h, qm::kPixelFormatBGRA);
        std::memset(small->data(), 0x5A, small->bytesPerRow() * static_cast<size_t>(h));
        const auto e = errorOf([&] { decoder.decode(frame.data(), frame.size(), *small); });
        ASSERT_TRUE(e) << w << "x" << h;
        EXPECT_EQ(e->kind(), ConversionError::Kind::decodeFailed);
        for (size_t i = 0; i < small->bytesPerRow() * static_cast<size_t>(h); ++i)
            ASSERT_EQ(small->data()[i], 0x5A);
    }
    auto wrongFormat = PixelBuffer::create(16, 16, qm::kPixelFormatRGBA64LE);
    EXPECT_TRUE(errorOf([&] { decoder.decode(frame.data(), frame.size(), *wrongFormat); }));

    // A larger destination takes the frame in its top-left corner and keeps the rest.
    auto large = PixelBuffer::create(20, 18, qm::kPixelFormatBGRA);
    std::memset(large->data(), 0x5A, large->bytesPerRow() * 18);
    EXPECT_TRUE(decoder.decode(frame.data(), frame.size(), *large));
    EXPECT_EQ(large->data()[16 * 4], 0x5A);
    EXPECT_EQ(large->data()[16 * large->bytesPerRow()], 0x5A);
}

// Each thread keeps its working memory between frames: frames of other sizes and variants in
// between must not leak into the next one.
TEST(HapCodecObjects, OneInstanceServesManyThreads) {
    const auto source = picture(64, 48);
    const auto larger = picture(100, 70);
    const HapEncoder encoder = encoderFor("HapM", 8);
    const HapEncoder other = encoderFor("Hap1", 1);
    const HapDecoder decoder(64, 48);
    const HapDecoder largerDecoder(100, 70);
    const Bytes reference = encoder.encode(*source);
    const Bytes largerReference = other.encode(*larger);
    const Bytes largerAlpha = encoder.encode(*larger);
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            auto out = PixelBuffer::create(64, 48, qm::kPixelFormatBGRA);
            auto first = PixelBuffer::create(64, 48, qm::kPixelFormatBGRA);
            auto largeOut = PixelBuffer::create(100, 70, qm::kPixelFormatBGRA);
            decoder.decode(reference.data(), reference.size(), *first);
            for (int i = 0; i < 20; ++i) {
                if ((i + t) % 3 == 0) {
                    if (other.encode(*larger) != largerReference) ++mismatches;
                    largerDecoder.decode(largerAlpha.data(), largerAlpha.size(), *largeOut);
                }
                if ((i + t) % 5 == 0 && encoder.encode(*larger) != largerAlpha) ++mismatches;
                if (encoder.encode(*source) != reference) ++mismatches;
                decoder.decode(reference.data(), reference.size(), *out);
                if (std::memcmp(out->data(), first->data(), out->bytesPerRow() * 48) != 0) ++mismatches;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
