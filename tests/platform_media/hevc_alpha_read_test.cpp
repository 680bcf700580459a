// Reading HEVC with an alpha layer through the source reader: both layers come out as the peer
// FFmpeg decodes them, in the decoder's own layout and converted to the working formats, also from
// a start reached by seeking; plain HEVC still goes through the system's decoder, pixel for pixel.
#include "platform/media/asset_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "core/four_cc.h"
#include "support/pixel_rows.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

constexpr int kW = 320, kH = 240;

// A clip with a moving soft alpha, coded by the peer's libx265 with its alpha layer, tagged `tag`.
fs::path makeAlphaMovie(const test::TempDir& dir, const std::string& tag) {
    const std::string size = std::to_string(kW) + "x" + std::to_string(kH);
    const fs::path source = dir / (tag + " source.mov");
    if (!fs::exists(source))
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=" + size + ":r=24:d=1", "-f", "lavfi", "-i",
                      "color=black:s=" + size + ":r=24:d=1,geq=lum='128+127*sin((X+T*200)/40)*cos(Y/30)':cb=128:cr=128",
                      "-filter_complex", "[1:v]format=gray[a];[0:v][a]alphamerge,format=yuva444p10le", "-c:v",
                      "prores_ks", "-profile:v", "4444", source.string()});
    const fs::path out = dir / (tag + ".mov");
    test::peerFfmpeg({"-i", source.string(), "-c:v", "libx265", "-pix_fmt", "yuva420p", "-x265-params",
                      "alpha=1:log-level=error:keyint=12", "-tag:v", tag, out.string()});
    return out;
}

// One channel of packed 4-byte pixels.
std::string channel(const std::string& pixels, int index) {
    std::string out;
    for (size_t at = size_t(index); at < pixels.size(); at += 4) out.push_back(pixels[at]);
    return out;
}

std::vector<VideoSample> readAll(const fs::path& file, VideoReaderSettings settings) {
    auto reader = VideoSampleReader::open(file, settings);
    EXPECT_EQ(reader->track().codecType, fourCC('m', 'u', 'x', 'a'));
    std::vector<VideoSample> samples;
    while (auto s = reader->next()) samples.push_back(std::move(*s));
    EXPECT_EQ(reader->status(), VideoSampleReader::Status::completed);
    return samples;
}

