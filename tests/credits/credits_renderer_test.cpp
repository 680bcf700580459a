// Layout and timing of the roll against the arithmetic worked out by hand, the fades, and the
// frame count and source description of an export.
#include <gtest/gtest.h>

#include "credits/credits_exporter.h"
#include "credits/credits_renderer.h"

namespace qm {
namespace {

using S = CreditsSettings;

CreditsStrip stripOfHeight(double height) {
    CreditsStrip strip;
    QImage tile(100, 10, CreditsStrip::kTileFormat);
    tile.fill(Qt::white);
    strip.tiles.push_back({tile, 0});
    strip.width = 100;
    strip.height = height;
    return strip;
}

QImage pictureOf(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::red);
    return image;
}

TEST(CreditsTiming, RollOfAStripWithAndWithoutWholePixelSteps) {
    S s;
    const CreditsRenderer whole(s, {}, stripOfHeight(5000), {});
    EXPECT_EQ(whole.startOffset(), -1080);
    EXPECT_EQ(whole.endOffset(), 5000);
    EXPECT_EQ(whole.pixelsPerFrame(), 4);
    EXPECT_DOUBLE_EQ(whole.rollSeconds(), 60.8);
    EXPECT_EQ(whole.totalSeconds(), whole.rollSeconds());
    s.wholePixelSteps = false;
    const CreditsRenderer smooth(s, {}, stripOfHeight(5000), {});
    EXPECT_NEAR(smooth.pixelsPerFrame(), 6080.0 / 1500.0, 1e-12);
    EXPECT_NEAR(smooth.rollSeconds(), 60, 1e-9);

    // Offsets: still before and after the roll, whole frames when paused or exported, free while playing.
    EXPECT_EQ(whole.scrollOffset(-1, false), -1080);
    EXPECT_EQ(whole.scrollOffset(0, false), -1080);
    EXPECT_EQ(whole.scrollOffset(0.05, false), -1080 + 4);  // 1.25 frames round to 1
    EXPECT_EQ(whole.scrollOffset(0.1, false), -1080 + 12);  // 2.5 rounds away from zero
    EXPECT_DOUBLE_EQ(whole.scrollOffset(0.05, true), -1080 + 5);
    EXPECT_EQ(whole.scrollOffset(61, false), 5000);
    EXPECT_EQ(whole.scrollOffset(60.79, false), 5000);  // the step would pass the end
    EXPECT_EQ(whole.scrollOffset(std::nan(""), false), -1080);
}

TEST(CreditsTiming, PicturesHoldsAndTotals) {
    S s;
    s.wholePixelSteps = false;
    s.timeIsTotal = true;
    // 2000 × 500 at 50 % of 1920 × 1080: by width 0.48, by height 1.944, so 960 × 240.
    const PlacedPicture placed = placePicture(pictureOf(2000, 500), 1920, 1080, s.head);
    EXPECT_DOUBLE_EQ(placed.width, 960);
    EXPECT_DOUBLE_EQ(placed.height, 240);
    EXPECT_EQ(placed.image.size(), QSize(960, 240));
    // A tall picture is held to 90 % of the frame height.
    EXPECT_DOUBLE_EQ(placePicture(pictureOf(100, 2000), 1920, 1080, s.head).height, 972);

    const CreditsRenderer r(s, pictureOf(2000, 500), stripOfHeight(3000), pictureOf(1000, 1000));
    ASSERT_EQ(r.items().size(), 3u);
    // gap 162; head 0…240, strip 402…3402, tail 3564…4524 (960 × 960, by width).
    EXPECT_EQ(r.items()[1].top, 402);
    EXPECT_EQ(r.items()[2].top, 3564);
    EXPECT_EQ(r.startOffset(), 120 - 540);
    EXPECT_EQ(r.endOffset(), 3564 + 480 - 540);
    EXPECT_EQ(r.stripHeight(), 3564 + 960);
    EXPECT_EQ(r.headHold(), 3);
    EXPECT_EQ(r.tailHold(), 3);
    EXPECT_NEAR(r.rollSeconds(), 54, 1e-9);  // 60 − 3 − 3
    EXPECT_NEAR(r.totalSeconds(), 60, 1e-9);
    EXPECT_EQ(r.scrollOffset(3, false), r.startOffset());
    EXPECT_EQ(r.scrollOffset(58, false), r.endOffset());

    // Holds longer than the whole: the band moves its whole distance in one frame.
    S brief = s;
    brief.rollSeconds = 5;
    const CreditsRenderer jump(brief, pictureOf(2000, 500), stripOfHeight(3000), pictureOf(1000, 1000));
    EXPECT_DOUBLE_EQ(jump.pixelsPerFrame(), jump.endOffset() - jump.startOffset());
    EXPECT_DOUBLE_EQ(jump.rollSeconds(), 1.0 / 25);

    // No pictures, no strip: nothing rolls and nothing holds. An opening picture alone holds.
    const CreditsRenderer none(s, {}, std::nullopt, {});
    EXPECT_EQ(none.pixelsPerFrame(), 0);
    EXPECT_EQ(none.rollSeconds(), 0);
    EXPECT_EQ(none.totalSeconds(), 0);
    const CreditsRenderer head(S(), pictureOf(200, 100), std::nullopt, {});
    EXPECT_EQ(head.stripHeight(), 480 + 162);  // the gap after the opening picture stays
    EXPECT_EQ(head.endOffset(), 642);
}

TEST(CreditsTiming, FadesAndClampedSettings) {
    S s;
    s.fadeIn = 0.5;
    s.fadeOut = 2;
    const CreditsRenderer r(s, {}, stripOfHeight(5000), {});
    EXPECT_EQ(r.fadeAt(0), 0);
    EXPECT_DOUBLE_EQ(r.fadeAt(0.25), 0.5);
    EXPECT_EQ(r.fadeAt(10), 1);
    EXPECT_DOUBLE_EQ(r.fadeAt(r.totalSeconds() - 1), 0.5);
    EXPECT_EQ(r.fadeAt(r.totalSeconds() + 1), 0);
    s.fadeIn = s.fadeOut = 0;
    const CreditsRenderer flat(s, {}, stripOfHeight(5000), {});
    EXPECT_EQ(flat.fadeAt(0), 1);
    EXPECT_EQ(flat.fadeAt(flat.totalSeconds()), 1);
    // The renderer works on a clamped copy: a rate of 0 would never end.
    S wild;
    wild.frameRate = 0;
    wild.width = 1 << 30;
    const CreditsRenderer tame(wild, {}, stripOfHeight(100), {});
    EXPECT_EQ(tame.settings().frameRate, 1);
    EXPECT_EQ(tame.settings().width, 16384);
    EXPECT_TRUE(std::isfinite(tame.rollSeconds()));
}

TEST(CreditsExport, FrameCountsAndTheSourceDescription) {
    S s;
    s.wholePixelSteps = false;
    auto exporter = [](const S& settings, const QImage& head, std::optional<CreditsStrip> strip, const QImage& tail) {
        return CreditsExporter(std::make_shared<const CreditsRenderer>(settings, head, strip, tail), {}, "/nonexistent/out.mov");
    };
    // 60 s of roll and 3 + 3 s of holds.
    EXPECT_EQ(exporter(s, pictureOf(64, 64), stripOfHeight(5000), pictureOf(64, 64)).frameCount(), 1650);
    s.frameRate = 29.97;  // 66 s at 1001/30000: 1978.02 frames, the partial one counts
    EXPECT_EQ(exporter(s, pictureOf(64, 64), stripOfHeight(5000), pictureOf(64, 64)).frameCount(), 1979);
    // A roll of exactly 100 frames at 24 fps gains no frame from rounding noise.
    s.frameRate = 24;
    s.rollSeconds = 100.0 / 24.0;
    EXPECT_EQ(exporter(s, {}, stripOfHeight(777), {}).frameCount(), 100);
    // Nothing to show still exports one frame.
    EXPECT_EQ(exporter(s, {}, std::nullopt, {}).frameCount(), 1);

    S t;
    t.background = S::Background::transparent;
    t.frameRate = 29.97;
    t.width = 640;
    t.height = 360;
    const CreditsRenderer r(t, {}, stripOfHeight(100), {});
    const MediaInfo info = CreditsExporter::syntheticInfo(r);
    EXPECT_EQ(info.codecType, 0u);
    EXPECT_EQ(info.codecName, "Credits");
    EXPECT_EQ(info.decoder, SourceDecoder::native());
    EXPECT_EQ(info.width, 640);
    EXPECT_EQ(info.height, 360);
    EXPECT_EQ(info.frameRate, 29.97);
    EXPECT_EQ(info.naturalTimeScale, 30000);
    EXPECT_EQ(info.duration.timescale, 30000);
    EXPECT_NEAR(info.duration.seconds(), r.totalSeconds(), 1.0 / 30000);
    EXPECT_FALSE(info.hasAudio);
    EXPECT_TRUE(info.hasAlpha);
    t.background = S::Background::color;
    EXPECT_FALSE(CreditsExporter::syntheticInfo(CreditsRenderer(t, {}, std::nullopt, {})).hasAlpha);
}

}  // namespace
}  // namespace qm
