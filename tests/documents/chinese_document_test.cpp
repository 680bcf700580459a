// Converting a Word document: which runs receive the converted text, where phrases and contexts
// stop, and how choices are numbered across paragraphs.
#include <gtest/gtest.h>

#include "documents/chinese_converter.h"
#include "documents/docx_document.h"

namespace qm {
namespace {

using Run = DocxDocument::Run;
using Paragraph = DocxDocument::Paragraph;

ChineseConverter makeConverter() {
    return ChineseConverter(ChineseDictionary::parse("头发\t頭髮\n日历\t日曆表\n发现\t發現\n"),
                            ChineseDictionary::parse("发\t發 髮\n后\t後 后\n头\t頭\n历\t曆 歷\n现\t現\n"),
                            ChineseDictionary::parse(""), true);
}

Run text(std::string s, double size = 10.5, bool bold = false) {
    Run r;
    r.content = Run::Text{std::move(s)};
    r.fontSize = size;
    r.bold = bold;
    return r;
}
Run lineBreak() {
    Run r;
    r.content = Run::LineBreak{};
    return r;
}
Run picture() {
    Run r;
    r.content = Run::Image{nullptr, {40, 20}};
    return r;
}
std::string textOf(const Run& r) { return r.text() ? *r.text() : std::string("<not text>"); }

DocxDocument document(std::vector<std::vector<Run>> paragraphs) {
    DocxDocument d;
    d.textWidth = 300;
    for (auto& runs : paragraphs) {
        Paragraph p;
        p.alignment = DocxDocument::Alignment::center;
        p.runs = std::move(runs);
        d.paragraphs.push_back(std::move(p));
    }
    return d;
}

TEST(ChineseDocument, PhraseAcrossRunsKeepsCharactersInTheirRuns) {
    const auto c = makeConverter();
    const auto doc = document({{text("头", 20, true), text("发后", 12)}});
    const auto [out, choices] = c.convert(doc);
    ASSERT_EQ(out.paragraphs[0].runs.size(), 2u);
    EXPECT_EQ(textOf(out.paragraphs[0].runs[0]), "頭");
    EXPECT_EQ(textOf(out.paragraphs[0].runs[1]), "髮后");
    // Everything but the strings is untouched.
    auto expected = doc;
    std::get<Run::Text>(expected.paragraphs[0].runs[0].content).text = "頭";
    std::get<Run::Text>(expected.paragraphs[0].runs[1].content).text = "髮后";
    EXPECT_EQ(out, expected);
    ASSERT_EQ(choices.size(), 2u);
    EXPECT_EQ(choices[0].source, "发");
    EXPECT_TRUE(choices[0].byPhrase);
    EXPECT_EQ(choices[1].context, "頭髮后");
}

TEST(ChineseDocument, LongerOutputGoesToTheRunOfItsFirstCharacter) {
    const auto c = makeConverter();
    const auto [out, choices] = c.convert(document({{text("日"), text("历"), text(""), text("后")}}));
    const auto& runs = out.paragraphs[0].runs;
    EXPECT_EQ(textOf(runs[0]), "日曆表");
    EXPECT_EQ(textOf(runs[1]), "");  // all its characters went to the earlier run
    EXPECT_EQ(textOf(runs[2]), "");  // empty runs stay empty
    EXPECT_EQ(textOf(runs[3]), "后");
    ASSERT_EQ(choices.size(), 1u);
    EXPECT_EQ(choices[0].contextOffset, 3);
}

TEST(ChineseDocument, PicturesAndLineBreaksSeparateStreams) {
    const auto c = makeConverter();
    const auto [out, choices] =
        c.convert(document({{text("头"), picture(), text("发"), lineBreak(), text("现后")}}));
    const auto& runs = out.paragraphs[0].runs;
    ASSERT_EQ(runs.size(), 5u);
    EXPECT_EQ(textOf(runs[0]), "頭");  // no phrase 头发 across the picture
    EXPECT_FALSE(runs[1].isText());
    EXPECT_EQ(textOf(runs[2]), "發");
    EXPECT_TRUE(std::holds_alternative<Run::LineBreak>(runs[3].content));
    EXPECT_EQ(textOf(runs[4]), "現后");  // no phrase 发现 across the line break
    ASSERT_EQ(choices.size(), 2u);
    EXPECT_EQ(choices[0].source, "发");
    EXPECT_FALSE(choices[0].byPhrase);
    EXPECT_EQ(choices[0].context, "發");  // the context stops at the picture and the break
    EXPECT_EQ(choices[0].contextOffset, 0);
    EXPECT_EQ(choices[1].context, "現后");
}

TEST(ChineseDocument, NumberingRunsThroughParagraphsAndIgnoresOverrides) {
    const auto c = makeConverter();
    const auto doc = document({{text("后头发")}, {}, {picture()}, {text("后"), text("发")}});
    const auto [out, choices] = c.convert(doc);
    ASSERT_EQ(choices.size(), 4u);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(choices[static_cast<std::size_t>(k)].id, k);
    EXPECT_EQ(out.paragraphs[1], doc.paragraphs[1]);
    EXPECT_EQ(out.paragraphs[2], doc.paragraphs[2]);

    // The first paragraph alone yields the same first choices.
    auto first = doc;
    first.paragraphs.resize(1);
    const auto [outFirst, choicesFirst] = c.convert(first);
    ASSERT_EQ(choicesFirst.size(), 2u);
    EXPECT_EQ(choicesFirst[0], choices[0]);
    EXPECT_EQ(choicesFirst[1], choices[1]);

    // Overrides change results, not the choices that arise.
    const auto [picked, pickedChoices] = c.convert(doc, {{1, "發"}, {3, "髮"}});
    EXPECT_EQ(textOf(picked.paragraphs[0].runs[0]), "后頭發");
    EXPECT_EQ(textOf(picked.paragraphs[3].runs[1]), "髮");
    ASSERT_EQ(pickedChoices.size(), choices.size());
    for (std::size_t k = 0; k < choices.size(); ++k) {
        EXPECT_EQ(pickedChoices[k].source, choices[k].source);
        EXPECT_EQ(pickedChoices[k].options, choices[k].options);
    }
}

TEST(ChineseDocument, EmptyConverterLeavesTheDocumentAlone) {
    const ChineseConverter c(ChineseDictionary{}, ChineseDictionary{}, ChineseDictionary{}, false);
    const auto doc = document({{text("头发"), picture(), text("𠀾")}, {text("")}});
    const auto [out, choices] = c.convert(doc);
    EXPECT_EQ(out, doc);
    EXPECT_TRUE(choices.empty());
}

}  // namespace
}  // namespace qm
