// Pixel transfer checked against the BT.709 equations and plain arithmetic, not against itself.
#include "engine/pixel_transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <cmath>
#include <cstring>
#include <thread>

#include "core/conversion_error.h"
#include "core/four_cc.h"
#include "platform/media/ffmpeg_internal.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace qm {
namespace {

struct RGB8 {
    int r, g, b;
};

// Flat bars wide enough that chroma subsampling and filters see a single colour at their centres.
constexpr RGB8 kBars[] = {{255, 255, 255}, {235, 20, 40}, {16, 200, 64}, {30, 60, 220}, {0, 0, 0}, {128, 128, 128}};
constexpr int kBarWidth = 16;
constexpr int kBarCount = 6;

PixelBufferRef makeBars(int height, int alpha = 255) {
    auto buffer = PixelBuffer::create(kBarWidth * kBarCount, height, kPixelFormatBGRA);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = buffer->data() + buffer->bytesPerRow() * size_t(y);
        for (int x = 0; x < buffer->width(); ++x) {
            const RGB8 c = kBars[x / kBarWidth];
            row[4 * x + 0] = uint8_t(c.b);
            row[4 * x + 1] = uint8_t(c.g);
            row[4 * x + 2] = uint8_t(c.r);
            row[4 * x + 3] = uint8_t(alpha);
        }
    }
    return buffer;
}

uint16_t word(const PixelBuffer& b, int plane, int x, int y) {
    uint16_t v;
    std::memcpy(&v, b.data(plane) + b.bytesPerRow(plane) * size_t(y) + 2 * size_t(x), 2);
    return v;
}

uint8_t byteAt(const PixelBuffer& b, int plane, int x, int y) { return b.data(plane)[b.bytesPerRow(plane) * size_t(y) + size_t(x)]; }

// A BGRA pixel is the given colour, within a tolerance.
void expectColour(const uint8_t* bgra, const RGB8& c, int tolerance) {
    EXPECT_NEAR(bgra[2], c.r, tolerance);
    EXPECT_NEAR(bgra[1], c.g, tolerance);
    EXPECT_NEAR(bgra[0], c.b, tolerance);
}

struct YCbCr {
    double y, cb, cr;  // Y in 0...1, Cb and Cr in -0.5...0.5
};

YCbCr bt709(const RGB8& c) {
    const double r = c.r / 255.0, g = c.g / 255.0, b = c.b / 255.0;
    const double kr = 0.2126, kb = 0.0722;
    const double y = kr * r + (1 - kr - kb) * g + kb * b;
    return {y, (b - y) / (2 * (1 - kb)), (r - y) / (2 * (1 - kr))};
}

TEST(PixelTransfer, BgraToDeepRgbaAndBackKeepsEveryValue) {
    auto source = PixelBuffer::create(256, 2, kPixelFormatBGRA);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 256; ++x) {
            uint8_t* p = source->data() + source->bytesPerRow() * size_t(y) + 4 * size_t(x);
            p[0] = uint8_t(x);             // B
            p[1] = uint8_t(255 - x);       // G
            p[2] = uint8_t((x * 7) & 255); // R
            p[3] = uint8_t(x ^ 0x5A);      // A
        }
    PixelTransfer transfer;
    auto deep = PixelBuffer::create(256, 2, kPixelFormatRGBA64LE);
    auto back = PixelBuffer::create(256, 2, kPixelFormatBGRA);
    transfer.transfer(*source, *deep);
    transfer.transfer(*deep, *back);
    for (int x = 0; x < 256; ++x) {
        // The exact widening v x 257 (RGBA order), and every byte back as it was.
        const int expected[4] = {((x * 7) & 255) * 257, (255 - x) * 257, x * 257, (x ^ 0x5A) * 257};
        for (int c = 0; c < 4; ++c) {
            ASSERT_EQ(word(*deep, 0, 4 * x + c, 1), expected[c]) << "x " << x << " channel " << c;
            ASSERT_EQ(back->data()[back->bytesPerRow() + 4 * size_t(x) + size_t(c)], source->data()[4 * size_t(x) + size_t(c)])
                << "x " << x << " channel " << c;
        }
    }
    EXPECT_EQ(back->colorTags(), ColorTags::bt709());
}

