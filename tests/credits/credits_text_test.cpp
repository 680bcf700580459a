// Word credits lists laid out into the strip, checked against arithmetic: line boxes, paragraph
// spacing, line-height rules, indents and alignments, bands, inline pictures, fonts, skipped lines
// with their Chinese choices, and the size limit. The documents are written by python-docx.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QFontMetricsF>
#include <QGuiApplication>

#include <cmath>
#include <thread>

#include "credits/credits_fonts.h"
#include "credits/credits_text.h"
#include "credits/strip_builder.h"
#include "credits/strip_test_support.h"
#include "credits/text_column.h"
#include "documents/docx_reader.h"
#include "support/qt_app.h"
#include "support/test_support.h"

namespace qm {
namespace {

using nlohmann::json;

// A 400-point text column on a 1000-pixel canvas at 40 %: one point is one pixel.
CreditsSettings unitScale() {
    CreditsSettings s;
    s.width = 1000;
    s.contentWidthPercent = 40;
    s.textColor = {1, 1, 1};
    return s;
}
const json kPage = {500, 50, 50};
const char* const kFont = "Noto Sans CJK SC";

json run(const std::string& text, double size = 12) { return {{"text", text}, {"size", size}, {"font", kFont}}; }

class CreditsText : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::qtApp<QGuiApplication>(); }

    CreditsStrip build(const json& paragraphs, const CreditsSettings& settings = unitScale(),
                       const ChineseConverter::Overrides& overrides = {}) {
        const auto file = dir_ / ("list" + std::to_string(++count_) + ".docx");
        test::makeDocx({{"page", kPage}, {"paragraphs", paragraphs}}, file);
        return buildStrip(file, settings, overrides);
    }

    // Metrics of the test font at a pixel size, from Qt's font metrics on a 72-dpi device.
    static QFontMetricsF metrics(double size) {
        const QImage device = makeTextImage(1, 1, QImage::Format_ARGB32_Premultiplied);
        QFont font(kFont);
        font.setPointSizeF(size);
        return QFontMetricsF(font, &device);
    }

    test::TempDir dir_;
    int count_ = 0;
};

TEST_F(CreditsText, LineBoxesSpacingAndLineHeightRulesAddUp) {
    const json paragraphs = json::array({
        {{"runs", {run("HHH")}}, {"exact", 30}, {"before", 10}, {"after", 5}},                      // 10…40
        {{"runs", {run("HHH"), {{"break", true}}, run("HHH")}}, {"exact", 20}, {"before", 7}, {"after", 3}},  // 52…92
        {{"runs", json::array()}, {"exact", 40}, {"before", 10}, {"after", 10}},                    // 105…145, empty
        {{"runs", {run("HHH")}}, {"atLeast", 50}},                                                   // 155…205
        {{"runs", {run("HHH", 20)}}, {"multiple", 2.0}},                                             // 205…
    });
    const CreditsStrip strip = build(paragraphs);
    const QFontMetricsF m12 = metrics(12), m20 = metrics(20);
    const double natural20 = m20.ascent() + m20.descent() + m20.leading();
    EXPECT_EQ(strip.width, 400);
    EXPECT_EQ(strip.height, std::ceil(205 + 2 * natural20));
    ASSERT_EQ(strip.tiles.size(), 1u);
    EXPECT_EQ(strip.tiles[0].image.size(), QSize(400, static_cast<int>(strip.height)));

    // Extra height goes above the glyphs: each baseline sits the descent above its box's bottom.
    const QImage& image = strip.tiles[0].image;
    const double d12 = m12.descent() + m12.leading();
    const struct { int from, to; double baseline; } lines[] = {
        {10, 40, 40 - d12}, {52, 72, 72 - d12}, {72, 92, 92 - d12}, {155, 205, 205 - d12},
        {205, image.height(), 205 + 2 * natural20 - m20.descent() - m20.leading()},
    };
    for (const auto& line : lines)  // the bottom of "H" glyphs is their baseline
        EXPECT_NEAR(test::inkBox(image, QRect(0, line.from, 400, line.to - line.from), 127).bottom() + 1, line.baseline, 1.0);
    // The empty paragraph draws nothing but keeps its height and spacing.
    EXPECT_TRUE(test::inkBox(image, QRect(0, 93, 400, 60), 0).isNull());

    // A newline inside a run breaks the line but never starts a paragraph of its own.
    const QFont font(kFont);
    StyledText text;
    for (const char* t : {"A\nB\u2029C", "D"}) text.paragraphs.push_back({{}, {{t, font, Qt::white}}, font, Qt::white});
    const TextColumn column(text, 400);
    ASSERT_EQ(column.lines().size(), 4u);
    EXPECT_EQ(column.lines()[3].paragraph, 1);
}

