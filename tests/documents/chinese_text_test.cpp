// Character (grapheme cluster) handling and the dictionary file reader of the Chinese converter.
#include <gtest/gtest.h>

#include <QString>
#include <QTextBoundaryFinder>

#include "documents/chinese_dictionary.h"
#include "documents/chinese_text.h"
#include "support/test_support.h"

namespace qm {
namespace {

using chinese::characterBounds;
using chinese::characterCount;

std::vector<std::string> values(const ChineseDictionary& d, std::string_view key) {
    std::vector<std::string> out;
    if (auto v = d.find(key)) {
        for (auto s : *v) out.emplace_back(s);
    }
    return out;
}

// Boundaries in UTF-8 bytes as Qt's own grapheme segmentation sees them.
std::vector<std::uint32_t> qtBounds(const std::string& text) {
    std::vector<std::uint32_t> out{0};
    const QString s = QString::fromStdString(text);
    QTextBoundaryFinder f(QTextBoundaryFinder::Grapheme, s);
    qsizetype p;
    while ((p = f.toNextBoundary()) != -1) {
        if (p == 0) continue;
        out.push_back(static_cast<std::uint32_t>(s.left(p).toUtf8().size()));
    }
    return out;
}

TEST(ChineseText, Utf8ValidationRejectsMalformedInput) {
    EXPECT_TRUE(chinese::isValidUtf8("abc \xE4\xB8\xAD \xF0\xA0\x80\xBE"));  // 中 and U+2003E
    EXPECT_FALSE(chinese::isValidUtf8("\xC0\xAF"));                          // overlong '/'
    EXPECT_FALSE(chinese::isValidUtf8("\xE0\x80\xAF"));                      // overlong
    EXPECT_FALSE(chinese::isValidUtf8("\xED\xA0\x80"));                      // UTF-16 surrogate
    EXPECT_FALSE(chinese::isValidUtf8("\xF4\x90\x80\x80"));                  // past U+10FFFF
    EXPECT_FALSE(chinese::isValidUtf8("\xE4\xB8"));                          // truncated
    EXPECT_FALSE(chinese::isValidUtf8("\x80"));                              // stray continuation
    EXPECT_FALSE(chinese::isValidUtf8("\xFF"));
    EXPECT_EQ(chinese::toValidUtf8("a\xE4\xB8\xAD\xFF\xE4\xB8"), "a中\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(chinese::toValidUtf8("𠀾"), "𠀾");
}

TEST(ChineseText, CharactersAreGraphemeClustersNotCodeUnits) {
    EXPECT_EQ(characterCount("a\r\nb"), 3u);      // CR LF is one character
    EXPECT_EQ(characterCount("👩‍💻中"), 2u);        // emoji ZWJ sequence
    EXPECT_EQ(characterCount(""), 0u);
    EXPECT_TRUE(chinese::isSingleCharacter("𠀾"));
    EXPECT_TRUE(chinese::isSingleCharacter("e\xCC\x81"));
    EXPECT_FALSE(chinese::isSingleCharacter("中文"));
    EXPECT_FALSE(chinese::isSingleCharacter(""));
    EXPECT_EQ(chinese::firstCharacter("𠀾中"), "𠀾");
    EXPECT_EQ(chinese::firstCharacter("e\xCC\x81中"), "e\xCC\x81");
    EXPECT_EQ(characterBounds("中𠀾a"), (std::vector<std::uint32_t>{0, 3, 7, 8}));
    EXPECT_EQ(characterBounds(""), (std::vector<std::uint32_t>{0}));
}

// The quick path for common CJK text must agree with the full segmentation rules.
TEST(ChineseText, SegmentationAgreesWithQtAcrossScripts) {
    const std::vector<char32_t> samples{
        0x41, 0x0A, 0x09, 0x0D, 0xA9, 0xAD, 0x300, 0x2014, 0x200D, 0x203C, 0x2E80, 0x3000, 0x3001, 0x302A,
        0x3030, 0x3041, 0x3099, 0x309B, 0x30FC, 0x31C0, 0x3297, 0x3400, 0x4E2D, 0x9FFF, 0xAC00, 0x1100,
        0x1161, 0xF900, 0xFE0F, 0xFE10, 0xFE50, 0xFF01, 0xFF9E, 0xFFE0, 0x1F1E8, 0x1F1F3, 0x1F600, 0x1F3FB,
        0x20000, 0x2A6D6, 0x2F800, 0x30000, 0xE0100};
    for (char32_t a : samples) {
        for (char32_t b : samples) {
            for (char32_t c : {char32_t(0x4E2D), char32_t(0x0301), char32_t(0x1F1E8)}) {
                std::string s;
                chinese::appendCodePoint(s, a);
                chinese::appendCodePoint(s, b);
                chinese::appendCodePoint(s, c);
                EXPECT_EQ(characterBounds(s), qtBounds(s)) << std::hex << std::uint32_t(a) << " " << std::uint32_t(b) << " " << std::uint32_t(c);
            }
        }
    }
}

TEST(ChineseDictionaryFile, LineRules) {
    const std::string text =
        "# a comment\n"
        "\n"
        "甲\t\n"                 // key and TAB, nothing after: skipped
        "乙\t   \n"              // only spaces after the TAB: skipped
        "\t\t丙\t一\n"           // leading TABs passed over
        "丁\t一  二\r\n"         // two spaces give two values; CR LF ends the line
        " #戊\t三\r"             // not a comment: the line begins with a space; CR ends the line
        "己 己\t四\t五 六\xE2\x80\xA8"  // key with a space; the further TAB stays in the value
        "庚\t七\xE2\x80\xA9"
        "辛\n"                   // no TAB: skipped
        "庚\t八 九\n"            // a later line replaces an earlier one
        "𠀾\t𠁞";                // last line without a terminator
    const auto d = ChineseDictionary::parse(text);
    EXPECT_EQ(d.size(), 6u);
    EXPECT_FALSE(d.find("甲"));
    EXPECT_FALSE(d.find("乙"));
    EXPECT_FALSE(d.find("辛"));
    EXPECT_FALSE(d.find("# a comment"));
    EXPECT_EQ(values(d, "丙"), std::vector<std::string>{"一"});
    EXPECT_EQ(values(d, "丁"), (std::vector<std::string>{"一", "二"}));
    EXPECT_EQ(values(d, " #戊"), std::vector<std::string>{"三"});
    EXPECT_EQ(values(d, "己 己"), (std::vector<std::string>{"四\t五", "六"}));
    EXPECT_EQ(values(d, "庚"), (std::vector<std::string>{"八", "九"}));
    EXPECT_EQ(values(d, "𠀾"), std::vector<std::string>{"𠁞"});
}

TEST(ChineseDictionaryFile, UnreadableOrInvalidFilesGiveEmptyDictionaries) {
    test::TempDir dir;
    EXPECT_TRUE(ChineseDictionary::load(std::nullopt).empty());
    EXPECT_TRUE(ChineseDictionary::load(dir / "missing.txt").empty());
    EXPECT_TRUE(ChineseDictionary::load(dir.path()).empty());
    test::writeFile(dir / "bad.txt", "中\t中\n\xFF\xFE\t x\n");
    EXPECT_TRUE(ChineseDictionary::load(dir / "bad.txt").empty());
    test::writeFile(dir / "good.txt", "\xEF\xBB\xBF中\t中 仲\n");
    const auto d = ChineseDictionary::load(dir / "good.txt");
    EXPECT_EQ(values(d, "中"), (std::vector<std::string>{"中", "仲"}));
}

}  // namespace
}  // namespace qm
