// The timeline's arithmetic: ruler steps and labels, colours, label lines, widths, row heights and
// waveform columns, each against hand arithmetic.

#include <gtest/gtest.h>

#include <cmath>

#include "editor/sync/timecode.h"
#include "editor/views/timeline/timeline_geometry.h"
#include "timeline_test_support.h"

namespace qm {
namespace {

using namespace timeline;

TEST(TimelineRuler, StepAndLabelTables) {
    struct Case {
        double pps, fps, step;
    } cases[] = {{60, 30, 2}, {35, 30, 2}, {800, 60, 0.5}, {4, 30, 30}, {800, 30, 5.0 / 30}, {0.1, 30, 600}};
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(rulerTickStep(c.pps, c.fps), c.step) << c.pps << " " << c.fps;
    // A rate or zoom that is not a positive number never divides: 1 fps, or no step at all.
    EXPECT_DOUBLE_EQ(rulerTickStep(800, 0), 5);
    EXPECT_DOUBLE_EQ(rulerTickStep(800, std::nan("")), 5);
    EXPECT_EQ(rulerTickStep(0, 30), 0);
    EXPECT_EQ(rulerTickStep(std::numeric_limits<double>::infinity(), 30), 0);

    EXPECT_EQ(rulerLabel(0, 2, 30), "0:00");
    EXPECT_EQ(rulerLabel(4500, 60, 30), "75:00");
    EXPECT_EQ(rulerLabel(65, 5, 30), "1:05");
    EXPECT_EQ(rulerLabel(30.5, 0.5, 60), "0:30:30");
    EXPECT_EQ(rulerLabel(1 + 10.0 / 30, 5.0 / 30, 30), "0:01:10");
    EXPECT_EQ(rulerLabel(23.98, 5.0 / 23.976, 23.976), "0:23:23");
}

TEST(TimelineRuler, FractionalRatesNeverShowAFrameTheyLack) {
    for (double fps : {24000.0 / 1001, 30000.0 / 1001, 60000.0 / 1001}) {
        const double step = rulerTickStep(800, fps), minor = step / 5;
        const int limit = int(std::ceil(fps));
        for (double i = 0; i * minor <= 7200; i += 5) {
            const QString label = rulerLabel(i * minor, step, fps);
            const int frames = label.section(u':', 2).toInt();
            ASSERT_LT(frames, limit) << fps << " " << label.toStdString();
        }
    }
}

TEST(TimelineClip, HueHashColoursAndSummaries) {
    EXPECT_EQ(hueHash(QStringLiteral("abc")), 642);
    MediaItem picture;
    picture.id = QUuid::fromString(QStringLiteral("{6f1e2d3c-0000-4000-8000-00000000abcd}"));
    picture.width = 1920;
    picture.height = 1080;
    const int h = hueHash(QStringLiteral("6F1E2D3C-0000-4000-8000-00000000ABCD"));
    EXPECT_NEAR(clipColour(&picture).hsvHueF(), h / 997.0, 1e-3);
    MediaItem sound;
    EXPECT_NEAR(clipColour(&sound).hsvHueF(), 0.47, 1e-3);
    EXPECT_EQ(clipColour(nullptr), QColor(Qt::gray));

    Clip c;
    c.opacity = 0.9996;
    EXPECT_EQ(clipDetail(c, &picture, nullptr), "");
    c.opacity = 0.9994;
    EXPECT_EQ(clipDetail(c, &picture, nullptr), QStringLiteral("Normal \u00b7 100%"));
    EXPECT_EQ(clipDetail(c, &sound, nullptr), "");  // no picture, no compositing
    c.opacity = 0.5;
    c.blendMode = BlendMode::screen;
    EXPECT_EQ(clipDetail(c, &picture, nullptr), QStringLiteral("Screen \u00b7 50%"));
    c.blendMode = BlendMode::add;
    c.transform = ClipTransform{};
    c.transform->opacity.setKeyframe(0, 50, 1e-6);
    EXPECT_EQ(clipDetail(c, &picture, nullptr), QStringLiteral("Add \u00b7 animated"));
    c.transform.reset();
    c.opacity = 1;
    c.blendMode = BlendMode::multiply;
    LTCInfo ltc;
    ltc.nominalRate = 25;
    ltc.measuredRate = 25;
    ltc.startFrame = 10 * 3600 * 25 - 50;
    c.sourceIn = 2;  // 50 frames in: the clip's first frame reads ten o'clock
    EXPECT_EQ(clipDetail(c, &picture, &ltc), QStringLiteral("Multiply \u00b7 100% \u00b7 LTC 10:00:00:00"));
}

TEST(TimelineGeometry, WidthsRowsAndPlayhead) {
    test::Timeline t({{{0, 10}}, {}, {}});
    TimelineGeometry g(*t.editor, 500, 200);
    EXPECT_EQ(g.contentWidth(), 2412);
    EXPECT_EQ(g.tracksHeight(), 171);
    EXPECT_EQ(t.editor->timelineTracksHeight(), 171);
    EXPECT_EQ(g.x(2.5), 12 + 150);
    t.editor->setPixelsPerSecond(4);
    EXPECT_EQ(TimelineGeometry(*t.editor, 500, 200).contentWidth(), 500);

    // Expanding the first layer with its clip selected adds its lane properties and one divider.
    t.editor->setSelectedClipID(t.clip(0, 0).id);
    const std::size_t n = t.editor->laneProperties(0).size();
    ASSERT_GE(n, 1u);
    t.editor->toggleTrackExpanded(t.editor->project().tracks[0].id);
    EXPECT_EQ(t.editor->timelineTracksHeight(), 171 + 26.0 * double(n) + 1);
    // An expanded layer without lane properties (sound only) adds nothing, and draws no divider.
    Project p = t.editor->project();
    MediaItem sound;
    sound.id = QUuid::createUuid();
    sound.duration = 5;
    p.media.push_back(sound);
    Clip c;
    c.id = QUuid::createUuid();
    c.mediaID = sound.id;
    c.duration = 5;
    p.tracks[1].clips.push_back(c);
    t.editor->setProject(p);
    t.editor->toggleTrackExpanded(t.editor->project().tracks[1].id);
    ASSERT_TRUE(t.editor->laneProperties(1).empty());
    EXPECT_EQ(t.editor->timelineTracksHeight(), 171 + 26.0 * double(n) + 1);
    EXPECT_EQ(TimelineGeometry(*t.editor, 500, 200).rows()[2].top, 26 + 57 * 2 + 26.0 * double(n) + 1);
}

TEST(TimelineWaveform, ColumnsFollowTheEnvelope) {
    const std::vector<float> peaks = {0.1f, 0.9f, 0.2f, 0.4f, 0.0f, 1.5f};
    const auto heights = [&](double sourceIn, double pps, double width) {
        std::vector<double> out;
        for (const QRectF& r : waveformBars(peaks, sourceIn, pps, width, 16)) out.push_back(r.height());
        return out;
    };
    const auto near = [](const std::vector<double>& a, const std::vector<double>& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (std::abs(a[i] - b[i]) > 1e-5) return false;
        return true;
    };
    // One peak a column at 100 pps; the larger of two at 50; each peak four columns at 400.
    EXPECT_TRUE(near(heights(0, 100, 10), {1.6, 14.4, 3.2, 6.4, 1, 16}));
    EXPECT_TRUE(near(heights(0, 50, 10), {14.4, 6.4, 16}));
    EXPECT_TRUE(near(heights(0.01, 400, 8), {14.4, 14.4, 14.4, 14.4, 3.2, 3.2, 3.2, 3.2}));
    EXPECT_TRUE(heights(1, 100, 10).empty());  // past the envelope
    const auto silence = waveformBars(std::vector<float>(50, 0.0f), 0, 100, 20, 16);
    ASSERT_EQ(silence.size(), 20u);
    EXPECT_EQ(silence[7], QRectF(7, 7.5, 1, 1));
    EXPECT_TRUE(waveformBars(peaks, 0, 0, 10, 16).empty());
}

}  // namespace
}  // namespace qm
