// The preview of a trimmed and split clip shows the source frame the ffmpeg CLI decodes at the
// clip's media time: frame round((t − start + sourceIn) × rate), and not its neighbours.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "editor_test_support.h"
#include "engine/media_info.h"
#include "support/test_support.h"

namespace qm {
namespace {

constexpr int W = 640, H = 360;

// PSNR of the preview's colour against an rgb24 frame.
double psnr(const QImage& preview, const std::string& rgb) {
    double sum = 0;
    for (int y = 0; y < H; ++y) {
        const uchar* line = preview.constScanLine(y);
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < 3; ++c) {
                const double d = double(line[x * 4 + c]) - double(uchar(rgb[std::size_t((y * W + x) * 3 + c)]));
                sum += d * d;
            }
    }
    const double mse = sum / (double(W) * H * 3);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

TEST(EditorPreviewPeer, TrimmedSplitClipShowsTheFrameAtItsMediaTime) {
    test::TempDir dir;
    const auto source = dir / "source.mp4";
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30:duration=4", "-c:v", "libx264", "-crf", "12",
                  "-g", "30", "-pix_fmt", "yuv420p", "-colorspace", "bt709", "-color_primaries", "bt709",
                  "-color_trc", "bt709", source.string()});
    const auto frame = [&](int n) {
        const auto out = dir / ("f" + std::to_string(n) + ".rgb");
        test::ffmpeg({"-i", source.string(), "-vf",
                      "select=eq(n\\," + std::to_string(n) + "),scale=in_color_matrix=bt709:flags=accurate_rnd",
                      "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", out.string()});
        return test::readFile(out);
    };

    test::CountingEditor counting;  // only for the Qt application
    EditorModel e;
    const MediaInfo info = MediaInfo::load(source, true);
    MediaItem item(QString::fromStdString(source.string()), info);
    Project p = e.project();
    p.width = W, p.height = H;
    p.media.push_back(item);
    e.setProject(p);
    e.setInfos({{item.id, info}});

    e.addClipAtPlayhead(item.id, 0, 0.0);
    const QUuid id = e.selectedClipID();
    e.trimClipStart(id, 0.5);           // sourceIn 0.5
    e.moveClipInModel(0, 0, std::nullopt, 1.0);
    e.trimClipEnd(id, 3.0);             // 1.0 … 3.0 shows source 0.5 … 2.5
    e.seek(2.0);
    e.splitAtPlayhead();                // right part: start 2.0, sourceIn 1.5
    ASSERT_EQ(e.project().tracks[0].clips.size(), 2u);

    for (double t : {1.0, 1.4, 1.9667, 2.0, 2.5, 2.9667}) {
        e.seek(t);
        ASSERT_TRUE(test::waitUntil([&] { return !e.isRendering(); }));
        const QImage preview = e.previewImage().convertToFormat(QImage::Format_RGBA8888);
        ASSERT_EQ(preview.size(), QSize(W, H));
        const Clip* c = e.project().tracks[0].clip(e.playhead());
        ASSERT_TRUE(c) << t;
        const int n = int(std::lround((e.playhead() - c->start + c->sourceIn) * 30));
        const double at = psnr(preview, frame(n));
        EXPECT_GE(at, 30) << "t " << t << " frame " << n;
        for (int other : {n - 1, n + 1}) EXPECT_GE(at, psnr(preview, frame(other)) + 3) << "t " << t << " vs " << other;
    }
}

}  // namespace
}  // namespace qm
