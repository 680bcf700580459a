// Clip pieces blended from pictures look as the shapes drawn in place, and the timeline's
// pictures and labels follow zoom and renames.

#include <algorithm>

#include <gtest/gtest.h>
#include <QPainter>
#include <QPainterPath>

#include "editor/views/timeline/clip_stamps.h"
#include "timeline_test_support.h"

namespace qm {
namespace {

using timeline::ClipStamps;

int largestDifference(const QImage& a, const QImage& b) {
    int most = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            most = std::max({most, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
        }
    return most;
}

QImage canvas(double scale) {
    QImage image(int(320 * scale), int(80 * scale), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(QColor(40, 90, 120));
    return image;
}

TEST(ClipStamps, PiecesLookAsDrawnInPlace) {
    QColor edge(Qt::black);
    edge.setAlphaF(0.25f);
    struct Case {
        const char* name;
        double x, scale, lineWidth;
        QColor colour;
        double fade, opacity = 1;
    } cases[] = {
        {"whole place", 12, 1, 1, edge, 120},         {"half over", 12.5, 1, 1, edge, 120},
        {"a third over", 12.33, 1, 1, edge, 7.5},     {"a hidden layer's", 12.33, 1, 1, edge, 7.5, 0.5},
        {"selected", 40.75, 1, 2, Qt::white, 2},      {"scale 2", 12.3, 2, 1, edge, 33.3},
        {"scale 1.5", 20.6, 1.5, 2, Qt::white, 60.1},
    };
    ClipStamps stamps;  // shared: a piece at another place is another picture
    for (const Case& c : cases) {
        const QRectF block(c.x, 12, 250, 48);
        const auto stamped = [&] {
            QImage image = canvas(c.scale);
            QPainter p(&image);
            p.setRenderHint(QPainter::Antialiasing);
            p.setOpacity(c.opacity);
            stamps.paintFade(p, block, c.fade, true);
            stamps.paintFade(p, block, c.fade, false);
            stamps.paintOutline(p, block, c.colour, c.lineWidth);
            return image;
        };
        QImage inPlace = canvas(c.scale);
        {
            QPainter p(&inPlace);
            p.setRenderHint(QPainter::Antialiasing);
            p.setOpacity(c.opacity);
            QColor shade(Qt::black), slope(Qt::white);
            shade.setAlphaF(0.35f);
            slope.setAlphaF(0.8f);
            for (bool in : {true, false}) {
                const double side = in ? block.left() : block.right(), tip = in ? side + c.fade : side - c.fade;
                QPainterPath wedge;
                wedge.moveTo(side, block.top());
                wedge.lineTo(tip, block.top());
                wedge.lineTo(side, block.bottom());
                wedge.closeSubpath();
                p.fillPath(wedge, shade);
                p.setPen(QPen(slope, 1));
                p.drawLine(QPointF(side, block.bottom()), QPointF(tip, block.top()));
            }
            const double h = c.lineWidth / 2;
            p.setPen(QPen(c.colour, c.lineWidth));
            p.drawRoundedRect(block.adjusted(h, h, -h, -h), 5, 5);
        }
        const QImage first = stamped();
        EXPECT_LE(largestDifference(first, inPlace), 3) << c.name;
        const int made = stamps.made();
        EXPECT_EQ(stamped(), first) << c.name << ": again, from the pictures";
        EXPECT_EQ(stamps.made(), made) << c.name;
    }
}

TEST(ClipStamps, WaveformCoverageAndPlace) {
    // One bar a quarter point right and 1.25 … 3.5 down: pixel coverage is the overlapping area.
    const QImage one = timeline::waveformImage({QRectF(2, 1.25, 1, 2.25)}, 0.25, 0, 1, QSize(5, 5), 0.5);
    const auto alpha = [&](int x, int y) { return qAlpha(one.pixel(x, y)); };
    EXPECT_EQ(alpha(2, 1), std::lround(0.5 * 0.75 * 0.75 * 255));
    EXPECT_EQ(alpha(3, 1), std::lround(0.5 * 0.25 * 0.75 * 255));
    EXPECT_EQ(alpha(2, 2), std::lround(0.5 * 0.75 * 255));
    EXPECT_EQ(alpha(3, 3), std::lround(0.5 * 0.25 * 0.5 * 255));
    EXPECT_EQ(alpha(1, 2) + alpha(4, 2) + alpha(2, 0) + alpha(2, 4), 0);

    // Blended at a fractional place, the band looks as its bars filled there one by one.
    std::vector<QRectF> bars;
    for (int x = 3; x < 200; ++x) bars.emplace_back(x, 7.5 - (x % 7), 1, 2 * (x % 7) + 0.5);
    QColor white(Qt::white);
    white.setAlphaF(0.55f);
    for (double scale : {1.0, 2.0}) {
        ClipStamps stamps;
        const QUuid clip = QUuid::createUuid();
        int asked = 0;
        const auto stamped = [&](QByteArray key) {
            QImage image = canvas(scale);
            QPainter p(&image);
            stamps.paintWaveform(p, clip, QPointF(30.4, 40.25), key, [&] {
                ++asked;
                return bars;
            });
            return image;
        };
        QImage inPlace = canvas(scale);
        {
            QPainter p(&inPlace);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(Qt::NoPen);
            p.setBrush(white);
            p.translate(30.4, 40.25);
            p.drawRects(bars.data(), int(bars.size()));
        }
        const QImage first = stamped("a");
        EXPECT_LE(largestDifference(first, inPlace), 3) << scale;
        EXPECT_EQ(stamped("a"), first);
        EXPECT_EQ(asked, 1) << "kept while the key stays";
        stamped("b");
        EXPECT_EQ(asked, 2) << "a new key asks again";
    }
}

// What the content shows after zooming and renaming is what a new panel shows.
TEST(ClipStamps, TimelinePicturesFollowTheProject) {
    test::Timeline t;
    Project p = t.editor->project();
    p.media[0].width = p.media[0].height = 0;  // sound only
    t.editor->setProject(p);
    t.editor->enqueueAnalysis(t.media);
    ASSERT_TRUE(test::waitUntil([&] { return t.editor->waveforms().contains(t.media); }));
    QApplication::processEvents();
    const auto shown = [](const test::Timeline& x) { return x.content()->grab().toImage(); };
    const auto fresh = [&] {
        TimelineView other(*t.editor);
        other.resize(t.view->size());
        other.show();
        QApplication::processEvents();
        return other.content()->grab().toImage();
    };
    const double pps = t.editor->pixelsPerSecond();
    const QImage before = shown(t);
    t.editor->setPixelsPerSecond(91.7);
    const QImage zoomed = shown(t);
    EXPECT_NE(zoomed, before);
    EXPECT_EQ(zoomed, fresh()) << "zoom";
    t.editor->setPixelsPerSecond(pps);
    EXPECT_EQ(shown(t), before);

    p = t.editor->project();
    p.media[0].name = QStringLiteral("renamed take.wav");
    t.editor->setProject(p);
    const QImage renamed = shown(t);
    EXPECT_NE(renamed, before);
    EXPECT_EQ(renamed, fresh()) << "rename";
}

}  // namespace
}  // namespace qm
