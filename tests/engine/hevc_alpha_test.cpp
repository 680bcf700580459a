// HEVC with alpha end to end: a ProRes 4444 source with a moving soft alpha converts, the peer
// FFmpeg reads both layers back on every frame, Debian's ffmpeg reads the colour layer without a
// word, the sample description says what the movie holds, and the qualities order the sizes. Plain
// HEVC (Debian's libx265 through libavcodec) works beside it in one process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <thread>

#include "core/conversion_error.h"
#include "engine/output_naming.h"
#include "engine/transcode_rules.h"
#include "engine/transcoder.h"
#include "platform/media/hevc_alpha_encoder.h"
#include "platform/media/media_capabilities.h"
#include "platform/media/movie_writer.h"
#include "support/movie_boxes.h"
#include "support/test_support.h"
#include "transcoder_test_media.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

// A ProRes 4444 clip whose alpha is a soft wave that moves each frame over a test picture.
fs::path makeSoftAlphaSource(const test::TempDir& dir, int width, int height, double seconds) {
    const fs::path source = dir / "Soft Alpha.mov";
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const std::string d = std::to_string(seconds);
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=" + size + ":r=24:d=" + d, "-f", "lavfi", "-i",
                  "color=black:s=" + size + ":r=24:d=" + d + ",geq=lum='128+127*sin((X+T*200)/150)*cos(Y/120)':cb=128:cr=128",
                  "-filter_complex", "[1:v]format=gray[a];[0:v][a]alphamerge,format=yuva444p10le", "-c:v", "prores_ks",
                  "-profile:v", "4444", source.string()});
    return source;
}

fs::path convert(const fs::path& source, const fs::path& folder, DeliveryQuality quality) {
    ConversionSettings settings;
    settings.format = OutputFormat::hevcAlpha;
    settings.deliveryQuality = quality;
    fs::create_directories(folder);
    const fs::path out = outputURL(settings.format, source, folder);
    Transcoder(source, out, MediaInfo::load(source), settings).run({});
    return out;
}

// The NAL unit types of an hvcC record's arrays, each with its units' layer ids; the SEI payload
// types of its prefix SEI units.
struct HvcCContents {
    std::map<int, std::vector<int>> layersByType;
    std::vector<int> seiPayloads;
};

HvcCContents readHvcC(const std::string& c) {
    HvcCContents out;
    if (c.size() < 23 || c[0] != 1) return out;
    EXPECT_EQ(uint8_t(c[21]) & 3, 3) << "4-byte lengths";
    size_t at = 23;
    for (int array = 0, arrays = uint8_t(c[22]); array < arrays && at + 3 <= c.size(); ++array) {
        const int type = uint8_t(c[at]) & 0x3f;
        EXPECT_TRUE(uint8_t(c[at]) & 0x80) << "array of type " << type << " complete";
        const int count = uint8_t(c[at + 1]) << 8 | uint8_t(c[at + 2]);
        at += 3;
        for (int i = 0; i < count && at + 2 <= c.size(); ++i) {
            const size_t length = uint8_t(c[at]) << 8 | uint8_t(c[at + 1]);
            const std::string nal = c.substr(at + 2, length);
            at += 2 + length;
            if (nal.size() < 3) continue;
            out.layersByType[type].push_back((uint8_t(nal[0]) & 1) << 5 | uint8_t(nal[1]) >> 3);
            if (type == 39) out.seiPayloads.push_back(uint8_t(nal[2]));
        }
    }
    return out;
}

