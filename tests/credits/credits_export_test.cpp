// Exports in every writable format read back by ffprobe and the ffmpeg CLI, cancellation, and a
// PNG-sequence roll against ffmpeg's own crop-scroll of the same strip.
#include <gtest/gtest.h>

#include <QImage>

#include <algorithm>
#include <map>

#include "core/conversion_error.h"
#include "credits/credits_exporter.h"
#include "credits/logo_keying.h"
#include "engine/output_naming.h"
#include "support/test_support.h"
#include "../engine/transcoder_test_media.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using S = CreditsSettings;

QImage white(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    return image;
}

// Half a second at 25 fps over transparency: a 16 × 9 and a 16 × 16 picture, no gap, held 0 s;
// the band moves 12.5 pixels at one pixel a frame.
std::shared_ptr<const CreditsRenderer> halfSecond() {
    S s;
    s.width = 320;
    s.height = 180;
    s.background = S::Background::transparent;
    s.head.scalePercent = s.tail.scalePercent = 5;
    s.head.hold = s.tail.hold = 0;
    s.gapPercent = 0;
    s.rollSeconds = 1;
    s.fadeIn = s.fadeOut = 0;
    return std::make_shared<const CreditsRenderer>(s, white(16, 9), std::nullopt, white(16, 16));
}

// The alpha of two pixels of frame `index` as the ffmpeg CLI decodes it: a corner and the middle
// of the opening picture.
std::pair<int, int> decodedAlpha(const fs::path& file, int index, OutputFormat format) {
    const std::string frame = test::rgbaFrame(file, index, format, 320 * 180 * 4);
    EXPECT_EQ(frame.size(), size_t(320 * 180 * 4));
    if (frame.size() != size_t(320 * 180 * 4)) return {-1, -1};
    auto alpha = [&](int x, int y) { return int(uint8_t(frame[size_t(y * 320 + x) * 4 + 3])); };
    return {alpha(2, 2), alpha(160, 89)};
}

TEST(CreditsExportPeer, EveryWritableFormat) {
    test::TempDir dir;
    const auto renderer = halfSecond();
    ASSERT_DOUBLE_EQ(renderer->totalSeconds(), 0.5);
    for (const test::WritableFormat& f : test::kWritableFormats) {
        SCOPED_TRACE(std::string(rawValue(f.format)));
        ConversionSettings settings;
        settings.format = f.format;
        settings.includeAudio = true;
        const fs::path out = outputURL(f.format, dir / "Credits", dir.path());
        CreditsExporter exporter(renderer, settings, out);
        EXPECT_FALSE(exporter.transcoder().settings().includeAudio);
        ASSERT_EQ(exporter.frameCount(), 13);  // 12.5 frames, the partial one counts
        TranscodeProgress last;
        exporter.exportCredits([&](const TranscodeProgress& p) { last = p; });
        EXPECT_EQ(last.fraction, 1.0);
        fs::path probed = out;
        if (isImageSequence(f.format)) {
            std::vector<fs::path> files;
            for (const auto& entry : fs::directory_iterator(out)) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            ASSERT_EQ(files.size(), 13u);
            probed = files[6];
        } else {
            EXPECT_EQ(test::countFrames(out), 13);
            EXPECT_TRUE(test::decodesCleanly(out));
        }
        const auto probe = test::ffprobe(probed);
        const auto video = test::streamOf(probe, "video");
        EXPECT_EQ(video.value("codec_name", ""), f.codec);
        EXPECT_EQ(video.value("width", 0), 320);
        EXPECT_EQ(video.value("height", 0), 180);
        EXPECT_TRUE(test::streamOf(probe, "audio").is_null());
        if (!isImageSequence(f.format)) {
            EXPECT_EQ(video.value("r_frame_rate", ""), "25/1");
        }
        // Transparency survives exactly where the format carries alpha.
        const auto [corner, inside] = decodedAlpha(probed, isImageSequence(f.format) ? 0 : 6, f.format);
        EXPECT_EQ(corner, f.alpha ? 0 : 255);
        EXPECT_EQ(inside, 255);
    }
}

