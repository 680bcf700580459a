// HEVC-with-alpha sources converted: a movie from the peer FFmpeg's libx265 with its alpha layer
// (tagged hvc1 and hev1) and one of our own, each to ProRes 4444 and to a PNG sequence, every frame's
// alpha and colour against the peer's decode of the source.
#include <gtest/gtest.h>

#include "engine/output_naming.h"
#include "engine/transcoder.h"
#include "platform/media/media_capabilities.h"
#include "support/test_support.h"
#include "transcoder_test_media.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

constexpr int kW = 320, kH = 240;
constexpr size_t kPlane = size_t(kW) * kH;

// A ProRes 4444 clip whose alpha is a soft wave moving over a test picture, 24 frames.
fs::path makeSoftAlphaSource(const test::TempDir& dir) {
    const fs::path source = dir / "soft alpha.mov";
    const std::string size = std::to_string(kW) + "x" + std::to_string(kH);
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=" + size + ":r=24:d=1", "-f", "lavfi", "-i",
                  "color=black:s=" + size + ":r=24:d=1,geq=lum='128+127*sin((X+T*200)/40)*cos(Y/30)':cb=128:cr=128",
                  "-filter_complex", "[1:v]format=gray[a];[0:v][a]alphamerge,format=yuva444p10le", "-c:v", "prores_ks",
                  "-profile:v", "4444", source.string()});
    return source;
}

fs::path peerAlphaMovie(const test::TempDir& dir, const fs::path& source, const std::string& tag) {
    const fs::path out = dir / ("peer " + tag + ".mov");
    test::peerFfmpeg({"-i", source.string(), "-c:v", "libx265", "-pix_fmt", "yuva420p", "-x265-params",
                      "alpha=1:log-level=error:keyint=12", "-tag:v", tag, out.string()});
    return out;
}

fs::path convert(const fs::path& source, OutputFormat format, const fs::path& folder) {
    ConversionSettings settings;
    settings.format = format;
    fs::create_directories(folder);
    const fs::path out = outputURL(format, source, folder);
    Transcoder(source, out, MediaInfo::load(source), settings).run({});
    return out;
}

std::vector<std::string> frames(const std::vector<std::string>& argv, size_t frameBytes) {
    const auto result = test::run(argv);
    EXPECT_EQ(result.exitCode, 0);
    std::vector<std::string> out;
    for (size_t at = 0; at + frameBytes <= result.output.size(); at += frameBytes) out.push_back(result.output.substr(at, frameBytes));
    return out;
}

// The peer's decode of an HEVC-with-alpha movie: its alpha planes, and its pictures as RGB with the
// matrix and scaling the pixel transfer uses (BT.709 where the stream names none).
struct PeerDecode {
    std::vector<std::string> alpha, rgb;
};
PeerDecode peerDecode(const fs::path& movie) {
    const std::string peer = test::peerFfmpegPath().string();
    return {frames({peer, "-v", "error", "-i", movie.string(), "-vf", "alphaextract", "-f", "rawvideo", "-pix_fmt", "gray", "-"}, kPlane),
            frames({peer, "-v", "error", "-i", movie.string(), "-vf",
                    "scale=in_color_matrix=bt709:in_range=tv:flags=bicubic+accurate_rnd+full_chroma_int", "-f", "rawvideo",
                    "-pix_fmt", "rgb24", "-"},
                   kPlane * 3)};
}

// Alpha and RGB of a PNG sequence, frame by frame, as Debian's ffmpeg reads the files.
PeerDecode pngSequence(const fs::path& folder) {
    PeerDecode out;
    for (const std::string& name : test::fileNames(folder)) {
        const auto rgba = test::run({"ffmpeg", "-v", "error", "-i", (folder / name).string(), "-f", "rawvideo", "-pix_fmt", "rgba", "-"});
        if (rgba.output.size() != kPlane * 4) {
            ADD_FAILURE() << name << " holds " << rgba.output.size() << " bytes";
            continue;
        }
        std::string alpha, rgb;
        for (size_t i = 0; i < kPlane; ++i) {
            rgb.append(rgba.output, 4 * i, 3);
            alpha.push_back(rgba.output[4 * i + 3]);
        }
        out.alpha.push_back(alpha);
        out.rgb.push_back(rgb);
    }
    return out;
}

// An HEVC-with-alpha movie converted to ProRes 4444 against the peer's decode of it: alpha ≥ 45 dB,
// luma ≥ 40 dB against Debian's decode of its colour layer.
void checkProRes(const fs::path& movie, const PeerDecode& reference, const fs::path& out) {
    const fs::path proRes = convert(movie, OutputFormat::proRes4444, out / "prores");
    EXPECT_EQ(test::countFrames(proRes), 24);
    auto decode = [](const fs::path& file, const std::string& filter) {
        return frames({"ffmpeg", "-v", "error", "-i", file.string(), "-vf", filter, "-f", "rawvideo", "-pix_fmt", "gray", "-"}, kPlane);
    };
    EXPECT_GE(test::lowestPsnr(decode(proRes, "alphaextract"), reference.alpha), 45.0);
    const auto sourceLuma = decode(movie, "extractplanes=y");
    ASSERT_EQ(sourceLuma.size(), 24u);
    EXPECT_GE(test::lowestPsnr(decode(proRes, "extractplanes=y"), sourceLuma), 40.0);
}

// The same movie converted to PNG: alpha ≥ 45 dB, colour ≥ 40 dB against the peer's decode.
void checkPng(const fs::path& movie, const PeerDecode& reference, const fs::path& out) {
    const PeerDecode pictures = pngSequence(convert(movie, OutputFormat::pngSequence, out / "png"));
    ASSERT_EQ(pictures.alpha.size(), 24u);
    EXPECT_GE(test::lowestPsnr(pictures.alpha, reference.alpha), 45.0);
    EXPECT_GE(test::lowestPsnr(pictures.rgb, reference.rgb), 40.0);
}

TEST(HevcAlphaSource, ThePeersMovieConvertsWithItsAlpha) {
    test::TempDir dir;
    const fs::path source = makeSoftAlphaSource(dir);
    for (const std::string tag : {"hvc1", "hev1"}) {
        SCOPED_TRACE(tag);
        const fs::path movie = peerAlphaMovie(dir, source, tag);
        EXPECT_TRUE(MediaInfo::load(movie).hasAlpha);
        const PeerDecode reference = peerDecode(movie);
        ASSERT_EQ(reference.alpha.size(), 24u);
        // The hev1 form differs only in where its parameter sets travel.
        if (tag == "hvc1") checkProRes(movie, reference, dir / tag);
        checkPng(movie, reference, dir / tag);
    }
}

TEST(HevcAlphaSource, OurOwnMovieConvertsWithItsAlpha) {
    if (!hevcAlphaEncoderAvailable()) GTEST_FAIL() << "x265 with alpha is missing: run scripts/setup.sh";
    test::TempDir dir;
    const fs::path movie = convert(makeSoftAlphaSource(dir), OutputFormat::hevcAlpha, dir / "ours");
    const PeerDecode reference = peerDecode(movie);
    ASSERT_EQ(reference.alpha.size(), 24u);
    checkProRes(movie, reference, dir / "from ours");
    checkPng(movie, reference, dir / "from ours");
}

}  // namespace
}  // namespace qm
