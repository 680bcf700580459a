// Our DXV3 frames without alpha, decoded by libavcodec's own dxv decoder in process, must give our
// pixels. Frames with alpha go to the newer peer FFmpeg in whole movies (the transcoder's pixel
// tests), since libavcodec 5.1 shows DXT5 colour premultiplied.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codecs/dxv_codec.h"
#include "codecs/dxv_test_images.h"

namespace {

using qm::test::dxv::Picture;

// Decodes one frame with libavcodec's dxv decoder; returns BGRA (empty on failure).
Picture libavcodecDecode(const std::vector<uint8_t>& frame, int width, int height) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_DXV);
    if (codec == nullptr) return {};
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = width;
    context->height = height;
    context->thread_count = 1;
    Picture out;
    AVPacket* packet = av_packet_alloc();
    AVFrame* decoded = av_frame_alloc();
    if (avcodec_open2(context, codec, nullptr) == 0 && av_new_packet(packet, int(frame.size())) == 0) {
        std::memcpy(packet->data, frame.data(), frame.size());
        if (avcodec_send_packet(context, packet) == 0 && avcodec_receive_frame(context, decoded) == 0 &&
            decoded->format == AV_PIX_FMT_RGBA && decoded->width >= width && decoded->height >= height) {
            out = Picture{width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 4)};
            for (int y = 0; y < height; ++y) {
                const uint8_t* in = decoded->data[0] + ptrdiff_t(y) * decoded->linesize[0];
                for (int x = 0; x < width; ++x) {
                    uint8_t* o = out.at(x, y);
                    o[0] = in[4 * x + 2];
                    o[1] = in[4 * x + 1];
                    o[2] = in[4 * x + 0];
                    o[3] = in[4 * x + 3];
                }
            }
        }
    }
    av_frame_free(&decoded);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return out;
}

void expectPeerAgrees(const Picture& picture, bool highQuality, const std::string& what) {
    SCOPED_TRACE(what + (highQuality ? " (high quality)" : ""));
    const qm::DXVEncoder encoder(qm::fourCC('D', 'X', 'D', '3'), "DXV 3", false, highQuality);
    const auto frame = encoder.encode(*qm::test::dxv::bufferOf(picture));
    ASSERT_EQ(frame[6], 0) << "the frame should be back-reference coded";
    const qm::DXVDecoder decoder(picture.width, picture.height);
    auto ours = qm::PixelBuffer::create(picture.width, picture.height, qm::kPixelFormatBGRA);
    ASSERT_FALSE(decoder.decode(frame.data(), frame.size(), *ours));
    const Picture theirs = libavcodecDecode(frame, picture.width, picture.height);
    ASSERT_FALSE(theirs.bgra.empty()) << "libavcodec refused the frame";
    EXPECT_LE(qm::test::dxv::maxDifference(qm::test::dxv::pictureOf(*ours), theirs, 0x7), 2);
}

TEST(DxvPeer, NaturalPictures) {
    for (bool hq : {false, true}) {
        expectPeerAgrees(qm::test::dxv::lavfiPicture("testsrc2", 100, 60), hq, "testsrc2 100x60");
        expectPeerAgrees(qm::test::dxv::lavfiPicture("testsrc2", 320, 240), hq, "testsrc2 320x240");
        expectPeerAgrees(qm::test::dxv::lavfiPicture("mandelbrot", 256, 144), hq, "mandelbrot 256x144");
    }
}

TEST(DxvPeer, BackReferenceForms) {
    // Repeats 1, 100 and 300 blocks apart: one-unit, byte and 16-bit distances.
    expectPeerAgrees(qm::test::dxv::solidBlocks(256, 256, [](size_t i) { return 0xFF000000u | uint32_t((i / 7) * 0x10101); }),
                     false, "runs");
    expectPeerAgrees(qm::test::dxv::solidBlocks(512, 256, [](size_t i) { return 0xFF000000u | uint32_t((i % 100) * 0x020304); }),
                     false, "period 100");
    expectPeerAgrees(qm::test::dxv::solidBlocks(512, 512, [](size_t i) { return 0xFF000000u | uint32_t((i % 300) * 0x030201); }),
                     false, "period 300");

    // The farthest pair distance (65793 pairs) and one beyond it.
    for (size_t k : {size_t(65793), size_t(65794)}) {
        expectPeerAgrees(qm::test::dxv::solidBlocks(1024, 1040, [k](size_t i) {
                             return i == 0 || i == k ? 0xFF804020u : 0xFF103090u;
                         }),
                         false, "pair distance " + std::to_string(k));
    }
}

}  // namespace