TEST(HevcAlphaRead, BothLayersOfEveryFrameAsThePeerDecodesThem) {
    test::TempDir dir;
    for (const std::string tag : {"hvc1", "hev1"}) {
        SCOPED_TRACE(tag);
        const fs::path movie = makeAlphaMovie(dir, tag);
        const std::string peer = test::peerFfmpegPath().string();

        // In the decoder's own layout: the very samples the peer decodes.
        const auto own = readAll(movie, {});
        const auto reference = test::rawFrames({peer, "-v", "error", "-i", movie.string(), "-f", "rawvideo", "-pix_fmt", "yuva420p", "-"},
                                         size_t(kW * kH) * 5 / 2);
        ASSERT_EQ(own.size(), 24u);
        ASSERT_EQ(reference.size(), 24u);
        for (size_t i = 0; i < own.size(); ++i) {
            ASSERT_EQ(own[i].pixels->pixelFormat(), kPixelFormatYUVA420P);
            EXPECT_TRUE(test::packedPlanes(*own[i].pixels, 1) == reference[i]) << "frame " << i;
        }

        // Converted to 8-bit BGRA, straight alpha, against the peer's conversion of its decode.
        VideoReaderSettings bgra;
        bgra.pixelFormat = kPixelFormatBGRA;
        const auto converted = readAll(movie, bgra);
        // The stream does not name its matrix: BT.709 is taken then, as for every source; the
        // peer scales with the flags the pixel transfer uses.
        const auto referenceBGRA = test::rawFrames({peer, "-v", "error", "-i", movie.string(), "-vf",
                                              "scale=in_color_matrix=bt709:in_range=tv:flags=bicubic+accurate_rnd+full_chroma_int", "-f", "rawvideo", "-pix_fmt", "bgra", "-"},
                                             size_t(kW * kH) * 4);
        ASSERT_EQ(converted.size(), 24u);
        ASSERT_EQ(referenceBGRA.size(), 24u);
        double lowestAlpha = 99, lowestColour = 99;
        for (size_t i = 0; i < converted.size(); ++i) {
            const std::string pixels = test::packedPlanes(*converted[i].pixels, 4);
            lowestAlpha = std::min(lowestAlpha, test::psnr(channel(pixels, 3), channel(referenceBGRA[i], 3)));
            for (int c = 0; c < 3; ++c)
                lowestColour = std::min(lowestColour, test::psnr(channel(pixels, c), channel(referenceBGRA[i], c)));
        }
        EXPECT_GE(lowestAlpha, 45.0);
        EXPECT_GE(lowestColour, 40.0);
        // The alpha really moves: transparent and opaque parts in every frame.
        const std::string alpha = channel(test::packedPlanes(*converted[5].pixels, 4), 3);
        const auto [lowest, highest] = std::minmax_element(alpha.begin(), alpha.end(), [](char a, char b) { return uint8_t(a) < uint8_t(b); });
        EXPECT_LT(uint8_t(*lowest), 10);
        EXPECT_GT(uint8_t(*highest), 245);

        // Deep RGBA and a start past the first key frame, read from the key frame before it.
        VideoReaderSettings deep;
        deep.pixelFormat = kPixelFormatRGBA64LE;
        deep.start = converted[17].time;
        const auto seeked = readAll(movie, deep);
        ASSERT_EQ(seeked.size(), 7u);
        EXPECT_EQ(seeked[0].time, converted[17].time);
        const std::string pixels = test::packedPlanes(*seeked[0].pixels, 8);
        std::string alpha8;
        for (size_t at = 7; at < pixels.size(); at += 8) alpha8.push_back(pixels[at]);
        EXPECT_GE(test::psnr(alpha8, channel(referenceBGRA[17], 3)), 45.0);
    }
}

// Colour that only the container describes (tags added by Debian's ffmpeg, which keeps the alpha
// layer in a copy) holds, as in plain HEVC, and the limited range the stream states stays: the
// peer's conversion is told so, since FFmpeg's HEVC decoder drops the container's description.
TEST(HevcAlphaRead, ColourTheContainerDescribesHolds) {
    test::TempDir dir;
    const fs::path tagged = dir / "tagged.mp4";
    test::ffmpeg({"-i", makeAlphaMovie(dir, "hvc1").string(), "-c", "copy", "-colorspace", "smpte170m", "-color_primaries",
                  "smpte170m", "-color_trc", "smpte170m", "-color_range", "pc", tagged.string()});
    VideoReaderSettings bgra;
    bgra.pixelFormat = kPixelFormatBGRA;
    const auto converted = readAll(tagged, bgra);
    const auto reference = test::rawFrames({test::peerFfmpegPath().string(), "-v", "error", "-i", tagged.string(), "-vf",
                                      "scale=in_color_matrix=smpte170m:in_range=tv:flags=bicubic+accurate_rnd+full_chroma_int",
                                      "-f", "rawvideo", "-pix_fmt", "bgra", "-"},
                                     size_t(kW * kH) * 4);
    ASSERT_EQ(converted.size(), 24u);
    ASSERT_EQ(reference.size(), 24u);
    for (size_t i = 0; i < converted.size(); ++i)
        for (int c = 0; c < 3; ++c)
            EXPECT_GE(test::psnr(channel(test::packedPlanes(*converted[i].pixels, 4), c), channel(reference[i], c)), 40.0) << "frame " << i;
}

