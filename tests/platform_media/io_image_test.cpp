// Image files checked by decoding them with the ffmpeg command.
#include "platform/media/image_file_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 37;  // odd sides catch stride and chroma rounding faults
constexpr int kHeight = 23;

// Every channel varies, alpha included, so a swapped or dropped channel shows.
PixelBufferRef pattern(uint32_t format) {
    PixelBufferRef b = PixelBuffer::create(kWidth, kHeight, format);
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* row = b->data() + y * b->bytesPerRow();
        for (int x = 0; x < kWidth; ++x) {
            const int r = x * 7, g = y * 11, bl = (x * y) % 256, a = 255 - (x + y) * 3;
            if (format == kPixelFormatBGRA) {
                row[4 * x + 0] = uint8_t(bl);
                row[4 * x + 1] = uint8_t(g);
                row[4 * x + 2] = uint8_t(r);
                row[4 * x + 3] = uint8_t(a);
            } else {  // 'l64r': R, G, B, A as 16-bit little-endian, low bytes not a copy of the high
                const uint16_t v[4] = {uint16_t(r * 257 + 3), uint16_t(g * 251), uint16_t(bl * 255 + 17),
                                       uint16_t(a * 256 + x)};
                std::memcpy(row + 8 * x, v, 8);
            }
        }
    }
    return b;
}

// The picture's bytes, rows packed, in the layout ffmpeg's rawvideo output uses.
std::string packed(const PixelBuffer& b, int bytesPerPixel) {
    std::string out;
    for (int y = 0; y < b.height(); ++y)
        out.append(reinterpret_cast<const char*>(b.data() + y * b.bytesPerRow()), size_t(kWidth) * bytesPerPixel);
    return out;
}

std::string decode(const fs::path& file, const char* pixFmt) {
    const auto r = test::run({"ffmpeg", "-nostdin", "-v", "error", "-xerror", "-i", file.string(), "-f", "rawvideo",
                              "-pix_fmt", pixFmt, "-"});
    EXPECT_EQ(r.exitCode, 0);
    return r.output;
}

// Compression tag (259) of a little-endian TIFF's first directory.
int tiffCompression(const std::string& bytes) {
    if (bytes.size() < 8 || bytes.compare(0, 4, std::string("II*\0", 4)) != 0) return -1;
    auto u16 = [&](size_t at) { return int(uint8_t(bytes[at])) | int(uint8_t(bytes[at + 1])) << 8; };
    auto u32 = [&](size_t at) { return size_t(u16(at)) | size_t(u16(at + 2)) << 16; };
    const size_t ifd = u32(4);
    const int entries = u16(ifd);
    for (int i = 0; i < entries; ++i) {
        const size_t e = ifd + 2 + size_t(i) * 12;
        if (u16(e) == 259) return u16(e + 8);
    }
    return -1;
}

class ImageFileTest : public ::testing::Test {
protected:
    test::TempDir dir;
};

// PNG and TIFF are lossless at both depths: ffmpeg reads back exactly what was written.
TEST_F(ImageFileTest, LosslessFormatsRoundTripExactly) {
    struct Case {
        ImageFileType type;
        uint32_t format;
        const char* name;
        const char* decodedAs;
        int bytesPerPixel;
    };
    for (const Case& c : {Case{ImageFileType::png, kPixelFormatBGRA, "a.png", "bgra", 4},
                          Case{ImageFileType::png, kPixelFormatRGBA64LE, "b.png", "rgba64le", 8},
                          Case{ImageFileType::tiff, kPixelFormatBGRA, "c.tif", "bgra", 4},
                          Case{ImageFileType::tiff, kPixelFormatRGBA64LE, "d.tif", "rgba64le", 8}}) {
        SCOPED_TRACE(c.name);
        const PixelBufferRef source = pattern(c.format);
        writeImageFile(*source, dir / c.name, {c.type, true, 0.9});
        EXPECT_EQ(decode(dir / c.name, c.decodedAs), packed(*source, c.bytesPerPixel));
        const auto probe = test::ffprobe(dir / c.name);
        const std::string pixFmt = probe["streams"][0]["pix_fmt"];
        const bool deep = c.format == kPixelFormatRGBA64LE;
        if (c.type == ImageFileType::png) {
            EXPECT_EQ(pixFmt, deep ? "rgba64be" : "rgba");
            EXPECT_NE(test::readFile(dir / c.name).find("sRGB"), std::string::npos);
        } else {
            EXPECT_EQ(pixFmt, deep ? "rgba64le" : "rgba");
            EXPECT_EQ(tiffCompression(test::readFile(dir / c.name)), 5);  // LZW
        }
    }
    // Without alpha the file has none.
    writeImageFile(*pattern(kPixelFormatBGRA), dir / "opaque.png", {ImageFileType::png, false, 0.9});
    EXPECT_EQ(test::ffprobe(dir / "opaque.png")["streams"][0]["pix_fmt"], "rgb24");
    // Only the file itself appears in the folder: no temporary left behind.
    size_t entries = 0;
    for (const auto& e : fs::directory_iterator(dir.path())) entries += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(entries, 5u);
}