TEST(PixelTransfer, EncoderFormatsFollowTheBt709Equations) {
    PixelTransfer transfer;
    auto source = makeBars(32, 200);
    source->setAlphaMode(AlphaMode::straight);
    const int w = source->width();

    auto yuv420 = PixelBuffer::create(w, 32, kPixelFormatYUV420P);
    auto yuv422 = PixelBuffer::create(w, 32, kPixelFormatYUV422P10);
    auto yuva444 = PixelBuffer::create(w, 32, kPixelFormatYUVA444P10);
    auto yuvj = PixelBuffer::create(w, 32, kPixelFormatYUVJ444P);
    for (auto* out : {&yuv420, &yuv422, &yuva444, &yuvj}) transfer.transfer(*source, **out);

    for (int bar = 0; bar < kBarCount; ++bar) {
        SCOPED_TRACE("bar " + std::to_string(bar));
        const YCbCr e = bt709(kBars[bar]);
        const int x = bar * kBarWidth + kBarWidth / 2;
        EXPECT_NEAR(byteAt(*yuv420, 0, x, 8), 16 + 219 * e.y, 1.0);
        EXPECT_NEAR(byteAt(*yuv420, 1, x / 2, 4), 128 + 224 * e.cb, 1.0);
        EXPECT_NEAR(byteAt(*yuv420, 2, x / 2, 4), 128 + 224 * e.cr, 1.0);
        EXPECT_NEAR(word(*yuv422, 0, x, 8), 64 + 876 * e.y, 2.0);
        EXPECT_NEAR(word(*yuv422, 1, x / 2, 8), 512 + 896 * e.cb, 2.0);
        EXPECT_NEAR(word(*yuv422, 2, x / 2, 8), 512 + 896 * e.cr, 2.0);
        EXPECT_NEAR(word(*yuva444, 0, x, 8), 64 + 876 * e.y, 2.0);
        EXPECT_NEAR(word(*yuva444, 1, x, 8), 512 + 896 * e.cb, 2.0);
        EXPECT_NEAR(word(*yuva444, 2, x, 8), 512 + 896 * e.cr, 2.0);
        EXPECT_NEAR(word(*yuva444, 3, x, 8), 200 * 1023.0 / 255.0, 2.0);  // alpha is full range
        EXPECT_NEAR(byteAt(*yuvj, 0, x, 8), 255 * e.y, 1.0);
        EXPECT_NEAR(byteAt(*yuvj, 1, x, 8), 128 + 255 * e.cb, 1.0);
        EXPECT_NEAR(byteAt(*yuvj, 2, x, 8), 128 + 255 * e.cr, 1.0);
    }
    ColorTags video = ColorTags::bt709();
    video.range = ColorRange::video;
    EXPECT_EQ(yuv422->colorTags(), video);
    EXPECT_EQ(yuvj->colorTags().range, ColorRange::full);
    EXPECT_EQ(yuva444->alphaMode(), AlphaMode::straight);

    // And back: 10-bit 4:4:4 to 8-bit BGRA returns the bars.
    auto back = PixelBuffer::create(w, 32, kPixelFormatBGRA);
    transfer.transfer(*yuva444, *back);
    for (int bar = 0; bar < kBarCount; ++bar) {
        const uint8_t* p = back->data() + back->bytesPerRow() * 8 + 4 * size_t(bar * kBarWidth + kBarWidth / 2);
        expectColour(p, kBars[bar], 2);
        EXPECT_NEAR(p[3], 200, 1) << bar;
    }
}

// Same-size Y'CbCr to BGRA, converted in bands of rows, gives exactly what libswscale gives for
// the whole picture at once (through planar RGB, with the same flags), on noise, the hardest case
// for chroma filters at band edges.
TEST(PixelTransfer, BandsGiveTheWholePictureConversion) {
    uint32_t seed = 1;
    for (uint32_t format : {kPixelFormatYUV420P, kPixelFormatYUV422P10, kPixelFormatYUVA444P12})
        for (int height : {90, 300}) {
            SCOPED_TRACE(fourCCString(format) + " height " + std::to_string(height));
            auto source = PixelBuffer::create(70, height, format);
            const int bits = format == kPixelFormatYUV420P ? 8 : format == kPixelFormatYUV422P10 ? 10 : 12;
            for (int p = 0; p < source->planeCount(); ++p)
                for (int y = 0; y < source->planeHeight(p); ++y)
                    for (int x = 0; x < source->planeWidth(p); ++x) {
                        seed = seed * 1664525u + 1013904223u;
                        const uint16_t v = uint16_t((seed >> 8) & ((1u << bits) - 1));
                        uint8_t* at = source->data(p) + source->bytesPerRow(p) * size_t(y);
                        if (bits == 8) at[x] = uint8_t(v);
                        else std::memcpy(at + 2 * x, &v, 2);
                    }
            PixelTransfer transfer;
            auto ours = PixelBuffer::create(70, height, kPixelFormatBGRA);
            transfer.transfer(*source, *ours);

            const bool alpha = format == kPixelFormatYUVA444P12;
            auto planar = PixelBuffer::create(70, height, kPixelFormatBGRA);  // room for the planes
            SwsContext* whole = sws_getContext(70, height, ffmpeg::toAVPixelFormat(format), 70, height,
                                               alpha ? AV_PIX_FMT_GBRAP : AV_PIX_FMT_GBRP,
                                               SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
            ASSERT_NE(whole, nullptr);
            ASSERT_GE(sws_setColorspaceDetails(whole, sws_getCoefficients(SWS_CS_ITU709), 0, sws_getCoefficients(SWS_CS_ITU709),
                                               0, 0, 1 << 16, 1 << 16), 0);
            std::vector<uint8_t> planes(size_t(70 * height * 4));
            uint8_t* g = planes.data();
            uint8_t* out[4] = {g, g + 70 * height, g + 2 * 70 * height, alpha ? g + 3 * 70 * height : nullptr};
            const int strides[4] = {70, 70, 70, alpha ? 70 : 0};
            const uint8_t* in[4];
            int inStrides[4];
            ffmpeg::planePointers(*source, in, inStrides);
            ASSERT_EQ(sws_scale(whole, in, inStrides, 0, height, out, strides), height);
            sws_freeContext(whole);
            int mismatches = 0;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < 70; ++x) {
                    const uint8_t* p = ours->data() + ours->bytesPerRow() * size_t(y) + 4 * size_t(x);
                    const size_t i = size_t(y * 70 + x);
                    const uint8_t want[4] = {out[1][i], out[0][i], out[2][i], alpha ? out[3][i] : uint8_t(255)};
                    mismatches += std::memcmp(p, want, 4) != 0;
                }
            EXPECT_EQ(mismatches, 0);
        }
}

