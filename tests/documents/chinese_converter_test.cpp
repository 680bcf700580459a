// Conversion rules of the Chinese converter on small hand-made dictionaries: longest phrase first,
// ambiguous choices and their numbering, contexts, overrides and characters outside the BMP.
#include <gtest/gtest.h>

#include <thread>

#include "documents/chinese_converter.h"
#include "support/test_support.h"

namespace qm {
namespace {

using Choice = ChineseConverter::Choice;
using Direction = ChineseConverter::Direction;
using Strings = std::vector<std::string>;

const char* kPhrases =
    "头发\t頭髮\n"
    "干\t榦\n"                 // single-character phrase keys are never matched
    "天干\t天干\n"
    "天干物燥\t天乾物燥\n"
    "一千\t壹仟 一千\n"
    "秘密\t祕密 秘密\n"        // the same text twice once variants are applied
    "日历\t日曆表\n"            // output longer than the phrase
    "𠀾𠁞\t𠁞𠀾\n"
    "联系\t聯繫\n";
const char* kCharacters =
    "发\t發 髮\n"
    "干\t幹 乾 干\n"
    "后\t後 后\n"
    "头\t頭\n"
    "联\t聯\n"
    "系\t系 繫 係\n"
    "里\t裏 里\n"
    "着\t著 着\n"
    "𠀾\t𠁞\n"
    "中文\t中文\n";            // not a single character: dropped
const char* kVariants =
    "裏\t裡\n"
    "着\t著\n"
    "祕\t秘\n"
    "污\t汙汙 汙\n";           // first value is two characters: dropped

ChineseConverter makeConverter(bool prefersOriginal = true) {
    return ChineseConverter(ChineseDictionary::parse(kPhrases), ChineseDictionary::parse(kCharacters),
                            ChineseDictionary::parse(kVariants), prefersOriginal);
}

struct Converted {
    std::string text;
    std::vector<Choice> choices;
};

Converted convert(const ChineseConverter& c, std::string_view text, const ChineseConverter::Overrides& ov = {}) {
    Converted r;
    int next = 0;
    r.text = c.convertText(text, next, ov, &r.choices);
    EXPECT_EQ(next, static_cast<int>(r.choices.size()));
    return r;
}

TEST(ChineseConverterTables, BuiltFromTheThreeDictionaries) {
    const auto c = makeConverter();
    ASSERT_TRUE(c.phraseLengths().find("天") && c.phraseLengths().find("干") && c.phraseLengths().find("𠀾"));
    EXPECT_EQ(*c.phraseLengths().find("天"), 4);
    EXPECT_EQ(*c.phraseLengths().find("干"), 1);
    EXPECT_EQ(*c.phraseLengths().find("𠀾"), 2);
    EXPECT_FALSE(c.phraseLengths().find("物"));
    EXPECT_FALSE(c.characters().find("中文"));
    EXPECT_TRUE(c.characters().find("𠀾"));
    EXPECT_EQ(c.variants().size(), 3u);
    EXPECT_FALSE(c.variants().contains("污"));
    // Candidates pass through the variants and each text appears once.
    EXPECT_EQ(Strings(c.characterOptions("里")->begin(), c.characterOptions("里")->end()), (Strings{"裡", "里"}));
    EXPECT_EQ(Strings(c.characterOptions("着")->begin(), c.characterOptions("着")->end()), Strings{"著"});
    EXPECT_FALSE(c.characterOptions("中"));
    EXPECT_EQ(c.applyingVariants("裏着污𠀾"), "裡著污𠀾");
}

TEST(ChineseConversion, LongestPhraseWinsAndOnlyWhereItFits) {
    const auto c = makeConverter();
    EXPECT_EQ(convert(c, "天干物燥").text, "天乾物燥");
    // Only three characters left: the four-character phrase cannot match, the two-character one does.
    const auto r = convert(c, "天干物");
    EXPECT_EQ(r.text, "天干物");
    EXPECT_TRUE(r.choices.empty());
    // The single-character phrase key "干" is ignored; the character dictionary decides.
    const auto lone = convert(c, "干");
    ASSERT_EQ(lone.choices.size(), 1u);
    EXPECT_EQ(lone.choices[0].options, (Strings{"干", "幹", "乾"}));  // the original moved to the front
    EXPECT_EQ(lone.text, "干");
}

TEST(ChineseConversion, OriginalFirstOnlyWhenPreferred) {
    const auto c = makeConverter(false);
    const auto r = convert(c, "干系");
    EXPECT_EQ(r.text, "幹系");
    ASSERT_EQ(r.choices.size(), 2u);
    EXPECT_EQ(r.choices[0].options, (Strings{"幹", "乾", "干"}));
    EXPECT_EQ(r.choices[1].options, (Strings{"系", "繫", "係"}));
}

TEST(ChineseConversion, PhraseReportsItsAmbiguousCharacters) {
    const auto c = makeConverter();
    const auto r = convert(c, "头发");
    EXPECT_EQ(r.text, "頭髮");
    ASSERT_EQ(r.choices.size(), 1u);  // 头 has a single candidate
    const Choice expected{0, "发", "髮", {"髮", "發"}, true, "頭髮", 1};
    EXPECT_EQ(r.choices[0], expected);
    EXPECT_EQ(std::hash<Choice>{}(r.choices[0]), std::hash<Choice>{}(expected));
    Choice other = expected;
    other.contextOffset = 0;
    EXPECT_NE(other, expected);
    // A phrase character that stays the same is not reported: 系 in 联系 became 繫, so it is.
    const auto r2 = convert(c, "联系");
    ASSERT_EQ(r2.choices.size(), 1u);
    EXPECT_EQ(r2.choices[0].options, (Strings{"繫", "系", "係"}));
    EXPECT_TRUE(r2.choices[0].byPhrase);
}

TEST(ChineseConversion, AmbiguousPhraseIsOneChoice) {
    const auto c = makeConverter();
    const auto r = convert(c, "后一千");
    EXPECT_EQ(r.text, "后壹仟");
    ASSERT_EQ(r.choices.size(), 2u);
    const Choice expected{1, "一千", "壹仟", {"壹仟", "一千"}, false, "后壹仟", 1};
    EXPECT_EQ(r.choices[1], expected);
}

TEST(ChineseConversion, DuplicateCandidatesNeverMakeAChoice) {
    const auto c = makeConverter();
    // 祕密 becomes 秘密 through the variants, the same as the second candidate.
    const auto r = convert(c, "秘密着");
    EXPECT_EQ(r.text, "秘密著");
    EXPECT_TRUE(r.choices.empty());
}

TEST(ChineseConversion, OutputOfAnotherLengthHasNoChoicesInside) {
    const auto c = makeConverter();
    ChineseConverter::CharacterStream stream;
    stream.append("日");
    stream.append("历发");
    int next = 0;
    const auto r = c.convertCharacters(stream, next, {});
    ASSERT_EQ(r.segments.size(), 2u);
    EXPECT_EQ(r.segments[0], (ChineseConverter::Segment{0, 2, "日曆表"}));
    EXPECT_EQ(r.segments[1], (ChineseConverter::Segment{2, 3, "發"}));
    ASSERT_EQ(r.choices.size(), 1u);
    EXPECT_EQ(r.choices[0].contextOffset, 3);  // counted in output characters
    EXPECT_EQ(r.choices[0].context, "日曆表發");
}

TEST(ChineseConversion, CharactersOutsideTheBmp) {
    const auto c = makeConverter();
    EXPECT_EQ(convert(c, "𠀾𠁞𠀾").text, "𠁞𠀾𠁞");
    // A character with a combining mark is a different character: it is not looked up as 后.
    const auto r = convert(c, "后\xCC\x81发");
    EXPECT_EQ(r.text, "后\xCC\x81發");
    ASSERT_EQ(r.choices.size(), 1u);
    EXPECT_EQ(r.choices[0].contextOffset, 1);
    EXPECT_EQ(r.choices[0].context, "后\xCC\x81發");
}

TEST(ChineseConversion, IllFormedInputBecomesReplacementCharacters) {
    const auto c = makeConverter();
    const auto r = convert(c, "头\xFF发\xE5");
    EXPECT_EQ(r.text, "頭\uFFFD發\uFFFD");
    ASSERT_EQ(r.choices.size(), 1u);
    EXPECT_EQ(r.choices[0].context, "頭\uFFFD發\uFFFD");
}

TEST(ChineseConversion, ContextIsEightCharactersEitherSide) {
    const auto c = makeConverter();
    // The results sit at output positions 2 and 20 of a 30-character stream.
    const auto r = convert(c, "ab后defghijklmnopqrst后uvwxyz012");
    ASSERT_EQ(r.choices.size(), 2u);
    EXPECT_EQ(r.choices[0].context, "ab后defghijk");
    EXPECT_EQ(r.choices[0].contextOffset, 2);
    EXPECT_EQ(r.choices[1].context, "mnopqrst后uvwxyz01");
    EXPECT_EQ(r.choices[1].contextOffset, 8);
    EXPECT_EQ(r.choices[0].id, 0);
    EXPECT_EQ(r.choices[1].id, 1);
}

TEST(ChineseConversion, OverridesChangeResultsButNotNumbering) {
    const auto c = makeConverter();
    const auto plain = convert(c, "后头发后");
    EXPECT_EQ(plain.text, "后頭髮后");
    ASSERT_EQ(plain.choices.size(), 3u);

    const ChineseConverter::Overrides ov{{0, "not a candidate"}, {1, "發"}, {2, "後"}, {7, "後"}};
    const auto picked = convert(c, "后头发后", ov);
    EXPECT_EQ(picked.text, "后頭發後");
    ASSERT_EQ(picked.choices.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(picked.choices[k].id, plain.choices[k].id);
        EXPECT_EQ(picked.choices[k].source, plain.choices[k].source);
        EXPECT_EQ(picked.choices[k].options, plain.choices[k].options);
        EXPECT_EQ(picked.choices[k].byPhrase, plain.choices[k].byPhrase);
        EXPECT_EQ(picked.choices[k].context, "后頭發後");  // every context shows the picks
    }
    EXPECT_EQ(picked.choices[0].result, "后");
    EXPECT_EQ(picked.choices[1].result, "發");
    EXPECT_EQ(picked.choices[2].result, "後");
}

TEST(ChineseConversion, MultiCharacterCandidateInsideAPhraseStaysWellFormed) {
    const ChineseConverter c(ChineseDictionary::parse("头发后\t頭髮後\n"),
                             ChineseDictionary::parse("发\t發 髮 發髮\n后\t後 后\n"), {}, true);
    const auto plain = convert(c, "头发后x");
    ASSERT_EQ(plain.choices.size(), 2u);
    const auto r = convert(c, "头发后x", {{0, "發髮"}});
    EXPECT_EQ(r.text, "頭發髮後x");
    ASSERT_EQ(r.choices.size(), 2u);
    EXPECT_EQ(r.choices[1].source, "后");
    EXPECT_EQ(r.choices[1].options, plain.choices[1].options);
    // The later result moved one character to the right.
    EXPECT_EQ(r.choices[1].contextOffset, 3);
    EXPECT_EQ(r.choices[1].context, "頭發髮後x");
}

TEST(ChineseConverterConstruction, DirectionsPickTheirDictionaries) {
    test::TempDir dir;
    test::writeFile(dir / "OpenCC-STPhrases.txt", "头发\t頭髮\n");
    test::writeFile(dir / "OpenCC-STCharacters.txt", "发\t發 髮\n着\t着\n");
    test::writeFile(dir / "OpenCC-TWVariants.txt", "着\t著\n");
    test::writeFile(dir / "OpenCC-TSCharacters.txt", "髮\t发\n著\t着\n");
    EXPECT_EQ(ChineseConverter::dictionaryURL("Nope", dir.path()), dir / "OpenCC-Nope.txt");

    EXPECT_EQ(ChineseConverter::make(Direction::none, dir.path()), nullptr);
    const auto t = ChineseConverter::make(Direction::toTraditional, dir.path());
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->prefersOriginal());
    int next = 0;
    EXPECT_EQ(t->convertText("头发着", next), "頭髮著");