// Open groups with a key frame every four pictures: each key frame's leading pictures are predicted
// from the group before, and from that group's own leading pictures; with five references and no
// B-frame pyramid, the alpha layer's leading pictures name pictures several key frames back. A start
// at any of them (half a frame early, as the editor asks for a frame) gives that picture, both layers
// as the peer decodes them, and every one after it, at any thread count.
TEST(HevcAlphaRead, LeadingPicturesAfterASeekAreDrawn) {
    test::TempDir dir;
    constexpr int w = 504, h = 96, frames = 60;
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    const fs::path source = dir / "source.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=" + size + ":r=24:d=2.5", "-f", "lavfi", "-i",
                  "color=black:s=" + size + ":r=24:d=2.5,geq=lum='128+127*sin((X+T*200)/40)*cos(Y/30)':cb=128:cr=128",
                  "-filter_complex", "[1:v]format=gray[a];[0:v][a]alphamerge,format=yuva444p10le", "-c:v", "prores_ks",
                  "-profile:v", "4444", source.string()});
    const std::vector<std::pair<std::string, std::vector<int>>> kinds{
        {"keyint=4:min-keyint=4:open-gop=1", {5, 9, 13, 14, 21, 25}},
        {"keyint=4:min-keyint=2:open-gop=1:bframes=3:b-pyramid=0:ref=5", {9, 13, 45, 46, 49}}};
    for (const auto& [params, starts] : kinds) {
        const fs::path movie = dir / (params + ".mov");
        test::peerFfmpeg({"-i", source.string(), "-c:v", "libx265", "-pix_fmt", "yuva420p", "-x265-params",
                          "alpha=1:log-level=error:" + params, "-tag:v", "hvc1", movie.string()});
        const auto reference = test::rawFrames({test::peerFfmpegPath().string(), "-v", "error", "-i", movie.string(), "-f",
                                                "rawvideo", "-pix_fmt", "yuva420p", "-"},
                                               size_t(w * h) * 5 / 2);
        ASSERT_EQ(reference.size(), size_t(frames));
        for (const int frame : starts)
            for (const int threads : {1, 3, 0}) {
                SCOPED_TRACE(params + " from " + std::to_string(frame) + " threads " + std::to_string(threads));
                VideoReaderSettings settings;
                settings.start = MediaTime::make(2 * frame - 1, 48);
                settings.threads = threads;
                const auto seeked = readAll(movie, settings);
                // From the picture shown half a frame before it.
                ASSERT_EQ(seeked.size(), size_t(frames + 1 - frame));
                for (size_t i = 0; i < seeked.size(); ++i)
                    EXPECT_TRUE(test::packedPlanes(*seeked[i].pixels, 1) == reference[size_t(frame) - 1 + i])
                        << "frame " << frame - 1 + int(i);
            }
    }
}

// Plain HEVC never reaches the alpha decoder: the system's decoder's pixels, exactly.
TEST(HevcAlphaRead, PlainHevcDecodesAsBefore) {
    test::TempDir dir;
    const fs::path plain = dir / "plain.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=24:d=0.5", "-c:v", "libx265", "-pix_fmt", "yuv420p",
                  "-x265-params", "log-level=error", "-tag:v", "hvc1", plain.string()});
    auto reader = VideoSampleReader::open(plain, {});
    EXPECT_EQ(reader->track().codecType, fourCC('h', 'v', 'c', '1'));
    const auto reference =
        test::rawFrames({"ffmpeg", "-v", "error", "-i", plain.string(), "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"}, size_t(kW * kH) * 3 / 2);
    size_t i = 0;
    while (auto s = reader->next()) {
        ASSERT_LT(i, reference.size());
        EXPECT_EQ(s->pixels->pixelFormat(), kPixelFormatYUV420P);
        EXPECT_TRUE(test::packedPlanes(*s->pixels, 1) == reference[i]) << "frame " << i;
        ++i;
    }
    EXPECT_EQ(i, 12u);
}

}  // namespace
}  // namespace qm
