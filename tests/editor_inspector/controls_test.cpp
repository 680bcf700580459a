// The continuous controls on their own: scrub field, slider row, keyframe glyph, curve editor.

#include <gtest/gtest.h>

#include <limits>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QSlider>
#include <QTest>

#include "editor/timecode_text.h"
#include "editor/views/inspector/clip_inspector.h"
#include "editor/views/inspector/curve_editor.h"
#include "editor/views/inspector/keyframe_glyph.h"
#include "editor/views/inspector/scrub_field.h"
#include "editor/views/inspector/slider_row.h"
#include "inspector_test_support.h"

namespace qm {
namespace {

struct Reports {
    std::vector<std::pair<double, bool>> changes;
    int ends = 0;
    template <typename Control>
    void attach(Control& c) {
        c.onChange = [this](double v, bool first) { changes.emplace_back(v, first); };
        c.onEnd = [this] { ++ends; };
    }
};

TEST(TimecodeText, WholeFramesAtTheRoundedRate) {
    const struct {
        double seconds, rate;
        const char* text;
    } cases[] = {
        {0, 30, "00:00:00:00"},          {10, 25, "00:00:10:00"},     {3661.5, 24, "01:01:01:12"},
        {90000, 30, "25:00:00:00"},      {-3, 30, "00:00:00:00"},     {1, 29.97, "00:00:01:00"},
        {0.5, 0.5, "00:00:00:00"},       {1.5, 30, "00:00:01:15"},    {3600, 29.97, "00:59:56:12"},
        {10.02, 25, "00:00:10:01"},      {360000, 25, "100:00:00:00"}, {7, 0, "00:00:00:00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatTimecode(c.seconds, c.rate), QString::fromLatin1(c.text)) << c.seconds;
        EXPECT_EQ(timingText(c.seconds, c.rate), QString::fromLatin1(c.text)) << c.seconds;
    }
    // What cannot be shown: zero in the viewer and export sheet, "--" in the inspector.
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, double> unshowable[] = {{std::nan(""), 30}, {1e300, 30}, {inf, 25}, {1, std::nan("")},
                                                    {0, inf},           {0, 1e300}};
    for (const auto& [seconds, rate] : unshowable) {
        EXPECT_EQ(formatTimecode(seconds, rate), QStringLiteral("00:00:00:00")) << seconds << " " << rate;
        EXPECT_EQ(timingText(seconds, rate), QStringLiteral("--")) << seconds << " " << rate;
    }
}

TEST(DragTracker, StartsPastTheMinimumOrAtThePressWithoutOne) {
    test::qtApp<QApplication>();
    const auto event = [](QEvent::Type type, QPointF global, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        return QMouseEvent(type, global, global, Qt::LeftButton, Qt::LeftButton, mods);
    };
    DragTracker two(2);
    EXPECT_FALSE(two.press(event(QEvent::MouseButtonPress, {10, 10})));
    EXPECT_FALSE(two.move(event(QEvent::MouseMove, {11, 11})));
    const auto c = two.move(event(QEvent::MouseMove, {13, 10}, Qt::ShiftModifier));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->translation, QPointF(3, 0));
    EXPECT_TRUE(c->first && c->modifiers == Qt::ShiftModifier);
    EXPECT_FALSE(two.move(event(QEvent::MouseMove, {12, 10}))->first);
    EXPECT_TRUE(two.release());
    DragTracker zero(0);
    const auto pressed = zero.press(event(QEvent::MouseButtonPress, {5, 5}));
    ASSERT_TRUE(pressed);
    EXPECT_TRUE(pressed->first);
}

TEST(ScrubField, ParsesOnlyFiniteDecimals) {
    const struct {
        const char* text;
        const char* suffix;
        std::optional<double> number;
    } cases[] = {
        {"150%", "%", 150}, {"  150  ", "%", 150}, {"1.5 EV", " EV", 1.5}, {"-2.5", "", -2.5},
        {"+7.25e1", "", 72.5}, {"1e-3", "", 0.001}, {"1,5", "", std::nullopt}, {"abc", "", std::nullopt},
        {"", "", std::nullopt}, {"nan", "", std::nullopt}, {"inf", "", std::nullopt},
        {"1e999", "", std::nullopt}, {"0x10", "", std::nullopt}, {"5 5", "", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseScrubText(QString::fromUtf8(c.text), QString::fromUtf8(c.suffix)), c.number) << c.text;
}

TEST(ScrubField, DragScalesTheWholeDistanceByEachMovesModifiers) {
    test::qtApp<QApplication>();
    const Qt::KeyboardModifiers none = Qt::NoModifier, shift = Qt::ShiftModifier, alt = Qt::AltModifier;
    const struct {
        std::vector<int> dx;
        std::vector<Qt::KeyboardModifiers> mods;
        std::vector<double> reported;
    } cases[] = {
        {{10}, {none}, {105}},
        {{10}, {shift}, {150}},
        {{10}, {alt}, {100.5}},
        {{10}, {shift | alt}, {150}},
        {{4, 10}, {none, shift}, {102, 150}},  // Shift pressed mid-drag rescales all 10 points
        {{1}, {none}, {}},                      // under 2 points: a click
    };
    for (const auto& c : cases) {
        ScrubField field(0.5, 1, QStringLiteral("%"), 54);
        field.resize(54, 20);
        field.show();
        field.setValue(100);
        Reports r;
        r.attach(field);
        test::dragBy(&field, {20, 10}, c.dx, c.mods);
        ASSERT_EQ(r.changes.size(), c.reported.size());
        for (std::size_t i = 0; i < c.reported.size(); ++i) {
            EXPECT_DOUBLE_EQ(r.changes[i].first, c.reported[i]);
            EXPECT_EQ(r.changes[i].second, i == 0);
        }
        EXPECT_EQ(r.ends, c.reported.empty() ? 0 : 1);
        EXPECT_EQ(field.isEditing(), c.reported.empty());
    }
}

TEST(ScrubField, TypingCommitsOnceAndEscapeReportsNothing) {
    test::qtApp<QApplication>();
    ScrubField field(0.5, 1, QStringLiteral("%"), 54);
    field.resize(54, 20);
    field.show();
    field.setValue(12.345);
    EXPECT_EQ(field.displayText(), QStringLiteral("12.3%"));
    Reports r;
    r.attach(field);
    QTest::mouseClick(&field, Qt::LeftButton);
    ASSERT_TRUE(field.isEditing());
    EXPECT_EQ(field.editor()->text(), QStringLiteral("12.3"));
    field.editor()->setText(QStringLiteral(" 150% "));
    QTest::keyClick(field.editor(), Qt::Key_Return);
    field.editor()->clearFocus();  // the focus loss after a commit adds nothing
    ASSERT_EQ(r.changes.size(), 1u);
    EXPECT_EQ(r.changes[0], std::make_pair(150.0, true));
    QTest::mouseClick(&field, Qt::LeftButton);
    field.editor()->setText(QStringLiteral("7"));
    QTest::keyClick(field.editor(), Qt::Key_Escape);
    EXPECT_FALSE(field.isEditing());
    EXPECT_EQ(r.changes.size(), 1u);
}

TEST(SliderRow, ADragIsOneGestureAndEachKeyStepItsOwn) {
    test::qtApp<QApplication>();
    SliderRow row(QStringLiteral("Volume"), [](double v) { return QString::number(v); });
    row.resize(300, 50);
    row.show();
    row.setValue(3, 0, 2);  // out of range: text real, thumb at the end
    EXPECT_EQ(row.valueLabel()->text(), QStringLiteral("3"));
    EXPECT_EQ(row.slider()->value(), SliderRow::kSteps);
    row.setValue(1, 0, 2);
    Reports r;
    r.attach(row);
    QSlider* slider = row.slider();
    test::dragBy(slider, row.thumbCentre(), {10, 20, 30});
    ASSERT_GE(r.changes.size(), 2u);
    EXPECT_TRUE(r.changes.front().second);
    for (std::size_t i = 1; i < r.changes.size(); ++i) EXPECT_FALSE(r.changes[i].second);
    EXPECT_EQ(r.ends, 1);

    // A click on the groove starts a gesture of its own.
    r = {};
    r.attach(row);
    QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(slider->width() - 3, slider->height() / 2));
    ASSERT_FALSE(r.changes.empty());
    EXPECT_TRUE(r.changes.front().second);
    EXPECT_EQ(r.ends, 1);

    r = {};
    r.attach(row);
    slider->setFocus();
    for (int i = 0; i < 3; ++i) QTest::keyClick(slider, Qt::Key_Left);
    ASSERT_EQ(r.changes.size(), 3u);
    for (const auto& change : r.changes) EXPECT_TRUE(change.second);
    EXPECT_EQ(r.ends, 3);
}

TEST(KeyframeGlyph, HalvesByEaseAndFillBySelection) {
    const KeyframeEase eases[] = {KeyframeEase::linear, KeyframeEase::ease, KeyframeEase::hold};
    const QColor fills[] = {QColor(217, 217, 217), QColor(255, 204, 51)};
    for (KeyframeEase in : eases)
        for (KeyframeEase out : eases) {
            const bool selected = in == out;
            QImage image(24, 24, QImage::Format_ARGB32);
            image.fill(Qt::transparent);
            QPainter p(&image);
            paintKeyframeGlyph(p, QRectF(0, 0, 24, 24), in, out, selected);
            p.end();
            const auto filled = [&](int x, int y) { return qAlpha(image.pixel(x, y)) == 255; };
            // A corner is only in a square half; (4, 5) is in a round or square half, not a pointed one.
            EXPECT_EQ(filled(1, 1), in == KeyframeEase::hold);
            EXPECT_EQ(filled(4, 5), in != KeyframeEase::linear);
            EXPECT_EQ(filled(22, 22), out == KeyframeEase::hold);
            EXPECT_EQ(filled(19, 18), out != KeyframeEase::linear);
            EXPECT_EQ(image.pixelColor(6, 12), fills[selected]);
            EXPECT_EQ(image.pixelColor(17, 12), fills[selected]);
        }
}

TEST(CurveEditor, MovesPointsWithinTheirClamps) {
    const QSizeF size(100, 100);
    const ToneCurve identity;
    const ToneCurve tight{{{0, 0}, {0.5, 0.5}, {0.53, 0.5}, {0.56, 0.6}, {1, 1}}};
    const struct {
        ToneCurve curve;
        int index;
        QPointF at;
        Vec2 expected;
    } cases[] = {
        {identity, 0, {40, 30}, {0, 0.7}},          // the first point moves vertically only
        {identity, 4, {20, 150}, {1, 0}},           // the last too; below the bottom is 0
        {identity, 2, {90, -20}, {0.7, 1}},         // past the right neighbour: its x - 0.05
        {identity, 2, {0, 50}, {0.3, 0.5}},         // past the left neighbour: its x + 0.05
        {tight, 2, {0, 50}, {0.51, 0.5}},           // neighbours 0.06 apart: the upper bound wins
        {ToneCurve{{{0.4, 0.4}}}, 0, {80, 20}, {0, 0.8}},  // a single point
    };
    for (const auto& c : cases) {
        const Vec2 p = movedCurvePoint(c.curve, c.index, c.at, size).points[std::size_t(c.index)];
        EXPECT_NEAR(p.x, c.expected.x, 1e-12);
        EXPECT_NEAR(p.y, c.expected.y, 1e-12);
    }
}

TEST(CurveEditor, APressIsTheFirstChangeAndTheReleaseReportsNothing) {
    test::qtApp<QApplication>();
    CurveEditor editor;
    editor.show();
    std::vector<bool> firsts;
    int ends = 0;
    editor.onChange = [&](const ToneCurve& curve, bool first) {
        firsts.push_back(first);
        editor.setCurve(curve);
    };
    editor.onEnd = [&] { ++ends; };
    for (int round = 0; round < 2; ++round) {
        firsts.clear();
        const QPoint handle = editor.handleCentre(1).toPoint();
        test::dragBy(&editor, handle, {0, 3, 6});
        ASSERT_EQ(firsts.size(), 4u);  // the press and three moves
        EXPECT_TRUE(firsts[0]);
        EXPECT_FALSE(firsts[3]);
        EXPECT_FALSE(editor.dragging().has_value());
    }
    EXPECT_EQ(ends, 2);
}

}  // namespace
}  // namespace qm
