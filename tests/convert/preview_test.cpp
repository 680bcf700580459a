// The Convert preview: stills at a time, the compression round trip and the preview model's
// coalescing, loading and playback, on movies generated with ffmpeg.

#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>

#include <QSignalSpy>

#include "convert/conversion_job.h"
#include "convert/frame_previewer.h"
#include "convert/preview_model.h"
#include "convert_test_support.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using qm::ConversionSettings;
using qm::FramePreviewer;
using qm::OutputFormat;
using qm::PreviewModel;
using qm::test::qpath;
using qm::test::TempDir;

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;

// A lossless movie (PNG frames) of a moving test pattern, 10 frames a second.
void makePattern(const fs::path& file, double seconds, const std::string& source = "testsrc2") {
    qm::test::ffmpeg({"-f", "lavfi", "-i",
                      source + "=size=" + std::to_string(kWidth) + "x" + std::to_string(kHeight) +
                          ":rate=10:duration=" + std::to_string(seconds),
                      "-pix_fmt", "rgb24", "-c:v", "png", file.string()});
}

// Frame n of a movie as ffmpeg decodes it, in BGRA.
std::string ffmpegFrame(const fs::path& movie, int n, const fs::path& scratch) {
    qm::test::ffmpeg({"-i", movie.string(), "-vf", "select=eq(n\\," + std::to_string(n) + ")", "-vsync", "0",
                      "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "bgra", scratch.string()});
    return qm::test::readFile(scratch);
}

// Every frame of a movie as ffmpeg decodes it, in BGRA, in one run.
std::vector<std::string> ffmpegFrames(const fs::path& movie, int width, int height, const fs::path& scratch) {
    qm::test::ffmpeg({"-i", movie.string(), "-vsync", "0", "-f", "rawvideo", "-pix_fmt", "bgra", scratch.string()});
    const std::string all = qm::test::readFile(scratch);
    const size_t frameBytes = size_t(width) * size_t(height) * 4;
    std::vector<std::string> frames;
    for (size_t at = 0; at + frameBytes <= all.size(); at += frameBytes) frames.push_back(all.substr(at, frameBytes));
    return frames;
}

std::string bytesOf(const QImage& image) {
    std::string bytes;
    if (image.isNull()) return bytes;
    const QImage bgra = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < bgra.height(); ++y) {
        bytes.append(reinterpret_cast<const char*>(bgra.constScanLine(y)), size_t(bgra.width()) * 4);
    }
    return bytes;
}

// PSNR of the colour channels of two BGRA pictures of the same size.
double psnr(const std::string& a, const std::string& b) {
    EXPECT_EQ(a.size(), b.size());
    double sum = 0;
    size_t count = 0;
    for (size_t i = 0; i + 3 < std::min(a.size(), b.size()); i += 4) {
        for (size_t c = 0; c < 3; ++c) {
            const double d = double(uint8_t(a[i + c])) - double(uint8_t(b[i + c]));
            sum += d * d;
            ++count;
        }
    }
    if (count == 0) return 0;
    const double mse = sum / double(count);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// PSNR of one channel (0 blue … 3 alpha) of two BGRA pictures of the same size.
double channelPsnr(const std::string& a, const std::string& b, size_t channel) {
    EXPECT_EQ(a.size(), b.size());
    double sum = 0;
    size_t count = 0;
    for (size_t i = channel; i < std::min(a.size(), b.size()); i += 4, ++count) {
        const double d = double(uint8_t(a[i])) - double(uint8_t(b[i]));
        sum += d * d;
    }
    if (count == 0) return 0;
    return sum == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * double(count) / sum);
}

// Largest difference of one colour channel between two BGRA pictures.
int maxDifference(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return 256;
    int largest = 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (i % 4 != 3) largest = std::max(largest, std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i]))));
    return largest;
}

// Colour multiplied by alpha, as GPU textures with alpha carry it.
std::string premultiplied(std::string bgra) {
    for (size_t i = 0; i + 3 < bgra.size(); i += 4) {
        const int alpha = uint8_t(bgra[i + 3]);
        for (size_t c = 0; c < 3; ++c) bgra[i + c] = char((uint8_t(bgra[i + c]) * alpha + 127) / 255);
    }
    return bgra;
}

std::shared_ptr<qm::ConversionJob> probedJob(const fs::path& file) {
    auto job = std::make_shared<qm::ConversionJob>(qpath(file));
    job->setInfo(qm::MediaInfo::load(file));
    job->setState(qm::ConversionJob::State::ready());
    return job;
}