TEST(HevcAlphaMovie, KeepsAMovingSoftAlphaOnEveryFrame) {
    if (!isAvailable(OutputFormat::hevcAlpha)) GTEST_FAIL() << "x265 with alpha is missing: run scripts/setup.sh";
    test::TempDir dir;
    constexpr int kW = 1920, kH = 1080;
    const fs::path source = makeSoftAlphaSource(dir, kW, kH, 1.0);
    const fs::path out = convert(source, dir / "out", DeliveryQuality::high);

    // Both layers against the source, every frame.
    const size_t plane = size_t(kW) * kH;
    const auto alpha = test::peerFrames({"-i", out.string()}, "alphaextract", "gray", plane);
    const auto sourceAlpha = test::peerFrames({"-i", source.string()}, "format=yuva444p,alphaextract", "gray", plane);
    ASSERT_EQ(alpha.size(), 24u);
    EXPECT_GE(test::lowestPsnr(alpha, sourceAlpha), 45.0);
    const auto colour = test::peerFrames({"-i", out.string()}, "format=yuv420p", "yuv420p", plane * 3 / 2);
    const auto sourceColour = test::peerFrames({"-i", source.string()}, "format=yuv420p", "yuv420p", plane * 3 / 2);
    EXPECT_GE(test::lowestPsnr(colour, sourceColour), 40.0);

    // Debian's own ffmpeg reads the colour layer of every frame and has nothing to say about it.
    const auto system = test::run({"ffmpeg", "-v", "warning", "-i", out.string(), "-f", "framecrc", "-"});
    EXPECT_EQ(system.exitCode, 0);
    std::istringstream lines(system.output);
    int decoded = 0;
    for (std::string line; std::getline(lines, line);) decoded += !line.empty() && line[0] != '#';
    EXPECT_EQ(decoded, 24);

    // The sample description: 'hvc1' at depth 32, its hvcC with both layers' parameter sets and
    // the alpha channel information (SEI payload 165).
    const auto entry = test::videoSampleEntry(out);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->type, "hvc1");
    EXPECT_EQ(entry->depth, 32);
    HvcCContents hvcC = readHvcC(entry->hvcC);
    EXPECT_EQ(hvcC.layersByType[32], std::vector<int>({0}));
    EXPECT_EQ(hvcC.layersByType[33], std::vector<int>({0, 1}));
    EXPECT_EQ(hvcC.layersByType[34], std::vector<int>({0, 1}));
    EXPECT_EQ(hvcC.seiPayloads, std::vector<int>({165}));
    const auto probe = test::ffprobe(out);
    EXPECT_EQ(probe["format"]["tags"].value("major_brand", ""), "qt  ");
    EXPECT_EQ(test::streamOf(probe, "video").value("color_space", ""), "bt709");
}

TEST(HevcAlphaMovie, EachQualityStepGrowsTheFile) {
    test::TempDir dir;
    const fs::path source = makeSoftAlphaSource(dir, 320, 180, 1.0);
    std::vector<uintmax_t> sizes;
    for (DeliveryQuality q : allDeliveryQualities)
        sizes.push_back(fs::file_size(convert(source, dir / std::string(rawValue(q)), q)));
    // Low and medium share one quality.
    EXPECT_NEAR(double(sizes[1]) / double(sizes[0]), 1.0, 0.25);
    EXPECT_LT(sizes[1], sizes[2]);
    EXPECT_LT(sizes[2], sizes[3]);
}

// Debian's libx265 (through libavcodec) and ours, both encoding at once: each keeps its own symbols.
TEST(HevcAlphaMovie, PlainHevcEncodesBesideItInOneProcess) {
    test::TempDir dir;
    auto writeMovie = [&](uint32_t codecType, uint32_t pixelFormat, const fs::path& file) {
        auto writer = MovieWriter::create(file, MovieFileType::quickTime);
        MovieVideoSettings video;
        video.codecType = codecType;
        video.width = 128;
        video.height = 72;
        video.timeScale = 25;
        video.expectedFrameRate = 25;
        writer->addVideoInput(video);
        writer->startWriting();
        writer->startSession(MediaTime::zero());
        auto pool = makePixelBufferPool(128, 72, pixelFormat);
        for (int i = 0; i < 25; ++i) {
            PixelBufferRef picture = makePixelBuffer(pool);
            for (int p = 0; p < picture->planeCount(); ++p)
                std::memset(picture->data(p), 16 + 4 * i + 40 * p, picture->bytesPerRow(p) * size_t(picture->planeHeight(p)));
            writer->appendPixelBuffer(picture, MediaTime::make(i, 25));
        }
        writer->finishWriting();
    };
    const fs::path plain = dir / "plain.mov", alpha = dir / "alpha.mov";
    std::jthread other([&] { writeMovie(fourCC('h', 'v', 'c', '1'), MovieWriter::encoderPixelFormat(fourCC('h', 'v', 'c', '1')), plain); });
    writeMovie(fourCC('m', 'u', 'x', 'a'), MovieWriter::encoderPixelFormat(fourCC('m', 'u', 'x', 'a')), alpha);
    other.join();
    EXPECT_EQ(test::countFrames(plain), 25);
    EXPECT_TRUE(test::decodesCleanly(plain));
    EXPECT_EQ(test::videoSampleEntry(plain)->depth, 24);
    const auto planes = test::peerFrames({"-i", alpha.string()}, "alphaextract", "gray", 128 * 72);
    ASSERT_EQ(planes.size(), 25u);
    // Frame i's alpha plane was filled with 16 + 4 i + 120.
    for (size_t i = 0; i < planes.size(); ++i)
        EXPECT_NEAR(uint8_t(planes[i][128 * 36 + 64]), 136 + 4 * int(i), 2) << "frame " << i;
}