TEST_F(CreditsText, IndentsAndAlignmentsPlaceEveryLine) {
    const std::string words = "HHHH HHHH HHHH HHHH HHHH HHHH HHHH HHHH HHHH HHHH HHHH HHHH";
    const json paragraphs = json::array({
        {{"runs", {run("HHHH")}}, {"exact", 30}, {"left", 50}},                                    // line 0
        {{"runs", {run(words)}}, {"exact", 30}, {"left", 60}, {"first", -40}},                      // lines 1, 2
        {{"runs", {run("HHHH")}}, {"exact", 30}, {"align", "center"}},                              // line 3
        {{"runs", {run("HHHH")}}, {"exact", 30}, {"align", "right"}, {"right", 30}},                // line 4
        {{"runs", {run(words)}}, {"exact", 30}, {"align", "justify"}},                              // lines 5, 6
        {{"runs", {run("H\tH")}}, {"exact", 30}},                                                  // line 7
    });
    const CreditsStrip strip = build(paragraphs);
    ASSERT_EQ(strip.height, 8 * 30) << "each wrapped paragraph takes two lines";
    const QImage image = test::stripImage(strip);
    auto line = [&](int k) { return test::inkBox(image, QRect(0, 30 * k, image.width(), 30)); };
    const double bearing = metrics(12).leftBearing(u'H');

    EXPECT_NEAR(line(0).left(), 50 + bearing, 1.0);
    EXPECT_NEAR(line(1).left(), 20 + bearing, 1.0);  // first line hangs 40 to the left
    EXPECT_NEAR(line(2).left(), 60 + bearing, 1.0);
    EXPECT_LE(line(1).right(), 400);
    EXPECT_NEAR((line(3).left() + line(3).right() + 1) / 2.0, 200, 1.5);
    EXPECT_NEAR(line(4).right() + 1, 370, 2.0);
    EXPECT_NEAR(line(5).right() + 1, 400, 2.0);  // justified to the full width
    EXPECT_LT(line(6).right(), 300);             // except its last line
    // Tab stops every 28 pixels: the second H starts at the first stop.
    EXPECT_NEAR(test::inkBox(image, QRect(20, 210, 100, 30)).left(), 28 + bearing, 1.0);
}

TEST_F(CreditsText, LongListsAreCutIntoBandsThatJoinWithoutSeams) {
    json paragraphs = json::array();
    for (int i = 0; i < 300; ++i) paragraphs.push_back({{"runs", {run("HHH " + std::to_string(i), 24)}}, {"exact", 30}});
    const CreditsStrip strip = build(paragraphs);  // 300 × 30 = 9000 pixels
    EXPECT_EQ(strip.height, 9000);
    ASSERT_EQ(strip.tiles.size(), 3u);
    const int tops[] = {0, 4096, 8192}, heights[] = {4096, 4096, 808};
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(strip.tiles[i].top == tops[i] && strip.tiles[i].image.size() == QSize(400, heights[i])) << i;
    // Line 136 (rows 4080…4110) crosses the first band edge: both halves match one drawing of it.
    const TextColumn column(attributedParagraph(loadDocx(dir_ / "list1.docx").paragraphs, 1, unitScale()), 400);
    QImage whole = makeTextImage(400, 60, CreditsStrip::kTileFormat);
    column.drawBand(whole, 4066);
    const QImage joined = test::stripImage(strip).copy(0, 4066, 400, 60);
    EXPECT_FALSE(test::inkBox(whole, whole.rect()).isNull());
    EXPECT_EQ(joined, whole);
}

