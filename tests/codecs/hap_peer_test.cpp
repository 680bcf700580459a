// Our Hap frames against libavcodec's own Hap decoder and encoder, in process.

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codecs/hap_codec.h"
#include "support/lavc_hap.h"
#include "support/test_support.h"

namespace {

using qm::PixelBuffer;
using Bytes = std::vector<uint8_t>;

constexpr int kWidth = 128;
constexpr int kHeight = 96;

// A test picture from ffmpeg's own pattern source, with a diagonal alpha ramp, as BGRA.
std::shared_ptr<PixelBuffer> testPicture() {
    static std::shared_ptr<PixelBuffer> picture = [] {
        qm::test::TempDir dir;
        const auto raw = dir / "picture.bgra";
        qm::test::ffmpeg({"-f", "lavfi", "-i",
                          "testsrc2=size=" + std::to_string(kWidth) + "x" + std::to_string(kHeight) +
                              ",format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='clip(X*2+Y,0,255)'",
                          "-frames:v", "1", "-pix_fmt", "bgra", "-f", "rawvideo", raw.string()});
        const std::string bytes = qm::test::readFile(raw);
        EXPECT_EQ(bytes.size(), static_cast<size_t>(kWidth * kHeight * 4));
        auto buffer = PixelBuffer::create(kWidth, kHeight, qm::kPixelFormatBGRA);
        for (int y = 0; y < kHeight && bytes.size() == static_cast<size_t>(kWidth * kHeight * 4); ++y)
            std::memcpy(buffer->data() + y * buffer->bytesPerRow(), bytes.data() + y * kWidth * 4, kWidth * 4);
        return buffer;
    }();
    return picture;
}

uint32_t tagOf(const char* fourcc) { return MKTAG(fourcc[0], fourcc[1], fourcc[2], fourcc[3]); }

struct AvPicture {
    int width = 0, height = 0;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    std::vector<Bytes> rows;
};

// Decodes one Hap frame with libavcodec's decoder for the given codec tag.
std::optional<AvPicture> avDecode(const Bytes& frame, const char* fourcc) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HAP);
    if (codec == nullptr) return std::nullopt;
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> ctx(avcodec_alloc_context3(codec),
                                                                    [](AVCodecContext* c) { avcodec_free_context(&c); });
    ctx->width = kWidth;
    ctx->height = kHeight;
    ctx->codec_tag = tagOf(fourcc);
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return std::nullopt;
    AVPacket* packet = av_packet_alloc();
    AVFrame* picture = av_frame_alloc();
    std::optional<AvPicture> result;
    if (av_new_packet(packet, static_cast<int>(frame.size())) == 0) {
        std::memcpy(packet->data, frame.data(), frame.size());
        if (avcodec_send_packet(ctx.get(), packet) == 0 && avcodec_receive_frame(ctx.get(), picture) == 0) {
            AvPicture p{picture->width, picture->height, static_cast<AVPixelFormat>(picture->format), {}};
            const int bytesPerPixel = p.format == AV_PIX_FMT_GRAY8 ? 1 : 4;
            for (int y = 0; y < p.height; ++y) {
                const uint8_t* row = picture->data[0] + static_cast<ptrdiff_t>(y) * picture->linesize[0];
                p.rows.emplace_back(row, row + p.width * bytesPerPixel);
            }
            result = std::move(p);
        }
    }
    av_frame_free(&picture);
    av_packet_free(&packet);
    return result;
}

// Encodes the BGRA picture with libavcodec's Hap encoder.
Bytes avEncode(const PixelBuffer& source, const char* format, int chunks, const char* compressor) {
    qm::test::LavcHapEncoder encoder(format, source.width(), source.height(), chunks, 1, compressor);
    return encoder.ok() ? encoder.encode(source) : Bytes{};
}

