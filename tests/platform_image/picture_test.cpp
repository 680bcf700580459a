// Picture decoding refuses what is beyond its limits before decoding it, and crops clip to the
// picture.

#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>

#include <zlib.h>

#include "platform/image/picture.h"
#include "support/test_support.h"

namespace qm {
namespace {

std::vector<std::uint8_t> encode(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return {bytes.begin(), bytes.end()};
}

// A PNG announcing the given size whose pixel data is a single empty row: enough for the header to
// be read, far too little to fill the picture.
std::vector<std::uint8_t> pngHeaderOnly(std::uint32_t width, std::uint32_t height) {
    std::string s("\x89PNG\r\n\x1a\n", 8);
    auto put32 = [](std::string& out, std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
    };
    auto chunk = [&](const std::string& kind, const std::string& body) {
        put32(s, static_cast<std::uint32_t>(body.size()));
        const std::string typed = kind + body;
        s += typed;
        put32(s, static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size()))));
    };
    std::string header;
    put32(header, width);
    put32(header, height);
    header += std::string("\x08\x06\x00\x00\x00", 5);
    chunk("IHDR", header);
    uLongf length = 64;
    std::string packed(length, '\0');
    const Bytef zero = 0;
    compress(reinterpret_cast<Bytef*>(packed.data()), &length, &zero, 1);
    packed.resize(length);
    chunk("IDAT", packed);
    chunk("IEND", "");
    return {s.begin(), s.end()};
}

TEST(Picture, Decoding) {
    QImage image(6, 4, QImage::Format_RGB32);
    image.fill(qRgb(10, 200, 30));
    for (const char* format : {"PNG", "JPEG", "BMP"}) {
        const PictureRef p = decodePicture(encode(image, format));
        ASSERT_TRUE(p) << format;
        EXPECT_EQ(p->width(), 6);
        EXPECT_EQ(p->height(), 4);
    }
    const std::string junk = "definitely not a picture";
    EXPECT_FALSE(decodePicture(std::vector<std::uint8_t>(junk.begin(), junk.end())));
    EXPECT_FALSE(decodePicture({}));
    // Vector pictures may refer to other files; embedded ones are not rendered.
    const std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"8\" height=\"8\">"
                            "<rect width=\"8\" height=\"8\" fill=\"red\"/></svg>";
    EXPECT_FALSE(decodePicture(std::vector<std::uint8_t>(svg.begin(), svg.end())));
    EXPECT_FALSE(decodePictureFile("/nonexistent/picture.png"));
}

TEST(Picture, LimitsAreCheckedBeforeDecoding) {
    // Headers alone: beyond the side limit, and within it but beyond the pixel count.
    EXPECT_FALSE(decodePicture(pngHeaderOnly(Picture::kMaxSide + 1, 1)));
    EXPECT_FALSE(decodePicture(pngHeaderOnly(60000, 60000)));
    EXPECT_FALSE(decodePicture(pngHeaderOnly(8192, 8193)));  // one row past 64 Mpixel
    // A real picture at the side limit still decodes.
    QImage wide(Picture::kMaxSide, 1, QImage::Format_RGB32);
    wide.fill(Qt::white);
    EXPECT_TRUE(decodePicture(encode(wide, "PNG")));
}

TEST(Picture, CropClipsToThePicture) {
    QImage image(10, 8, QImage::Format_RGB32);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 10; ++x) image.setPixel(x, y, qRgb(x * 20, y * 30, 0));
    const auto picture = std::make_shared<const Picture>(image);
    const PictureRef inside = cropPicture(picture, 2, 1, 3, 4);
    ASSERT_TRUE(inside);
    EXPECT_EQ(inside->image(), image.copy(2, 1, 3, 4));
    // The part outside is dropped, not filled.
    const PictureRef overhanging = cropPicture(picture, -5, 6, 100, 100);
    ASSERT_TRUE(overhanging);
    EXPECT_EQ(overhanging->image(), image.copy(0, 6, 10, 2));
    EXPECT_FALSE(cropPicture(picture, 10, 0, 5, 5));
    EXPECT_FALSE(cropPicture(picture, 0, 0, 0, 5));
    EXPECT_FALSE(cropPicture(picture, INT64_MAX - 1, INT64_MAX - 1, INT64_MAX, INT64_MAX));
}

}  // namespace
}  // namespace qm
