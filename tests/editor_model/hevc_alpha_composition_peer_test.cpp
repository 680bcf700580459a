// An HEVC-with-alpha clip above a red clip: the composite shows the red through the clip's
// transparent parts, as the peer FFmpeg's decode of the clip laid over red, at frames reached by
// seeking backwards and forwards. A clip whose alpha layer is damaged stops the export.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include <QImage>

#include "editor/model/project_exporter.h"
#include "editor_model/timeline_fixtures.h"
#include "engine/output_naming.h"
#include "support/damaged_media.h"
#include "support/open_group_media.h"

namespace qm {
namespace {

using test::Medium;
namespace fs = std::filesystem;

constexpr int kW = 320, kH = 240;

TEST(HevcAlphaComposition, RedShowsThroughTheTransparentParts) {
    test::TempDir dir;
    const std::string size = std::to_string(kW) + "x" + std::to_string(kH);
    const Medium red = test::makeMedium(dir / "red.mov", {"-f", "lavfi", "-i", "color=red:s=" + size + ":r=24:d=1",
                                                          "-vf", "format=rgb24", "-c:v", "png"});
    const auto source = dir / "source.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=" + size + ":r=24:d=1", "-f", "lavfi", "-i",
                  "color=black:s=" + size + ":r=24:d=1,geq=lum='128+127*sin((X+T*200)/40)*cos(Y/30)':cb=128:cr=128",
                  "-filter_complex", "[1:v]format=gray[a];[0:v][a]alphamerge,format=yuva444p10le", "-c:v", "prores_ks",
                  "-profile:v", "4444", source.string()});
    const auto clipFile = dir / "alpha.mov";
    test::peerFfmpeg({"-i", source.string(), "-c:v", "libx265", "-pix_fmt", "yuva420p", "-x265-params",
                      "alpha=1:log-level=error:keyint=8", "-tag:v", "hvc1", clipFile.string()});
    const Medium clip = test::probedMedium(clipFile);

    // The peer's pictures (RGBA with the matrix and scaling the reader uses) laid over red.
    const auto rgba = test::run({test::peerFfmpegPath().string(), "-v", "error", "-i", clipFile.string(), "-vf",
                                 "scale=in_color_matrix=bt709:in_range=tv:flags=bicubic+accurate_rnd+full_chroma_int",
                                 "-f", "rawvideo", "-pix_fmt", "rgba", "-"});
    const size_t frameBytes = size_t(kW * kH) * 4;
    ASSERT_EQ(rgba.output.size(), 24 * frameBytes);

    const Project project = test::projectOf(kW, kH, 24, {red, clip},
                                            {test::clipOf(clip, 0, 1, kW, kH), test::clipOf(red, 0, 1, kW, kH)});
    const MediaInfos infos = test::infosOf({red, clip});
    CompositionRenderer renderer;
    // Backwards past a key frame, forwards across two, and back into the first group.
    for (int frame : {20, 5, 13, 22, 2}) {
        SCOPED_TRACE(frame);
        const QImage ours = renderer.render(project, infos, (frame + 0.25) / 24.0, {kW, kH}, false);
        ASSERT_EQ(ours.size(), QSize(kW, kH));
        const auto* peer = reinterpret_cast<const uint8_t*>(rgba.output.data()) + frameBytes * size_t(frame);
        double se = 0;
        int transparent = 0, red = 0;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const uint8_t* p = peer + 4 * (size_t(y) * kW + size_t(x));
                const double a = p[3] / 255.0;
                const double expected[3] = {p[0] * a + 255 * (1 - a), p[1] * a, p[2] * a};
                const QColor c = ours.pixelColor(x, y);
                const double got[3] = {double(c.red()), double(c.green()), double(c.blue())};
                for (int i = 0; i < 3; ++i) se += (got[i] - expected[i]) * (got[i] - expected[i]);
                if (p[3] < 8) {
                    ++transparent;
                    red += c.red() > 240 && c.green() < 16 && c.blue() < 16;
                }
            }
        EXPECT_GT(transparent, kW * kH / 40) << "the clip has clear parts";
        EXPECT_EQ(red, transparent);
        EXPECT_GE(10 * std::log10(255.0 * 255.0 * 3 * kW * kH / std::max(se, 1e-9)), 40.0);
    }
}

