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

TEST(ChineseConversion, TextsAndTheirChoices) {
    const struct { const char* in; bool prefersOriginal; const char* out; std::vector<Strings> options; } cases[] = {
        {"天干物燥", true, "天乾物燥", {{"乾", "幹", "干"}}},  // the phrase's result comes first
        // Only three characters left: the four-character phrase cannot match, the two-character one does.
        {"天干物", true, "天干物", {}},
        // The single-character phrase key "干" is ignored; the character dictionary decides, with the
        // original moved to the front only where that is preferred.
        {"干", true, "干", {{"干", "幹", "乾"}}},
        {"干系", false, "幹系", {{"幹", "乾", "干"}, {"系", "繫", "係"}}},
        // 头 has a single candidate; 系 in 联系 became 繫, so it is reported.
        {"头发", true, "頭髮", {{"髮", "發"}}},
        {"联系", true, "聯繫", {{"繫", "系", "係"}}},
        // 祕密 becomes 秘密 through the variants, the same as the second candidate: no choice.
        {"秘密着", true, "秘密著", {}},
    };
    for (const auto& c : cases) {
        const auto r = convert(makeConverter(c.prefersOriginal), c.in);
        EXPECT_EQ(r.text, c.out) << c.in;
        std::vector<Strings> options;
        for (const auto& choice : r.choices) options.push_back(choice.options);
        EXPECT_EQ(options, c.options) << c.in;
    }
    // Every field of a phrase character's choice and of an ambiguous phrase's.
    EXPECT_EQ(convert(makeConverter(), "头发").choices.at(0), (Choice{0, "发", "髮", {"髮", "發"}, true, "頭髮", 1}));
    EXPECT_EQ(convert(makeConverter(), "后一千").choices.at(1),
              (Choice{1, "一千", "壹仟", {"壹仟", "一千"}, false, "后壹仟", 1}));
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
    const char* results[] = {"后", "發", "後"};  // an override that is no candidate is ignored
    for (std::size_t k = 0; k < 3; ++k) {
        Choice expected = plain.choices[k];
        expected.result = results[k];
        expected.context = "后頭發後";  // every context shows the picks
        EXPECT_EQ(picked.choices[k], expected) << k;
    }
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
