// A Simplified Chinese credits list converted to Traditional and laid out into the strip, read
// back by tesseract: the Traditional forms and the English lines must be there.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QPainter>

#include "credits/strip_builder.h"
#include "credits/strip_test_support.h"
#include "support/qt_app.h"
#include "support/test_support.h"

namespace qm {
namespace {

using nlohmann::json;

TEST(CreditsOCR, TesseractReadsTheConvertedListBack) {
    test::qtApp<QGuiApplication>();
    test::TempDir dir;
    const std::pair<const char*, const char*> lines[] = {
        {"导演", "導演"}, {"摄影指导", "攝影指導"}, {"灯光", "燈光"}, {"剪辑", "剪輯"}, {"音乐", "音樂"},
    };
    const char* const english[] = {"Director", "Camera", "Lighting", "Editor", "Music"};
    json paragraphs = json::array();
    for (std::size_t i = 0; i < std::size(lines); ++i) {
        paragraphs.push_back({{"runs", {{{"text", lines[i].first}, {"size", 20}, {"font", "Microsoft YaHei"}}}}, {"after", 8}});
        paragraphs.push_back({{"runs", {{{"text", english[i]}, {"size", 16}}}}, {"after", 16}});
    }
    test::makeDocx({{"paragraphs", paragraphs}}, dir / "list.docx");

    CreditsSettings settings;
    settings.chineseConversion = ChineseConverter::Direction::toTraditional;
    settings.textColor = {0, 0, 0};
    const CreditsStrip strip = buildStrip(dir / "list.docx", settings, {});
    QImage page = test::stripImage(strip);
    QImage onWhite(page.size(), QImage::Format_RGB32);
    onWhite.fill(Qt::white);
    QPainter(&onWhite).drawImage(0, 0, page);
    ASSERT_TRUE(onWhite.save(QString::fromStdString((dir / "strip.png").string())));

    // One thread: tesseract's OpenMP threads crawl when the other tests keep the cores busy.
    const auto result = test::run({"/usr/bin/env", "OMP_THREAD_LIMIT=1", "tesseract", (dir / "strip.png").string(),
                                   "stdout", "-l", "chi_tra+eng", "--psm", "6"});
    ASSERT_EQ(result.exitCode, 0);
    std::string text;
    for (char c : result.output)
        if (c != ' ') text += c;
    for (const auto& [simplified, traditional] : lines) {
        EXPECT_NE(text.find(traditional), std::string::npos) << traditional << " in:\n" << result.output;
        EXPECT_EQ(text.find(simplified), std::string::npos) << simplified;
    }
    for (const char* word : english) EXPECT_NE(text.find(word), std::string::npos) << word << " in:\n" << result.output;
}

}  // namespace
}  // namespace qm