TEST_F(CreditsText, InlinePicturesSitOnTheBaselineAtTheirScaledSizeAndAreKeyedOnRequest) {
    // A 60 × 40 picture, white with a red 20 × 20 square, shown at 60 × 40 points at two pixels
    // a point.
    const auto logo = dir_ / "logo.png";
    test::ffmpeg({"-f", "lavfi", "-i", "color=white:s=60x40", "-vf",
                  "drawbox=x=20:y=10:w=20:h=20:color=red:t=fill", "-frames:v", "1", logo.string()});
    const json paragraphs = json::array(
        {{{"runs", {run("H"), {{"picture", logo.string()}, {"pw", 60}, {"ph", 40}}}}, {"exact", 200}}});
    CreditsSettings settings = unitScale();
    settings.width = 2000;
    settings.textColor = {0, 0, 1};  // blue text, so the picture is what holds red
    for (const auto mode : {CreditsSettings::LogoMode::original, CreditsSettings::LogoMode::removeWhite,
                            CreditsSettings::LogoMode::white}) {
        settings.logoMode = mode;
        const QImage image = test::stripImage(build(paragraphs, settings));
        const double baseline = 400 - metrics(24).descent() - metrics(24).leading();
        const QRect picture = test::inkBox(image, image.rect(), 127, qRed);
        SCOPED_TRACE(static_cast<int>(mode));
        if (mode == CreditsSettings::LogoMode::original) {
            EXPECT_EQ(picture.size(), QSize(120, 80));
            EXPECT_NEAR(picture.bottom() + 1, baseline, 1.0);
            EXPECT_EQ(image.pixelColor(picture.left() + 5, picture.top() + 5), QColor(Qt::white));
        } else {
            // The white paper is gone; the square stays, red or made white.
            EXPECT_NEAR(picture.width() + picture.height(), 80, 3);
            EXPECT_NEAR(picture.bottom() + 1, baseline - 20, 2.0);
            const QColor centre = image.pixelColor(picture.center());
            EXPECT_EQ(centre.alpha(), 255);
            if (mode == CreditsSettings::LogoMode::white)
                EXPECT_EQ(centre, QColor(Qt::white));
            else
                EXPECT_TRUE(centre.red() > 240 && centre.green() < 15 && centre.blue() < 15) << centre.name().toStdString();
        }
    }
}

TEST_F(CreditsText, FontsFollowTheTablesAndTheConversion) {
    const auto file = dir_ / "fonts.docx";
    test::makeDocx({{"paragraphs",
                     {{{"runs",
                        {{{"text", "a"}, {"font", "Microsoft YaHei"}},
                         {{"text", "b"}, {"font", "宋体"}},
                         {{"text", "c"}, {"font", "KaiTi"}},
                         {{"text", "d"}, {"font", kFont}, {"bold", true}, {"italic", true}},
                         {{"text", "e"}, {"size", 0}}}}}}}},
                   file);
    const DocxDocument document = loadDocx(file);
    ASSERT_EQ(document.paragraphs.at(0).runs.size(), 5u);
    using D = ChineseConverter::Direction;
    const struct { std::string userFamily; D direction; std::vector<std::string> families; } cases[] = {
        {"", D::none, {"Noto Sans CJK SC", "Noto Serif CJK SC", "AR PL UKai CN", kFont, "Noto Sans CJK SC"}},
        {"", D::toTraditional, {"Noto Sans CJK TC", "Noto Serif CJK TC", "AR PL UKai TW", "Noto Sans CJK TC", "Noto Sans CJK TC"}},
        {"No Such Family", D::toTraditional, std::vector<std::string>(5, "Noto Sans CJK SC")},
        {"Songti TC", D::toSimplified, std::vector<std::string>(5, "Noto Serif CJK TC")},
    };
    for (const auto& c : cases) {
        CreditsSettings settings = unitScale();
        settings.fontFamily = c.userFamily;
        settings.chineseConversion = c.direction;
        const auto spans = attributedParagraph(document.paragraphs, 1, settings).paragraphs.at(0).spans;
        ASSERT_EQ(spans.size(), 5u);
        for (std::size_t i = 0; i < 5; ++i)
            EXPECT_EQ(QFontInfo(spans[i].font).family().toStdString(), c.families[i]) << c.userFamily << " run " << i;
    }
    const auto spans = attributedParagraph(document.paragraphs, 1, unitScale()).paragraphs.at(0).spans;
    EXPECT_TRUE(QFontInfo(spans[3].font).bold());
    EXPECT_FALSE(QFontInfo(spans[3].font).italic()) << "the family has no italic face";
    EXPECT_EQ(spans[4].font.pointSizeF(), 1) << "a size of 0 draws at one pixel";
}