TEST(PixelTransfer, ScalesTheWholePictureWithoutLetterboxing) {
    PixelTransfer transfer;
    auto bars = makeBars(64);
    auto half = PixelBuffer::create(bars->width() / 2, 32, kPixelFormatBGRA);
    transfer.transfer(*bars, *half);
    for (int bar = 0; bar < kBarCount; ++bar) {
        expectColour(half->data() + half->bytesPerRow() * 16 + 4 * size_t(bar * kBarWidth / 2 + kBarWidth / 4), kBars[bar], 1);
    }
    // A 16:9 picture into a 5:4 buffer fills it edge to edge: every pixel keeps the colour.
    auto wide = PixelBuffer::create(192, 108, kPixelFormatBGRA);
    for (int y = 0; y < 108; ++y)
        for (int x = 0; x < 192; ++x) std::memcpy(wide->data() + wide->bytesPerRow() * size_t(y) + 4 * size_t(x), "\x20\x80\xE0\xFF", 4);
    auto square = PixelBuffer::create(128, 102, kPixelFormatRGBA64LE);
    transfer.transfer(*wide, *square);
    int off = 0;
    for (int y = 0; y < 102; ++y)
        for (int x = 0; x < 128; ++x)
            if (std::abs(int(word(*square, 0, 4 * x, y)) - 0xE0 * 257) > 257 || std::abs(int(word(*square, 0, 4 * x + 2, y)) - 0x20 * 257) > 257)
                ++off;
    EXPECT_EQ(off, 0);
}

TEST(PixelTransfer, ConcurrentTransfersEachTakeASessionAndTheNewestIdleIsReusedFirst) {
    PixelTransfer transfer;
    std::barrier bothHolding(2);
    std::mutex seenLock;
    std::vector<uint64_t> seen;
    bool holdOpen = true;
    transfer.setSessionObserver([&](uint64_t id) {
        {
            std::lock_guard guard(seenLock);
            seen.push_back(id);
        }
        if (holdOpen) bothHolding.arrive_and_wait();  // neither returns its session before both hold one
    });
    auto source = makeBars(16);
    auto a = PixelBuffer::create(48, 16, kPixelFormatYUV420P);
    auto b = PixelBuffer::create(48, 16, kPixelFormatYUV420P);
    std::thread first([&] { transfer.transfer(*source, *a); });
    std::thread second([&] { transfer.transfer(*source, *b); });
    first.join();
    second.join();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_NE(seen[0], seen[1]);
    const std::vector<uint64_t> idle = transfer.idleSessionIds();
    ASSERT_EQ(idle.size(), 2u);

    holdOpen = false;
    seen.clear();
    transfer.transfer(*source, *a);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], idle.back());  // the most recently returned
    EXPECT_EQ(transfer.idleSessionIds(), idle);
}

TEST(PixelTransfer, AFailedTransferReportsItAndKeepsItsSession) {
    PixelTransfer transfer;
    auto source = makeBars(16);
    auto out = PixelBuffer::create(48, 16, kPixelFormatBGRA);
    transfer.transfer(*source, *out);
    const auto before = transfer.idleSessionIds();
    // A buffer cannot be converted onto itself.
    try {
        transfer.transfer(*out, *out);
        FAIL() << "the transfer succeeded";
    } catch (const ConversionError& e) {
        EXPECT_EQ(e.kind(), ConversionError::Kind::encodeFailed);
        EXPECT_EQ(e.payload(), "pixel transfer (Invalid argument)");
    }
    EXPECT_EQ(transfer.idleSessionIds(), before);
    // The session still works afterwards, and extreme reductions are no failure.
    EXPECT_NO_THROW(transfer.transfer(*source, *out));
    auto line = PixelBuffer::create(16384, 1, kPixelFormatBGRA);
    std::memset(line->data(), 0x40, line->bytesPerRow());
    auto two = PixelBuffer::create(2, 1, kPixelFormatBGRA);
    EXPECT_NO_THROW(transfer.transfer(*line, *two));
    EXPECT_NEAR(two->data()[0], 0x40, 1);
    EXPECT_EQ(transfer.idleSessionIds(), before);
}

}  // namespace
}  // namespace qm