class Preview : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        qm::test::qtApp();
        dir = new TempDir;
        makePattern(*dir / "pattern.mov", 2.0);
        frames = ffmpegFrames(*dir / "pattern.mov", kWidth, kHeight, *dir / "frames.raw");
        ASSERT_EQ(frames.size(), 20u);
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    static inline TempDir* dir = nullptr;
    static inline std::vector<std::string> frames;
};

TEST(PreviewSize, FitsInsideTheBoxWithoutUpscaling) {
    using P = std::pair<int, int>;
    EXPECT_EQ(FramePreviewer::previewSize(3840, 2160), P(960, 540));
    EXPECT_EQ(FramePreviewer::previewSize(1920, 1080), P(960, 540));
    EXPECT_EQ(FramePreviewer::previewSize(720, 576), P(675, 540));
    EXPECT_EQ(FramePreviewer::previewSize(640, 360), P(640, 360));
    EXPECT_EQ(FramePreviewer::previewSize(4000, 2), P(960, 2));
}

TEST_F(Preview, TheStillAtATimeIsTheSourceFrameShownThen) {
    ASSERT_TRUE(frames[11] != frames[12]);
    ASSERT_TRUE(frames[12] != frames[13]);
    const auto job = probedJob(*dir / "pattern.mov");
    const FramePreviewer previewer(job->path(), *job->info());
    EXPECT_EQ(previewer.previewWidth(), kWidth);
    EXPECT_EQ(previewer.previewHeight(), kHeight);
    // Frame 12 is on screen from 1.2 s to 1.3 s.
    EXPECT_TRUE(bytesOf(previewer.image(1.25, std::nullopt)) == frames[12]);
    EXPECT_TRUE(bytesOf(previewer.image(1.2, std::nullopt)) == frames[12]);
    EXPECT_TRUE(bytesOf(previewer.image(0, std::nullopt)) == frames[0]);
    // Past the end: the last frame.
    EXPECT_TRUE(bytesOf(previewer.image(50, std::nullopt)) == frames[19]);
    // A non-GPU output shows the source unchanged.
    ConversionSettings h264;
    h264.format = OutputFormat::h264;
    EXPECT_TRUE(bytesOf(previewer.image(1.25, h264)) == frames[12]);
}

TEST_F(Preview, AHapSourceIsShownThroughOurDecoderAtEveryFrame) {
    const fs::path hap = *dir / "pattern_hap.mov";
    qm::test::ffmpeg({"-i", (*dir / "pattern.mov").string(), "-c:v", "hap", "-format", "hap", hap.string()});
    const auto reference = ffmpegFrames(hap, kWidth, kHeight, *dir / "hap.raw");
    ASSERT_EQ(reference.size(), frames.size());
    const auto job = probedJob(hap);
    ASSERT_EQ(job->info()->decoder.kind, qm::SourceDecoder::Kind::hap);
    const FramePreviewer previewer(job->path(), *job->info());
    for (size_t n = 0; n < reference.size(); ++n) {
        const std::string still = bytesOf(previewer.image((double(n) + 0.5) / 10, std::nullopt));
        // Decoders may round the interpolated DXT1 colours differently by a level or two.
        EXPECT_LE(maxDifference(still, reference[n]), 2) << "frame " << n;
        EXPECT_GT(maxDifference(still, frames[n]), 0) << "frame " << n << " is not the compressed one";
    }
}

TEST_F(Preview, ModelCoalescesSeeksAndRendersTheNewest) {
    const auto job = probedJob(*dir / "pattern.mov");
    PreviewModel model;
    QSignalSpy images(&model, &PreviewModel::imageChanged);
    model.load(job.get());
    EXPECT_EQ(model.jobID(), job->id());
    EXPECT_DOUBLE_EQ(model.duration(), 2.0);
    EXPECT_TRUE(model.isLoading());
    // The render of time 0 is in flight: these collapse into one more render, at 1.25 s.
    for (double t : {0.3, 0.5, 0.9, 1.7, 1.25}) model.seek(t);
    ASSERT_TRUE(qm::test::waitUntil([&] { return !model.isLoading(); }));
    EXPECT_EQ(images.count(), 2);
    EXPECT_TRUE(bytesOf(model.image()) == frames[12]);
    EXPECT_FALSE(model.message());

    // The same job again changes nothing; no job clears everything.
    model.load(job.get());
    EXPECT_FALSE(model.isLoading());
    model.load(nullptr);
    EXPECT_TRUE(model.image().isNull());
    EXPECT_EQ(model.duration(), 0);
    EXPECT_TRUE(model.jobID().isNull());
}