    const auto s = ChineseConverter::make(Direction::toSimplified, dir.path());
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->prefersOriginal());
    EXPECT_TRUE(s->phrases().empty());  // no TSPhrases file
    EXPECT_TRUE(s->variants().empty());
    EXPECT_EQ(s->convertText("頭髮著", next), "頭发着");

    // Without a character dictionary, characters outside phrases only go through the variants.
    std::filesystem::remove(dir / "OpenCC-STCharacters.txt");
    const auto v = ChineseConverter::make(Direction::toTraditional, dir.path());
    EXPECT_TRUE(v->characters().empty());
    EXPECT_EQ(v->convertText("着发头发", next), "著发頭髮");
}

TEST(ChineseConverterDirection, RawValuesAndTitles) {
    for (Direction d : ChineseConverter::allDirections)
        EXPECT_EQ(ChineseConverter::directionFromRawValue(ChineseConverter::rawValue(d)), d);
    EXPECT_EQ(ChineseConverter::rawValue(Direction::toTraditional), "toTraditional");
    EXPECT_FALSE(ChineseConverter::directionFromRawValue("traditional"));
    EXPECT_FALSE(ChineseConverter::directionFromRawValue("None"));
    EXPECT_EQ(ChineseConverter::title(Direction::none), QString("Don't convert"));
    EXPECT_EQ(ChineseConverter::title(Direction::toTraditional), QString("Simplified → Traditional"));
    EXPECT_EQ(ChineseConverter::title(Direction::toSimplified), QString("Traditional → Simplified"));
}