std::shared_ptr<PixelBuffer> ourDecode(const Bytes& frame, bool* hasAlpha = nullptr) {
    auto out = PixelBuffer::create(kWidth, kHeight, qm::kPixelFormatBGRA);
    const bool alpha = qm::HapDecoder(kWidth, kHeight).decode(frame.data(), frame.size(), *out);
    if (hasAlpha != nullptr) *hasAlpha = alpha;
    return out;
}

// Largest difference per channel between our BGRA pixels and libavcodec's picture. For a grey
// picture (alpha-only frames) the grey value is compared with our alpha; colour pictures compare
// R, G, B and, when libavcodec keeps alpha, A.
int worstDifference(const PixelBuffer& ours, const AvPicture& theirs) {
    EXPECT_EQ(theirs.width, kWidth);
    EXPECT_EQ(theirs.height, kHeight);
    int worst = 0;
    for (int y = 0; y < kHeight && y < theirs.height; ++y) {
        const uint8_t* a = ours.data() + y * ours.bytesPerRow();
        const uint8_t* b = theirs.rows[static_cast<size_t>(y)].data();
        for (int x = 0; x < kWidth && x < theirs.width; ++x) {
            if (theirs.format == AV_PIX_FMT_GRAY8) {
                worst = std::max(worst, std::abs(a[x * 4 + 3] - b[x]));
                continue;
            }
            worst = std::max(worst, std::abs(a[x * 4 + 2] - b[x * 4]));
            worst = std::max(worst, std::abs(a[x * 4 + 1] - b[x * 4 + 1]));
            worst = std::max(worst, std::abs(a[x * 4] - b[x * 4 + 2]));
            if (theirs.format == AV_PIX_FMT_RGBA) worst = std::max(worst, std::abs(a[x * 4 + 3] - b[x * 4 + 3]));
        }
    }
    return worst;
}

// libavcodec rebuilds scaled YCoCg pixels in integers, truncating Co and Cg before adding them up,
// where we round the float sum once; with its palette entries rounded down where ours round to
// nearest, a channel may differ by 3. Every other texture is held to 2.
int toleranceFor(const std::string& fourcc) { return fourcc == "HapY" || fourcc == "HapM" ? 3 : 2; }

// Stored sections are left to the byte-layout tests of the container and to the other direction
// below, where libavcodec writes them.
TEST(HapPeer, OurFramesDecodeInLibavcodecToOurPixels) {
    for (const char* fourcc : {"Hap1", "Hap5", "HapY", "HapM", "HapA"}) {
        for (int chunks : {1, 4, 64}) {
            const auto variant = qm::hapVariantForCodecType(qm::fourCCCode(fourcc));
            const Bytes frame = qm::HapEncoder("Hap", *variant, chunks, false).encode(*testPicture());
            const auto theirs = avDecode(frame, fourcc);
            ASSERT_TRUE(theirs.has_value()) << fourcc << " chunks " << chunks;
            EXPECT_LE(worstDifference(*ourDecode(frame), *theirs), toleranceFor(fourcc)) << fourcc << " chunks " << chunks;
        }
    }
}

TEST(HapPeer, LibavcodecFramesDecodeInOursToLibavcodecPixels) {
    const struct { const char* format; const char* fourcc; bool alpha; } formats[] = {
        {"hap", "Hap1", false}, {"hap_alpha", "Hap5", true}, {"hap_q", "HapY", false}};
    for (const auto& f : formats) {
        for (int chunks : {1, 8}) {
            for (const char* compressor : {"snappy", "none"}) {
                const Bytes frame = avEncode(*testPicture(), f.format, chunks, compressor);
                ASSERT_FALSE(frame.empty()) << f.format;
                const auto theirs = avDecode(frame, f.fourcc);
                ASSERT_TRUE(theirs.has_value()) << f.format;
                bool alpha = false;
                const auto ours = ourDecode(frame, &alpha);
                EXPECT_EQ(alpha, f.alpha) << f.format;
                EXPECT_LE(worstDifference(*ours, *theirs), toleranceFor(f.fourcc)) << f.format << " chunks " << chunks << " " << compressor;
            }
        }
    }
}

}  // namespace