TEST_F(Preview, ARenderOfTheFileShownBeforeIsNeverDrawn) {
    makePattern(*dir / "other.mov", 0.3, "smptebars");
    const auto first = probedJob(*dir / "pattern.mov");
    const auto second = probedJob(*dir / "other.mov");
    const std::string secondFrame = ffmpegFrame(*dir / "other.mov", 0, *dir / "other.raw");
    const std::string firstFrame = frames[0];
    ASSERT_TRUE(firstFrame != secondFrame);

    PreviewModel model;
    bool drewFirst = false;
    QObject::connect(&model, &PreviewModel::imageChanged, [&] { drewFirst |= bytesOf(model.image()) == firstFrame; });
    model.load(first.get());  // its render of time 0 is now in flight
    model.load(second.get());
    ASSERT_TRUE(qm::test::waitUntil([&] { return !model.isLoading() && !model.image().isNull(); }));
    EXPECT_FALSE(drewFirst);
    EXPECT_TRUE(bytesOf(model.image()) == secondFrame);
}

TEST_F(Preview, AJobStillProbingLoadsOnceItsProbeEnds) {
    qm::ConversionJob probing(qpath(*dir / "pattern.mov"));
    PreviewModel model;
    model.load(&probing);
    EXPECT_EQ(model.message(), std::optional<QString>("Reading file…"));
    probing.setInfo(qm::MediaInfo::load(*dir / "pattern.mov"));
    model.load(&probing);  // the probe finished: the same job now loads
    EXPECT_FALSE(model.message());
    EXPECT_GT(model.duration(), 0);
    ASSERT_TRUE(qm::test::waitUntil([&] { return !model.isLoading(); }));
    EXPECT_FALSE(model.image().isNull());
}

TEST_F(Preview, PlaybackLoopsAndPausesQuietly) {
    makePattern(*dir / "short.mov", 0.5);
    const auto job = probedJob(*dir / "short.mov");
    PreviewModel model;
    model.load(job.get());
    ASSERT_TRUE(qm::test::waitUntil([&] { return !model.isLoading(); }));
    double latest = 0;
    bool wrapped = false;
    QObject::connect(&model, &PreviewModel::timeChanged, [&] {
        wrapped |= model.time() < latest;
        latest = model.time();
    });
    model.play();
    EXPECT_TRUE(model.isPlaying());
    ASSERT_TRUE(qm::test::waitUntil([&] { return wrapped; }));
    EXPECT_TRUE(model.isPlaying());
    model.pause();
    EXPECT_FALSE(model.isPlaying());
    qm::test::drainEvents();
    EXPECT_FALSE(model.message());  // a pause is not an error
    EXPECT_FALSE(model.isPlaying());
}

TEST_F(Preview, UnreadableSamplesBecomeTheMessageAndEndPlayback) {
    const fs::path cut = *dir / "cut.mov";
    qm::test::ffmpeg({"-i", (*dir / "pattern.mov").string(), "-c", "copy", "-movflags", "+faststart", cut.string()});
    // Keep the index, lose every sample.
    const auto job = probedJob(cut);
    fs::resize_file(cut, 2048);
    PreviewModel model;
    model.load(job.get());
    ASSERT_TRUE(qm::test::waitUntil([&] { return !model.isLoading(); }));
    EXPECT_TRUE(model.image().isNull());
    ASSERT_TRUE(model.message());
    EXPECT_FALSE(model.message()->isEmpty());
    EXPECT_EQ(model.duration(), 2.0);  // the previewer exists: the index was read

    model.play();
    ASSERT_TRUE(qm::test::waitUntil([&] { return !model.isPlaying(); }));
    ASSERT_TRUE(model.message());
    EXPECT_FALSE(model.message()->isEmpty());
}