TEST_F(CreditsText, SkippedLinesTakeTheirChoicesAlongAndKeepTheOthersIds) {
    const json paragraphs = json::array({
        {{"runs", {run("")}}}, {{"runs", {run("导演 发")}}}, {{"runs", {run("摄影 后")}}},
        {{"runs", {run("灯光 发 后")}}}, {{"runs", {run("剪辑")}}},
    });
    CreditsSettings settings = unitScale();
    settings.chineseConversion = ChineseConverter::Direction::toTraditional;
    const CreditsStrip all = build(paragraphs, settings);
    ASSERT_EQ(all.choices.size(), 4u);

    settings.skipLeadingLines = 2;
    const ChineseConverter::Overrides overrides{{3, "後"}};
    const CreditsStrip skipped = build(paragraphs, settings, overrides);
    ASSERT_EQ(skipped.choices.size(), 2u);
    EXPECT_EQ(skipped.choices[0].id, 2);
    EXPECT_EQ(skipped.choices[1].id, 3);
    EXPECT_EQ(skipped.choices[1].result, "後");
    EXPECT_LT(skipped.height, all.height);

    settings.chineseConversion = ChineseConverter::Direction::none;
    EXPECT_TRUE(build(paragraphs, settings, overrides).choices.empty());
}

TEST_F(CreditsText, BuildsOnWorkerThreadsMatchTheMainThread) {
    json paragraphs = json::array();
    for (int i = 0; i < 40; ++i)
        paragraphs.push_back({{"runs", {run("导演 Director " + std::to_string(i), 14)}}, {"align", "center"}});
    const CreditsStrip here = build(paragraphs);
    CreditsStrip there[2];
    {
        const auto file = dir_ / ("list" + std::to_string(count_) + ".docx");
        auto work = [&](CreditsStrip& strip) { strip = buildStrip(file, unitScale(), {}); };
        std::jthread a(work, std::ref(there[0])), b(work, std::ref(there[1]));
    }
    EXPECT_TRUE(there[0] == here && there[1] == here);
}

TEST_F(CreditsText, EmptyListsGiveNoTilesAndErrorsCarryTheirTexts) {
    const CreditsStrip empty = build(json::array(), unitScale());
    EXPECT_TRUE(empty.tiles.empty());
    EXPECT_EQ(empty.width, 400);

    test::writeFile(dir_ / "list.doc", "not a document");  // read as Word
    EXPECT_ANY_THROW(buildStrip(dir_ / "list.doc", unitScale(), {}));
    test::writeFile(dir_ / "LIST.PDF", "%PDF-1.4 not really");
    EXPECT_EQ(test::buildError(dir_ / "LIST.PDF", unitScale()), "The PDF has no pages that can be read.");

    // 4000 lines at 400 % in a 9830-pixel column: gigabytes, refused before any bitmap is made.
    json paragraphs = json::array();
    for (int i = 0; i < 4000; ++i) paragraphs.push_back({{"runs", {run("Name " + std::to_string(i))}}});
    CreditsSettings huge = unitScale();
    huge.width = 16384;
    huge.contentWidthPercent = 60;
    huge.textScalePercent = 400;
    test::makeDocx({{"page", kPage}, {"paragraphs", paragraphs}}, dir_ / "long.docx");
    test::expectRefusedAsTooLarge(dir_ / "long.docx", huge);
}

TEST_F(CreditsText, LayoutStopsWhereTheColumnPassesItsLimit) {
    // 2000 lines in one paragraph and 2000 paragraphs: laid out only until the column passes 100
    // pixels, so a list far too tall costs no more than one that just fits.
    const QFont font(kFont);
    StyledText oneParagraph, manyParagraphs;
    QString lines;
    for (int i = 0; i < 2000; ++i) {
        lines += QString("Name %1\u2028").arg(i);
        manyParagraphs.paragraphs.push_back({{}, {{QString("Name %1").arg(i), font, Qt::white}}, font, Qt::white});
    }
    oneParagraph.paragraphs.push_back({{}, {{lines, font, Qt::white}}, font, Qt::white});
    for (const StyledText* text : {&oneParagraph, &manyParagraphs}) {
        const TextColumn whole(*text, 400);
        EXPECT_TRUE(whole.complete());
        EXPECT_GE(whole.lines().size(), 2000u);
        const TextColumn cut(*text, 400, 100);
        EXPECT_FALSE(cut.complete());
        ASSERT_FALSE(cut.lines().empty());
        EXPECT_LE(cut.lines().back().top, 100);
        EXPECT_LT(cut.lines().size(), 20u);
    }
}

}  // namespace
}  // namespace qm