// The roll over transparency as HEVC with alpha: every frame's alpha, as the peer FFmpeg decodes
// it, against the renderer's own alpha in a PNG sequence of the same roll.
TEST(CreditsExportPeer, HevcWithAlphaKeepsTheRenderersAlpha) {
    test::TempDir dir;
    const auto renderer = halfSecond();
    std::map<OutputFormat, fs::path> outs;
    for (OutputFormat format : {OutputFormat::hevcAlpha, OutputFormat::pngSequence}) {
        ConversionSettings settings;
        settings.format = format;
        outs[format] = outputURL(format, dir / "Roll", dir.path());
        CreditsExporter(renderer, settings, outs[format]).exportCredits({});
    }
    const fs::path& frames = outs[OutputFormat::pngSequence];
    const auto reference = test::peerFrames({"-framerate", "25", "-i", (frames / (frames.filename().string() + "_%06d.png")).string()},
                                            "format=rgba,alphaextract", "gray", 320 * 180);
    const auto decoded = test::peerFrames({"-i", outs[OutputFormat::hevcAlpha].string()}, "alphaextract", "gray", 320 * 180);
    ASSERT_EQ(reference.size(), 13u);
    EXPECT_GE(test::lowestPsnr(decoded, reference), 45.0);
}

TEST(CreditsExportPeer, CancellingLeavesNothing) {
    test::TempDir dir;
    S s;
    s.width = 320;
    s.height = 180;
    s.rollSeconds = 4;
    const auto renderer = std::make_shared<const CreditsRenderer>(s, white(100, 50), std::nullopt, QImage());
    for (OutputFormat format : {OutputFormat::h264, OutputFormat::hapQ, OutputFormat::proRes4444}) {
        SCOPED_TRACE(std::string(rawValue(format)));
        ConversionSettings settings;
        settings.format = format;
        const fs::path out = outputURL(format, dir / "Roll", dir.path());
        CreditsExporter exporter(renderer, settings, out);
        try {
            exporter.exportCredits([&](const TranscodeProgress&) { exporter.cancellation().set(); });
            ADD_FAILURE() << "not cancelled";
        } catch (const ConversionError& e) {
            EXPECT_EQ(e.kind(), ConversionError::Kind::cancelled);
        }
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST(CreditsExportPeer, PngSequenceScrollsLikeFFmpegCropScroll) {
    test::TempDir dir;
    const fs::path stripFile = dir / "strip.png";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=200x120:d=1", "-vf",
                  "format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='if(lt(mod(X+Y,50),25),255,90)'", "-frames:v", "1",
                  stripFile.string()});
    S s;
    s.width = 320;
    s.height = 180;
    s.rollSeconds = 1;
    s.fadeIn = s.fadeOut = 0;
    const QImage picture = loadImageFile(stripFile);
    ASSERT_FALSE(picture.isNull());
    const auto renderer = std::make_shared<const CreditsRenderer>(s, QImage(), CreditsStrip::fromPicture(picture, 50), QImage());
    // 300 pixels at 12 a frame: 25 frames, the last at the end.
    ASSERT_EQ(renderer->pixelsPerFrame(), 12);
    ConversionSettings settings;
    settings.format = OutputFormat::pngSequence;
    const fs::path out = dir / "ours";
    CreditsExporter exporter(renderer, settings, out);
    ASSERT_EQ(exporter.frameCount(), 25);
    exporter.exportCredits({});
    test::ffmpeg({"-i", stripFile.string(), "-vf",
                  "premultiply=inplace=1,pad=320:480:60:180:color=black@0,loop=-1:1,crop=320:180:0:'min(n*12,300)'",
                  "-frames:v", "25", (dir / "ref_%03d.png").string()});
    for (int i = 0; i < 25; ++i) {
        SCOPED_TRACE(i);
        char name[32];
        std::snprintf(name, sizeof name, "ours_%06d.png", i);
        const QImage ours = QImage(QString::fromStdString((out / name).string())).convertToFormat(QImage::Format_RGB888);
        std::snprintf(name, sizeof name, "ref_%03d.png", i + 1);
        const QImage ref = QImage(QString::fromStdString((dir / name).string())).convertToFormat(QImage::Format_RGB888);
        ASSERT_EQ(ours.size(), QSize(320, 180));
        ASSERT_EQ(ref.size(), QSize(320, 180));
        int worst = 0;
        for (int y = 0; y < 180; ++y)
            for (int x = 0; x < 320 * 3; ++x) worst = std::max(worst, std::abs(int(ours.constScanLine(y)[x]) - int(ref.constScanLine(y)[x])));
        EXPECT_LE(worst, 2);
    }
}

}  // namespace
}  // namespace qm