// A clip whose alpha layer the decoder could not rebuild from its frame 1 on: the export stops
// there, naming the medium and the time, rather than leave the clip out of those frames.
TEST(HevcAlphaComposition, AnAlphaLayerDecodedWithErrorsStopsTheExport) {
    test::TempDir dir;
    const Medium clip = test::probedMedium(test::withDamagedAlphaSlice(dir / "damaged.mov"));
    ConversionSettings settings;
    settings.format = OutputFormat::pngSequence;
    ProjectExporter exporter(test::projectOf(160, 120, 24, {clip}, {test::clipOf(clip, 0, 2, 160, 120)}),
                             test::infosOf({clip}), settings, outputURL(settings.format, dir / "Show", dir.path()), {});
    try {
        exporter.exportProject({});
        ADD_FAILURE() << "the export ended well";
    } catch (const MediaReadError& e) {
        EXPECT_EQ(e.name(), "damaged.mov");
        EXPECT_NEAR(e.seconds(), 1 / 24.0, 1e-6);
        EXPECT_NE(e.reason().find("the alpha layer of frame 1 can't be decoded"), std::string::npos) << e.what();
    }
}

// qm-bench render-frame of a one-clip project in short open groups, at every frame time and so
// each from a fresh reader, draws what one renderer going through the frames in order draws. With
// one frame's alpha layer gone, that frame fails in words and writes nothing.
TEST(HevcAlphaComposition, RenderFrameAtEveryTimeDrawsTheInOrderFrameOrFailsInWords) {
    test::TempDir dir;
    const Medium clip = test::probedMedium(test::shortOpenGroupsMovie(dir.path(), true));
    const Project project = test::projectOf(256, 96, 24, {clip}, {test::clipOf(clip, 0, 40 / 24.0, 256, 96)});
    // Its exit code, and what it printed with its errors.
    const auto render = [&](double t) {
        char time[32];
        std::snprintf(time, sizeof time, "%.17g", t);
        return test::run({"sh", "-c", "\"$0\" render-frame \"$1\" --time $2 --out \"$3\" 2>&1", QM_BENCH,
                          (dir / "project.qmproj").string(), time, (dir / "frame.png").string()});
    };
    test::writeFile(dir / "project.qmproj", project.encoded().toStdString());
    CompositionRenderer inOrder;
    auto buffer = PixelBuffer::create(256, 96, kPixelFormatBGRA);
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        CompositionRenderer::draw(inOrder.render(project, test::infosOf({clip}), i / 24.0, {256, 96}, false), *buffer, false);
        const QImage want = QImage(buffer->data(), 256, 96, qsizetype(buffer->bytesPerRow()), QImage::Format_ARGB32_Premultiplied)
                                .convertToFormat(QImage::Format_RGBA8888);
        fs::remove(dir / "frame.png");
        ASSERT_EQ(render(i / 24.0).exitCode, 0);
        EXPECT_TRUE(QImage(QString::fromStdString((dir / "frame.png").string())).convertToFormat(QImage::Format_RGBA8888) == want);
    }

    const Medium damaged = test::probedMedium(test::withoutAlphaOfSample(clip.path, 11, dir / "damaged.mov"));
    const Project broken = test::projectOf(256, 96, 24, {damaged}, {test::clipOf(damaged, 0, 40 / 24.0, 256, 96)});
    test::writeFile(dir / "project.qmproj", broken.encoded().toStdString());
    fs::remove(dir / "frame.png");
    const auto result = render(9 / 24.0);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("\u201cdamaged.mov\u201d can't be read at 0.38 s into the file: its picture there can't be decoded "
                                 "(Decoding failed: the alpha layer of frame 9 can't be decoded"),
              std::string::npos)
        << result.output;
    EXPECT_FALSE(fs::exists(dir / "frame.png"));
}

}  // namespace
}  // namespace qm
