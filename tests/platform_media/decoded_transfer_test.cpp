// Pictures the reader hands on in the decoder's own format reach RGB through the engine's pixel
// transfer; the results are checked against the BT.709 equations applied to the stored samples.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/pixel_transfer.h"
#include "platform/media/asset_reader.h"
#include "support/test_support.h"

namespace qm {
namespace {

struct Expected {
    double r, g, b, a;
};

double sample(const PixelBuffer& picture, int bits, int plane, int x, int y) {
    const uint8_t* row = picture.data(plane) + picture.bytesPerRow(plane) * size_t(y);
    return bits > 8 ? double(row[2 * x] | row[2 * x + 1] << 8) : double(row[x]);
}

// R'G'B' (0...255) of the Y'CbCr stored at the picture's centre, with the BT.709 matrix.
Expected bt709(const PixelBuffer& picture, int bits, bool fullRange) {
    const int x = picture.width() / 2, y = picture.height() / 2;
    const int cx = x * picture.planeWidth(1) / picture.width(), cy = y * picture.planeHeight(1) / picture.height();
    const double unit = double(1 << (bits - 8));
    const double maxValue = double((1 << bits) - 1);
    const double luma = fullRange ? sample(picture, bits, 0, x, y) / maxValue : (sample(picture, bits, 0, x, y) - 16 * unit) / (219 * unit);
    const double chromaScale = fullRange ? maxValue : 224 * unit;
    const double cb = (sample(picture, bits, 1, cx, cy) - 128 * unit) / chromaScale;
    const double cr = (sample(picture, bits, 2, cx, cy) - 128 * unit) / chromaScale;
    const double alpha = picture.planeCount() == 4 ? 255 * sample(picture, bits, 3, x, y) / maxValue : 255;
    return {255 * (luma + 1.5748 * cr), 255 * (luma - 0.1873 * cb - 0.4681 * cr), 255 * (luma + 1.8556 * cb), alpha};
}

TEST(DecodedTransfer, NewDecoderFormatsConvertWithTheirRangeAndAlpha) {
    test::TempDir dir;
    struct Case {
        const char* file;
        std::vector<std::string> args;
        uint32_t pixelFormat;
        int bits;
        bool fullRange;
    };
    const std::string colour = "color=c=0x3366CC:s=64x48:r=25:d=0.08";
    const Case cases[] = {
        {"flat.mov", {"-pix_fmt", "yuvj420p", "-c:v", "mjpeg"}, kPixelFormatYUVJ420P, 8, true},
        {"flat.mp4", {"-pix_fmt", "yuv420p10le", "-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error"},
         kPixelFormatYUV420P10, 10, false},
        {"flat4444.mov", {"-c:v", "prores_ks", "-profile:v", "4"}, kPixelFormatYUVA444P12, 12, false},
    };
    PixelTransfer transfer;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<std::string> args = {"-f", "lavfi", "-i", colour};
        if (c.pixelFormat == kPixelFormatYUVA444P12) args[3] = "color=c=0x3366CC@0.6:s=64x48:r=25:d=0.08,format=yuva444p10le";
        for (const auto& a : c.args) args.push_back(a);
        args.push_back((dir / c.file).string());
        test::ffmpeg(args);
        auto reader = VideoSampleReader::open(dir / c.file, {});
        auto sample = reader->next();
        ASSERT_TRUE(sample && sample->pixels);
        const PixelBuffer& picture = *sample->pixels;
        ASSERT_EQ(picture.pixelFormat(), c.pixelFormat);
        // Untagged, the format alone says the range; the matrix falls back to BT.709.
        sample->pixels->setColorTags({});
        const Expected e = bt709(picture, c.bits, c.fullRange);
        auto out = PixelBuffer::create(32, 24, kPixelFormatBGRA);
        transfer.transfer(picture, *out);
        const uint8_t* p = out->data() + out->bytesPerRow() * 12 + 16 * 4;
        EXPECT_NEAR(p[2], e.r, 1.5);
        EXPECT_NEAR(p[1], e.g, 1.5);
        EXPECT_NEAR(p[0], e.b, 1.5);
        EXPECT_NEAR(p[3], e.a, 1.0);
    }
}

}  // namespace
}  // namespace qm
