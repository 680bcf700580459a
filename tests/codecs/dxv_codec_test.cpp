// The DXV and NotchLC frame objects: round trips, the alpha result, error texts, and the pool of
// library contexts under failures and concurrent use.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "codecs/dxv_codec.h"
#include "codecs/dxv_test_images.h"
#include "codecs/notchlc_codec.h"
#include "lgpl/notchlc_test_frame.h"

namespace {

using qm::ConversionError;
using qm::PixelBuffer;
using qm::test::dxv::Picture;

// Runs f and returns the ConversionError it throws.
template <class F>
ConversionError errorOf(F f) {
    try {
        f();
    } catch (const ConversionError& e) {
        return e;
    }
    ADD_FAILURE() << "no error thrown";
    return ConversionError::cancelled();
}

TEST(DxvCodec, EncoderRoundTripsAndReportsAlpha) {
    const Picture picture = qm::test::dxv::alphaPicture(100, 60);
    const auto source = qm::test::dxv::bufferOf(picture);
    for (bool alpha : {false, true}) {
        for (bool hq : {false, true}) {
            const qm::DXVEncoder encoder(qm::fourCC('D', 'X', 'D', '3'), "DXV 3", alpha, hq);
            const auto frame = encoder.encode(*source);
            const qm::DXVDecoder decoder(100, 60);
            auto into = PixelBuffer::create(100, 60, qm::kPixelFormatBGRA);
            EXPECT_EQ(decoder.decode(frame.data(), frame.size(), *into), alpha);
            EXPECT_EQ(qm::test::dxv::pictureOf(*into).bgra, qm::test::dxv::reference(picture, alpha, hq).bgra)
                << alpha << hq;
        }
    }
}

TEST(DxvCodec, ErrorTexts) {
    const auto source = qm::test::dxv::bufferOf(qm::test::dxv::lavfiPicture("testsrc2", 100, 60));
    const qm::DXVEncoder encoder(qm::fourCC('D', 'X', 'D', '3'), "DXV 3", false, false);
    const auto frame = encoder.encode(*source);
    const qm::DXVDecoder decoder(100, 60);

    auto deep = PixelBuffer::create(100, 60, qm::kPixelFormatRGBA64LE);
    EXPECT_EQ(errorOf([&] { encoder.encode(*deep); }), ConversionError::encodeFailed("unsupported pixel format"));
    EXPECT_EQ(errorOf([&] { decoder.decode(frame.data(), frame.size(), *deep); }),
              ConversionError::decodeFailed("unsupported pixel format"));

    auto into = PixelBuffer::create(100, 60, qm::kPixelFormatBGRA);
    const std::vector<uint8_t> garbage(64, 0x41);
    EXPECT_EQ(errorOf([&] { decoder.decode(garbage.data(), garbage.size(), *into); }),
              ConversionError::decodeFailed("invalid DXV frame"));
    EXPECT_EQ(errorOf([&] { decoder.decode(nullptr, 0, *into); }), ConversionError::decodeFailed("invalid DXV frame"));
    auto ycocg = frame;  // a high-quality YCoCg stream is not read, and the text says so
    std::memcpy(ycocg.data(), "6GCY", 4);
    const auto unsupported =
        ConversionError::decodeFailed("this DXV variant is not supported (DXV3 High Quality or an older DXV version)");
    EXPECT_EQ(errorOf([&] { decoder.decode(ycocg.data(), ycocg.size(), *into); }), unsupported);
    auto old = frame;  // a coded texture of version 1
    old[4] = 1;
    old[6] = 0;
    EXPECT_EQ(errorOf([&] { decoder.decode(old.data(), old.size(), *into); }), unsupported);

    // The texture is 112x64: a destination up to that size is filled, a larger one refused.
    auto padded = PixelBuffer::create(112, 64, qm::kPixelFormatBGRA);
    EXPECT_FALSE(decoder.decode(frame.data(), frame.size(), *padded));
    auto larger = PixelBuffer::create(113, 60, qm::kPixelFormatBGRA);
    EXPECT_EQ(errorOf([&] { decoder.decode(frame.data(), frame.size(), *larger); }),
              ConversionError::decodeFailed("invalid DXV texture"));
}

TEST(DxvCodec, ContextPoolSurvivesFailuresAndConcurrentUse) {
    const Picture picture = qm::test::dxv::lavfiPicture("testsrc2", 128, 96);
    const qm::DXVEncoder encoder(qm::fourCC('D', 'X', 'D', '3'), "DXV 3", true, false);
    const auto frame = encoder.encode(*qm::test::dxv::bufferOf(picture));
    const auto expected = qm::test::dxv::reference(picture, true, false).bgra;
    const qm::DXVDecoder decoder(128, 96);
    EXPECT_EQ(decoder.idleContextCount(), 0u);
    auto into = PixelBuffer::create(128, 96, qm::kPixelFormatBGRA);
    EXPECT_TRUE(decoder.decode(frame.data(), frame.size(), *into));
    EXPECT_EQ(decoder.idleContextCount(), 1u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_THROW(decoder.decode(frame.data(), 20, *into), ConversionError);
        EXPECT_EQ(decoder.idleContextCount(), 1u);
    }

    constexpr int kThreads = 6;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            auto mine = PixelBuffer::create(128, 96, qm::kPixelFormatBGRA);
            for (int i = 0; i < 20; ++i) {
                if (!decoder.decode(frame.data(), frame.size(), *mine)) ++wrong;
                if (qm::test::dxv::pictureOf(*mine).bgra != expected) ++wrong;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GE(decoder.idleContextCount(), 1u);
    EXPECT_LE(decoder.idleContextCount(), size_t(kThreads));
}

// The pixels themselves are checked in the library's own tests; here the wrapper's choice of
// output format and its alpha report.
TEST(NotchLCCodec, DecodesIntoBothFormatsAndReportsAlpha) {
    const qm::NotchLCDecoder decoder(32, 16);
    EXPECT_EQ(decoder.outputPixelFormat(qm::kPixelFormatRGBA64LE), qm::kPixelFormatRGBA64LE);
    EXPECT_EQ(decoder.outputPixelFormat(qm::kPixelFormatBGRA), qm::kPixelFormatBGRA);
    EXPECT_EQ(decoder.outputPixelFormat(qm::kPixelFormatYUV420P), qm::kPixelFormatBGRA);
    const auto alpha = qm::test::notchlc::makeFrame(true);
    auto deep = PixelBuffer::create(32, 16, qm::kPixelFormatRGBA64LE);
    EXPECT_TRUE(decoder.decode(alpha.data(), alpha.size(), *deep));
    const uint8_t* right = deep->data() + 20 * 8;
    EXPECT_EQ(right[6] | right[7] << 8, 0);  // the right half is transparent
}

TEST(NotchLCCodec, ErrorTexts) {
    const qm::NotchLCDecoder decoder(32, 16);
    const auto frame = qm::test::notchlc::makeFrame(false);
    auto planar = PixelBuffer::create(32, 16, qm::kPixelFormatYUV420P);
    ASSERT_NE(planar, nullptr);
    EXPECT_EQ(errorOf([&] { decoder.decode(frame.data(), frame.size(), *planar); }),
              ConversionError::decodeFailed("unsupported pixel format"));
    EXPECT_EQ(decoder.idleContextCount(), 0u);  // refused before the library was asked

    auto into = PixelBuffer::create(32, 16, qm::kPixelFormatBGRA);
    const std::vector<uint8_t> garbage(100, 7);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(errorOf([&] { decoder.decode(garbage.data(), garbage.size(), *into); }),
                  ConversionError::decodeFailed("invalid NotchLC frame"));
    }
    EXPECT_EQ(decoder.idleContextCount(), 1u);
    auto tooLarge = PixelBuffer::create(64, 16, qm::kPixelFormatBGRA);
    EXPECT_EQ(errorOf([&] { decoder.decode(frame.data(), frame.size(), *tooLarge); }),
              ConversionError::decodeFailed("invalid NotchLC frame"));
    EXPECT_FALSE(decoder.decode(frame.data(), frame.size(), *into));
}

}  // namespace
