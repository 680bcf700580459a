#include "platform/media/pixel_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "core/conversion_error.h"
#include "platform/media/ffmpeg_internal.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace qm {
namespace {

constexpr uint32_t kAllFormats[] = {
    kPixelFormatBGRA,       kPixelFormatRGBA,       kPixelFormatRGBA64LE,   kPixelFormatRGBA64BE,
    kPixelFormatYUV420P,    kPixelFormatYUVJ444P,   kPixelFormatYUV422P10,  kPixelFormatYUV444P10,
    kPixelFormatYUVA444P10, kPixelFormatYUV422P,    kPixelFormatYUV444P,    kPixelFormatYUVJ420P,
    kPixelFormatYUVJ422P,   kPixelFormatYUV420P10,  kPixelFormatYUV420P12,  kPixelFormatYUV422P12,
    kPixelFormatYUV444P12,  kPixelFormatYUVA444P12, kPixelFormatRGB24};

// Plane sizes checked against libavutil's own description of the matching FFmpeg format.
TEST(PixelBuffer, PlanesMatchFFmpegLayoutForOddAndEvenSizes) {
    std::set<uint32_t> codes(std::begin(kAllFormats), std::end(kAllFormats));
    EXPECT_EQ(codes.size(), std::size(kAllFormats));
    std::set<AVPixelFormat> mapped;
    for (uint32_t format : kAllFormats) mapped.insert(ffmpeg::toAVPixelFormat(format));
    EXPECT_EQ(mapped.size(), std::size(kAllFormats));
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

// A frame in the layout libavcodec's decoders hand out: 64-byte aligned planes with spare room.
AVFrame* alignedFrame(AVPixelFormat format, int width, int height) {
    AVFrame* frame = av_frame_alloc();
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame, 64) < 0) av_frame_free(&frame);
    return frame;
}

struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// Decoded pictures are shared, not copied, when the decoder no longer uses them; the buffer keeps
// the picture alive on its own, and its planes are the picture's.
TEST(PixelBuffer, WrappedFramesShareTheirMemory) {
    FramePtr frame(alignedFrame(AV_PIX_FMT_YUVA444P12LE, 100, 30));
    ASSERT_TRUE(frame);
    ASSERT_EQ(av_frame_make_writable(frame.get()), 0);
    frame->data[3][0] = 0x7B;
    PixelBufferRef wrapped = ffmpeg::wrapFrame(*frame);
    ASSERT_TRUE(wrapped);
    EXPECT_EQ(wrapped->pixelFormat(), kPixelFormatYUVA444P12);
    EXPECT_EQ(wrapped->width(), 100);
    for (int p = 0; p < 4; ++p) {
        EXPECT_EQ(wrapped->data(p), frame->data[p]);
        EXPECT_EQ(wrapped->bytesPerRow(p), size_t(frame->linesize[p]));
    }
    EXPECT_FALSE(av_frame_is_writable(frame.get()));  // the buffer holds a reference
    frame.reset();
    EXPECT_EQ(wrapped->data(3)[0], 0x7B);  // still there after the frame itself is gone

    // Chroma planes of a subsampled format take their own height.
    FramePtr small(alignedFrame(AV_PIX_FMT_YUV420P10LE, 33, 17));
    ASSERT_TRUE(small);
    PixelBufferRef shared = ffmpeg::wrapFrame(*small);
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared->planeHeight(1), 9);
    EXPECT_EQ(shared->planeWidth(2), 17);
    // 8-bit Y'CbCr marked full range is named by its JPEG format; deeper formats keep theirs.
    small->color_range = AVCOL_RANGE_JPEG;
    EXPECT_EQ(ffmpeg::pixelFormatOf(*small), kPixelFormatYUV420P10);
    FramePtr full(alignedFrame(AV_PIX_FMT_YUV422P, 64, 48));
    ASSERT_TRUE(full);
    full->color_range = AVCOL_RANGE_JPEG;
    PixelBufferRef named = ffmpeg::wrapFrame(*full);
    ASSERT_TRUE(named);
    EXPECT_EQ(named->pixelFormat(), kPixelFormatYUVJ422P);
    EXPECT_EQ(ffmpeg::isFullRangeFormat(kPixelFormatYUVJ420P), true);
    EXPECT_EQ(ffmpeg::isFullRangeFormat(kPixelFormatYUV420P), false);
}

TEST(PixelBuffer, FramesThatCannotBeSharedAreRefused) {
    // Still referenced elsewhere (a decoder keeping a picture for the ones after it).
    FramePtr frame(alignedFrame(AV_PIX_FMT_YUV420P, 64, 48));
    ASSERT_TRUE(frame);
    FramePtr decoderCopy(av_frame_clone(frame.get()));
    EXPECT_FALSE(ffmpeg::wrapFrame(*frame));
    decoderCopy.reset();
    EXPECT_TRUE(ffmpeg::wrapFrame(*frame));

    // Rows that are not a multiple of 64 bytes.
    FramePtr packed(av_frame_alloc());
    packed->format = AV_PIX_FMT_RGB24;
    packed->width = 33;
    packed->height = 5;
    ASSERT_EQ(av_frame_get_buffer(packed.get(), 1), 0);
    EXPECT_FALSE(ffmpeg::wrapFrame(*packed));
    // No spare bytes after the last plane.
    FramePtr tight(av_frame_alloc());
    tight->format = AV_PIX_FMT_RGB24;
    tight->width = 64;
    tight->height = 4;
    tight->buf[0] = av_buffer_alloc(64 * 3 * 4);
    tight->data[0] = tight->buf[0]->data;
    tight->linesize[0] = 64 * 3;
    EXPECT_FALSE(ffmpeg::wrapFrame(*tight));
    // A format with no pixel buffer of its own.
    FramePtr other(alignedFrame(AV_PIX_FMT_NV12, 64, 48));
    ASSERT_TRUE(other);
    EXPECT_FALSE(ffmpeg::wrapFrame(*other));

    // PixelBuffer::wrap itself refuses misaligned planes and rows shorter than the picture.
    auto owner = std::make_shared<int>(0);
    alignas(64) static uint8_t memory[64 * 8 + 128];
    EXPECT_TRUE(PixelBuffer::wrap(16, 8, kPixelFormatBGRA, {memory}, {64}, owner));
    EXPECT_FALSE(PixelBuffer::wrap(16, 8, kPixelFormatBGRA, {memory + 4}, {64}, owner));
    EXPECT_FALSE(PixelBuffer::wrap(17, 8, kPixelFormatBGRA, {memory}, {64}, owner));
    EXPECT_FALSE(PixelBuffer::wrap(16, 8, kPixelFormatBGRA, {memory}, {64}, nullptr));
    EXPECT_FALSE(PixelBuffer::wrap(16, 8, kPixelFormatYUV420P, {memory, nullptr, nullptr}, {64, 64, 64}, owner));
}

TEST(PixelBuffer, RefusesUnknownFormatsAndSidesOutsideTheLimit) {
    EXPECT_FALSE(PixelBuffer::create(16, 16, fourCC('x', 'x', 'x', 'x')));
    EXPECT_FALSE(PixelBuffer::create(0, 16, kPixelFormatBGRA));
    EXPECT_FALSE(PixelBuffer::create(16385, 16, kPixelFormatBGRA));
    EXPECT_TRUE(PixelBuffer::create(16384, 1, kPixelFormatBGRA));
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