// Both layers' rate control must see the pictures one after another. Several encoders at once on
// small pictures cut hard every few frames (the lookahead deciding key, P and B pictures all the
// time) once crashed on a B picture reading another's references, and their streams differed.
TEST(HevcAlphaEncoderRuns, TheSamePicturesGiveTheSameStreamEveryTime) {
    if (!hevcAlphaEncoderAvailable()) GTEST_FAIL() << "x265 with alpha is missing: run scripts/setup.sh";
    constexpr int kW = 160, kH = 96, kFrames = 240, kEncoders = 4;
    auto pool = makePixelBufferPool(kW, kH, kPixelFormatYUVA420P);
    std::vector<PixelBufferRef> pictures;
    for (int i = 0; i < kFrames; ++i) {
        PixelBufferRef picture = makePixelBuffer(pool);
        const uint32_t scene = uint32_t(i / 7) * 2654435761u;
        for (int p = 0; p < 4; ++p)
            for (int y = 0; y < picture->planeHeight(p); ++y) {
                uint8_t* row = picture->data(p) + y * picture->bytesPerRow(p);
                for (int x = 0; x < int(picture->bytesPerRow(p)); ++x) {
                    // A textured picture per scene that drifts a pixel per frame.
                    uint32_t h = (uint32_t(x + i) / 4 * 73856093u) ^ (uint32_t(y) / 4 * 19349663u) ^ scene ^ uint32_t(p);
                    h ^= h >> 13;
                    row[x] = uint8_t(p == 3 ? 255 - (h & 63) : 16 + (h * 2246822519u >> 24) % 220);
                }
            }
        pictures.push_back(picture);
    }
    std::vector<std::vector<uint8_t>> streams(kEncoders);
    {
        std::vector<std::jthread> runs;
        for (int e = 0; e < kEncoders; ++e)
            runs.emplace_back([&, e] {
                HevcAlphaSettings settings;
                settings.width = kW;
                settings.height = kH;
                settings.rateNumerator = 60;
                settings.rateDenominator = 1;
                settings.maxKeyFrameInterval = 60;
                HevcAlphaEncoder encoder(settings);
                auto keep = [&](const std::vector<HevcAlphaPacket>& packets) {
                    for (const HevcAlphaPacket& packet : packets)
                        streams[e].insert(streams[e].end(), packet.data.begin(), packet.data.end());
                };
                for (int i = 0; i < kFrames; ++i) keep(encoder.encode(*pictures[i], i));
                keep(encoder.flush());
            });
    }
    ASSERT_FALSE(streams[0].empty());
    for (int e = 1; e < kEncoders; ++e) EXPECT_TRUE(streams[e] == streams[0]) << "encoder " << e << " differs";
}

TEST(HevcAlphaMovie, WithoutAnAlphaEncoderTheFormatIsUnavailable) {
    test::TempDir dir;
    const fs::path source = test::makeH264Source(dir.path(), "Odd.mov", 161, 121, 48000, 0);
    EXPECT_EQ(outputGeometry(OutputFormat::hevcAlpha, 161, 121).width, 160);
    setFormatProbe(OutputFormat::hevcAlpha, [] { return false; });
    EXPECT_FALSE(isAvailable(OutputFormat::hevcAlpha));
    ConversionSettings settings;
    settings.format = OutputFormat::hevcAlpha;
    const fs::path out = outputURL(settings.format, source, dir.path());
    try {
        Transcoder(source, out, MediaInfo::load(source), settings).run({});
        ADD_FAILURE() << "converted without an alpha encoder";
    } catch (const ConversionError& e) {
        EXPECT_STREQ(e.what(), "HEVC with Alpha (MOV) isn't available in this version.");
    }
    setFormatProbe(OutputFormat::hevcAlpha, &hevcAlphaEncoderAvailable);
    EXPECT_TRUE(isAvailable(OutputFormat::hevcAlpha));
}

}  // namespace
}  // namespace qm