// A writer reuses its encoders while the kind of picture stays the same; pictures of another
// kind, size or quality in between, or a failed one, must not change the next file's bytes. Its
// sets never outnumber the writes that ran at once.
TEST_F(ImageFileTest, ReusedEncodersWriteTheSameBytes) {
    const PixelBufferRef picture = pattern(kPixelFormatBGRA);
    const PixelBufferRef deep = pattern(kPixelFormatRGBA64LE);
    const PixelBufferRef wider = PixelBuffer::create(kWidth + 6, kHeight, kPixelFormatBGRA);
    std::memset(wider->data(), 0x7F, wider->bytesPerRow() * size_t(kHeight));
    struct Case {
        ImageFileSettings settings;
        const char* name;
    };
    const Case cases[] = {{{ImageFileType::png, true, 0.9}, "png"},
                          {{ImageFileType::png, false, 0.9}, "rgb.png"},
                          {{ImageFileType::tiff, true, 0.9}, "tif"},
                          {{ImageFileType::jpeg, true, 0.9}, "jpg"},
                          {{ImageFileType::jpeg, true, 0.3}, "q3.jpg"}};
    // Every encoder new.
    for (const Case& c : cases) writeImageFile(*picture, dir / (std::string("fresh.") + c.name), c.settings);
    ImageFileWriter writer;
    for (int round = 0; round < 2; ++round) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            const fs::path file = dir / (std::string("again.") + c.name);
            writer.write(*picture, file, c.settings);
            writer.write(*picture, file, c.settings);  // straight reuse
            EXPECT_EQ(test::readFile(file), test::readFile(dir / (std::string("fresh.") + c.name)));
            writer.write(*deep, dir / "other", c.settings);
            writer.write(*wider, dir / "other", c.settings);
            EXPECT_THROW(writer.write(*PixelBuffer::create(8, 8, kPixelFormatYUV420P), dir / "bad", c.settings), MediaError);
        }
    }
    EXPECT_EQ(writer.idleCount(), 1u);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) writer.write(*picture, dir / ("t" + std::to_string(t) + ".png"), cases[0].settings);
        });
    for (auto& thread : threads) thread.join();
    EXPECT_LE(writer.idleCount(), 4u);
    for (int t = 0; t < 4; ++t) EXPECT_EQ(test::readFile(dir / ("t" + std::to_string(t) + ".png")), test::readFile(dir / "fresh.png"));
}

TEST_F(ImageFileTest, FailuresLeaveNoFile) {
    try {
        writeImageFile(*pattern(kPixelFormatBGRA), dir / "missing" / "a.png", {});
        FAIL();
    } catch (const MediaError& e) {
        EXPECT_EQ(e.step(), "image write");
    }
    EXPECT_FALSE(fs::exists(dir / "missing"));
    try {
        writeImageFile(*PixelBuffer::create(8, 8, kPixelFormatYUV420P), dir / "b.png", {});
        FAIL();
    } catch (const MediaError& e) {
        EXPECT_EQ(e.step(), "image encode");
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
}  // namespace qm