TEST(ChineseConverterCache, OneSharedConverterPerDirection) {
    EXPECT_EQ(ChineseConverter::shared(Direction::none), nullptr);
    ASSERT_TRUE(ChineseConverter::resourceDirectory()) << "the build installs the dictionaries";

    std::vector<std::shared_ptr<const ChineseConverter>> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < seen.size(); ++k) {
        threads.emplace_back([&seen, k] {
            seen[k] = ChineseConverter::shared(k % 2 ? Direction::toTraditional : Direction::toSimplified);
        });
    }
    for (auto& t : threads) t.join();
    for (std::size_t k = 2; k < seen.size(); ++k) EXPECT_EQ(seen[k], seen[k % 2]);
    EXPECT_NE(seen[0], seen[1]);
    EXPECT_EQ(seen[1], ChineseConverter::shared(Direction::toTraditional));

    int next = 0;
    EXPECT_EQ(seen[1]->convertText("头发𠀾", next), "頭髮𠁞");
    EXPECT_EQ(seen[0]->convertText("頭髮", next), "头发");
}

TEST(ChineseConverterCache, ConvertsOnSeveralThreadsAtOnce) {
    const auto c = ChineseConverter::shared(Direction::toTraditional);
    const std::string text = "我们在头发后面发现了一个干净的理发店，联系方式在这里。";
    int next = 0;
    std::vector<Choice> expected;
    const std::string once = c->convertText(text, next, {}, &expected);
    std::vector<std::thread> threads;
    std::vector<int> good(4, 0);
    for (int k = 0; k < 4; ++k) {
        threads.emplace_back([&, k] {
            for (int round = 0; round < 200; ++round) {
                int n = 0;
                std::vector<Choice> choices;
                if (c->convertText(text, n, {}, &choices) == once && choices == expected) ++good[k];
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int g : good) EXPECT_EQ(g, 200);
}

}  // namespace
}  // namespace qm
