#include "platform/media/pixel_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "core/conversion_error.h"
#include "platform/media/ffmpeg_internal.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace qm {
namespace {

constexpr uint32_t kAllFormats[] = {kPixelFormatBGRA,      kPixelFormatRGBA,       kPixelFormatRGBA64LE,
                                    kPixelFormatRGBA64BE,  kPixelFormatYUV420P,    kPixelFormatYUVJ444P,
                                    kPixelFormatYUV422P10, kPixelFormatYUV444P10,  kPixelFormatYUVA444P10};

// Plane sizes checked against libavutil's own description of the matching FFmpeg format.
TEST(PixelBuffer, PlanesMatchFFmpegLayoutForOddAndEvenSizes) {
    for (uint32_t format : kAllFormats) {
        const AVPixelFormat av = ffmpeg::toAVPixelFormat(format);
        ASSERT_NE(av, AV_PIX_FMT_NONE) << fourCCString(format);
        EXPECT_EQ(ffmpeg::fromAVPixelFormat(av), format);
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(av);
        for (auto [w, h] : {std::pair{64, 48}, std::pair{33, 17}, std::pair{1, 1}}) {
            auto buffer = PixelBuffer::create(w, h, format);
            ASSERT_TRUE(buffer) << fourCCString(format);
            EXPECT_EQ(buffer->planeCount(), av_pix_fmt_count_planes(av));
            EXPECT_EQ(PixelBuffer::formatHasAlpha(format), (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0);
            for (int p = 0; p < buffer->planeCount(); ++p) {
                const int minRow = av_image_get_linesize(av, w, p);
                EXPECT_GE(buffer->bytesPerRow(p), static_cast<size_t>(minRow)) << fourCCString(format) << " plane " << p;
                EXPECT_EQ(buffer->bytesPerRow(p) % PixelBuffer::kAlignment, 0u);
                EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer->data(p)) % PixelBuffer::kAlignment, 0u);
                const bool chroma = p == 1 || p == 2;
                const int expectedHeight = chroma ? -((-h) >> desc->log2_chroma_h) : h;
                EXPECT_EQ(buffer->planeHeight(p), expectedHeight) << fourCCString(format) << " plane " << p;
                // Writing every byte of every row must stay inside the allocation (ASan checks).
                std::fill_n(buffer->data(p), buffer->bytesPerRow(p) * static_cast<size_t>(buffer->planeHeight(p)), uint8_t(0x5A));
            }
            for (int p = 1; p < buffer->planeCount(); ++p)
                EXPECT_GE(buffer->data(p), buffer->data(p - 1) + buffer->bytesPerRow(p - 1) * size_t(buffer->planeHeight(p - 1)));
        }
    }
}

TEST(PixelBuffer, RefusesUnknownFormatsAndSidesOutsideTheLimit) {
    EXPECT_FALSE(PixelBuffer::create(16, 16, fourCC('x', 'x', 'x', 'x')));
    EXPECT_FALSE(PixelBuffer::create(0, 16, kPixelFormatBGRA));
    EXPECT_FALSE(PixelBuffer::create(16385, 16, kPixelFormatBGRA));
    EXPECT_TRUE(PixelBuffer::create(16384, 1, kPixelFormatBGRA));
    EXPECT_EQ(PixelBuffer::bytesPerPixel(kPixelFormatRGBA64LE), 8);
    EXPECT_EQ(PixelBuffer::bytesPerPixel(kPixelFormatYUV420P), 0);
    auto buffer = PixelBuffer::create(8, 8, kPixelFormatBGRA);
    EXPECT_EQ(buffer->colorTags(), ColorTags{});
    EXPECT_EQ(buffer->alphaMode(), AlphaMode::unspecified);
}

TEST(PixelBufferPool, ErrorsNameTheStep) {
    try {
        makePixelBufferPool(0, 10, kPixelFormatBGRA);
        FAIL();
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::encodeFailed);
        EXPECT_EQ(e.payload(), "pixel buffer pool (Invalid argument)");
    }
    EXPECT_THROW(makePixelBufferPool(10, 10, 0), ConversionError);
    EXPECT_THROW(makePixelBufferPool(16385, 10, kPixelFormatBGRA), ConversionError);
    EXPECT_THROW(makePixelBuffer(nullptr), ConversionError);
}

TEST(PixelBufferPool, RecyclesReleasedBuffersWithFreshAttachments) {
    auto pool = makePixelBufferPool(40, 30, kPixelFormatYUV422P10);
    auto first = makePixelBuffer(pool);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->width(), 40);
    EXPECT_EQ(first->pixelFormat(), kPixelFormatYUV422P10);
    first->setColorTags(ColorTags::bt709());
    const uint8_t* storage = first->data(0);
    auto second = makePixelBuffer(pool);
    EXPECT_NE(second->data(0), storage);
    first.reset();
    EXPECT_EQ(pool->idleCount(), 1u);
    auto third = makePixelBuffer(pool);
    EXPECT_EQ(third->data(0), storage);
    EXPECT_EQ(third->colorTags(), ColorTags{});
    EXPECT_EQ(pool->idleCount(), 0u);
    // A buffer may outlive its pool.
    pool.reset();
    third->data(0)[0] = 1;
    third.reset();
    second.reset();
}

TEST(PixelBufferPool, ManyThreadsShareOnePool) {
    auto pool = makePixelBufferPool(16, 16, kPixelFormatBGRA);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                auto a = makePixelBuffer(pool);
                auto b = makePixelBuffer(pool);
                a->data(0)[0] = uint8_t(t);
                b->data(0)[0] = uint8_t(t + 1);
                if (a->data(0) == b->data(0) || a->data(0)[0] != uint8_t(t)) failures++;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(pool->idleCount(), 16u);
    EXPECT_GE(pool->idleCount(), 2u);
}

}  // namespace
}  // namespace qm