// The picture after compression and decompression is as close to the source as ffmpeg's own
// encoder of the same texture format gets, give or take half a decibel.
class CompressedOutput : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        qm::test::qtApp();
        dir = new TempDir;
        const fs::path photo = "/usr/share/wallpapers/Autumn/contents/images/1280x800.jpg";
        if (!fs::exists(photo)) return;
        qm::test::ffmpeg({"-loop", "1", "-i", photo.string(), "-vf", "scale=320:200,format=rgb24", "-r", "10", "-t",
                          "0.1", "-c:v", "png", (*dir / "photo.mov").string()});
        source = ffmpegFrame(*dir / "photo.mov", 0, *dir / "photo.raw");
        // The same photo with an alpha as detailed as its picture: its own green channel.
        qm::test::ffmpeg({"-i", (*dir / "photo.mov").string(), "-vf",
                          "format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='g(X,Y)'", "-c:v", "png",
                          (*dir / "alpha.mov").string()});
        alphaSource = ffmpegFrame(*dir / "alpha.mov", 0, *dir / "alpha.raw");
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
    static std::string roundTrip(OutputFormat format, const std::string& movie) {
        const auto job = probedJob(*dir / movie);
        PreviewModel model;
        ConversionSettings settings;
        settings.format = format;
        model.setOutputSettings(settings);
        model.setShowOutput(true);
        model.load(job.get());
        EXPECT_TRUE(qm::test::waitUntil([&] { return !model.isLoading(); }));
        EXPECT_FALSE(model.message());
        return bytesOf(model.image());
    }
    static double ours(OutputFormat format) { return psnr(source, roundTrip(format, "photo.mov")); }
    // Our round trip through a format against ffmpeg's Hap encoder in a texture format, decoded
    // again by ffmpeg.
    static void expectAsCloseAsFfmpeg(OutputFormat format, const std::string& hapFormat) {
        const fs::path encoded = *dir / ("ref_" + hapFormat + ".mov");
        qm::test::ffmpeg({"-i", (*dir / "photo.mov").string(), "-c:v", "hap", "-format", hapFormat, encoded.string()});
        const double reference = psnr(source, ffmpegFrame(encoded, 0, *dir / "ref.raw"));
        const double psnrOurs = ours(format);
        EXPECT_LT(psnrOurs, 90) << "the round trip left the picture untouched";
        EXPECT_GE(psnrOurs, reference - 0.5) << "reference " << reference;
        RecordProperty("psnr", std::to_string(psnrOurs) + " dB, ffmpeg " + std::to_string(reference) + " dB");
    }

    static inline TempDir* dir = nullptr;
    static inline std::string source, alphaSource;
};

TEST_F(CompressedOutput, HapQIsAsCloseAsFfmpegsHapQ) {
    if (source.empty()) GTEST_SKIP() << "the wallpaper photographs are not installed";
    expectAsCloseAsFfmpeg(OutputFormat::hapQ, "hap_q");
}

TEST_F(CompressedOutput, DXV3AsCloseAsFfmpegsDXT1AndDXV3AlphaKeepsTheAlpha) {
    if (source.empty()) GTEST_SKIP() << "the wallpaper photographs are not installed";
    // Opaque DXV3 frames are DXT1 textures, like plain Hap.
    expectAsCloseAsFfmpeg(OutputFormat::dxv3, "hap");

    // With alpha they are DXT5 of premultiplied colour: against ffmpeg's Hap Alpha (DXT5) of the
    // premultiplied photo, alpha and premultiplied colour.
    const fs::path raw = *dir / "premultiplied.raw", encoded = *dir / "ref_alpha.mov";
    qm::test::writeFile(raw, premultiplied(alphaSource));
    qm::test::ffmpeg({"-f", "rawvideo", "-pix_fmt", "bgra", "-s", "320x200", "-i", raw.string(), "-c:v", "hap",
                      "-format", "hap_alpha", encoded.string()});
    const std::string reference = ffmpegFrame(encoded, 0, *dir / "ref_alpha.raw");
    const std::string withAlpha = roundTrip(OutputFormat::dxv3Alpha, "alpha.mov");
    EXPECT_LT(channelPsnr(alphaSource, withAlpha, 3), 90) << "the round trip left the alpha untouched";
    EXPECT_GE(channelPsnr(alphaSource, withAlpha, 3), channelPsnr(alphaSource, reference, 3) - 0.5);
    EXPECT_GE(psnr(premultiplied(alphaSource), premultiplied(withAlpha)),
              psnr(premultiplied(alphaSource), reference) - 0.5);
    RecordProperty("alpha psnr", std::to_string(channelPsnr(alphaSource, withAlpha, 3)) + " dB, ffmpeg " +
                                     std::to_string(channelPsnr(alphaSource, reference, 3)) + " dB");
    RecordProperty("premultiplied psnr", std::to_string(psnr(premultiplied(alphaSource), premultiplied(withAlpha))) +
                                             " dB, ffmpeg " + std::to_string(psnr(premultiplied(alphaSource), reference)) + " dB");
    // Without alpha the same source comes back opaque.
    const std::string opaque = roundTrip(OutputFormat::dxv3, "alpha.mov");
    EXPECT_EQ(channelPsnr(opaque, std::string(opaque.size(), char(255)), 3), 99.0);
}

}  // namespace
