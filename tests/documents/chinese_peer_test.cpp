// Our Simplified -> Traditional and Traditional -> Simplified output next to the `opencc` command
// (configurations s2tw.json and t2s.json, which use the same dictionaries) on a corpus made at test
// time from the dictionaries' own entries and some ordinary sentences.
//
// Both programs take the longest phrase first. The one place where they part by design is the
// Simplified -> Traditional converter's preference for the original character: a character
// converted on its own that is itself one of its candidates stays as it is, where opencc takes the
// dictionary's first candidate. Every such place is an ambiguous choice, so picking the first
// candidate through an override must give exactly opencc's line.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "documents/chinese_converter.h"
#include "documents/chinese_text.h"
#include "support/test_support.h"

namespace qm {
namespace {

using Direction = ChineseConverter::Direction;

const char* const kSentences[] = {
    "我们在头发后面发现了一个干净的理发店，联系方式在这里。",
    "这部电影的后期制作由三家公司共同完成，总共花了两年时间。",
    "导演：张艺谋　　摄影指导：赵小丁　　剪辑：李岩",
    "感谢所有参与拍摄的演员和工作人员，没有你们就没有这部作品。",
    "特别鸣谢：北京电影学院、上海国际电影节组委会、中国电影资料馆",
    "他一边干活一边唱歌，干得很起劲，把桌子擦得干干净净。",
    "面条里放了很多面粉做的小面团，味道还不错。",
    "台湾的台风和台上的演员都让人印象深刻。",
    "钟表店的老板说这只钟的发条坏了，需要修理。",
    "这个系统的系列产品已经发布，请关注后续的发展。",
    "只有一只鸟飞过了松树林，松鼠在树上吃松子。",
    "我们于2024年在香港与台北两地拍摄，历时三个月。",
    "音乐制作：周杰伦 / 混音：Mark Ronson / 母带处理：Bob Ludwig",
    "云南的云彩很美，游客们在山上欣赏云海。",
    "请把复杂的问题简单化，重复的工作自动化。",
    "他的范文写得很好，老师把它当作范本。",
    "后来我们才知道，皇后的后代住在后面的宫殿里。",
    "制片人：王家卫　监制：陈可辛　出品：华谊兄弟传媒股份有限公司",
    "㐹𠀾𡃁𨭎𫚉𬺓𪚏，罕用字也要正确转换。",
    "「引号」『书名号』《电影》〈章节〉——破折号……省略号！？",
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// The keys of a dictionary file, in file order.
std::vector<std::string> dictionaryKeys(const std::string& name) {
    const auto file = ChineseConverter::dictionaryURL(name);
    EXPECT_TRUE(file) << "dictionary " << name << " is not installed";
    std::vector<std::string> keys;
    if (!file) return keys;
    for (const auto& line : splitLines(test::readFile(*file))) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos && tab > 0) keys.push_back(line.substr(0, tab));
    }
    return keys;
}

// Lines of `perLine` items, taking every `stride`-th item, joined by varied separators.
void addLines(std::vector<std::string>& corpus, const std::vector<std::string>& items, std::size_t perLine,
              std::size_t stride) {
    static const char* const separators[] = {"", "，", "、", " ", "。", "abc", "2024", "\t", "——"};
    std::string line;
    std::size_t inLine = 0;
    for (std::size_t k = 0; k < items.size(); k += stride) {
        line += items[k];
        line += separators[(k / stride) % std::size(separators)];
        if (++inLine == perLine) {
            corpus.push_back(line);
            line.clear();
            inLine = 0;
        }
    }
    if (!line.empty()) corpus.push_back(line);
}

std::vector<std::string> runOpencc(const std::string& config, const std::vector<std::string>& corpus) {
    test::TempDir dir;
    std::string text;
    for (const auto& line : corpus) text += line + "\n";
    test::writeFile(dir / "in.txt", text);
    const auto r = test::run({"opencc", "-c", config, "-i", (dir / "in.txt").string(), "-o", (dir / "out.txt").string()});
    EXPECT_EQ(r.exitCode, 0) << "opencc failed";
    return splitLines(test::readFile(dir / "out.txt"));
}

std::vector<std::string> simplifiedCorpus() {
    std::vector<std::string> corpus(std::begin(kSentences), std::end(kSentences));
    addLines(corpus, dictionaryKeys("STPhrases"), 6, 23);     // ~2100 phrases in ~360 lines
    addLines(corpus, dictionaryKeys("STCharacters"), 40, 1);  // every character entry
    return corpus;
}

TEST(ChinesePeer, SimplifiedToTraditionalMatchesOpenccUpToPreferredOriginals) {
    const auto converter = ChineseConverter::shared(Direction::toTraditional);
    ASSERT_TRUE(converter);
    const auto corpus = simplifiedCorpus();
    ASSERT_GE(corpus.size(), 400u);
    const auto peer = runOpencc("s2tw.json", corpus);
    ASSERT_EQ(peer.size(), corpus.size());

    int identical = 0;
    int explained = 0;
    for (std::size_t k = 0; k < corpus.size(); ++k) {
        int next = 0;
        std::vector<ChineseConverter::Choice> choices;
        const std::string ours = converter->convertText(corpus[k], next, {}, &choices);

        // The choices where the original character was moved ahead of the dictionary's first candidate.
        ChineseConverter::Overrides firstCandidates;
        for (const auto& c : choices) {
            if (c.byPhrase || !chinese::isSingleCharacter(c.source)) continue;
            const auto candidates = converter->characterOptions(c.source);
            ASSERT_TRUE(candidates);
            if (c.options.front() == c.source && candidates->front() != c.source) {
                EXPECT_EQ(c.result, c.source);
                firstCandidates[c.id] = candidates->front();
            }
        }
        if (ours == peer[k]) {
            EXPECT_TRUE(firstCandidates.empty()) << corpus[k];
            ++identical;
        } else {
            EXPECT_FALSE(firstCandidates.empty()) << "unexplained difference\n  in:     " << corpus[k]
                                                  << "\n  ours:   " << ours << "\n  opencc: " << peer[k];
            int again = 0;
            EXPECT_EQ(converter->convertText(corpus[k], again, firstCandidates), peer[k]) << corpus[k];
            ++explained;
        }
    }
    std::printf("%d lines identical, %d differ only by preferred originals\n", identical, explained);
    EXPECT_GT(identical, 100);
    EXPECT_GT(explained, 10);  // the corpus holds every character entry, so the rule is exercised
}

TEST(ChinesePeer, TraditionalToSimplifiedMatchesOpencc) {
    const auto converter = ChineseConverter::shared(Direction::toSimplified);
    ASSERT_TRUE(converter);
    std::vector<std::string> corpus;
    addLines(corpus, dictionaryKeys("TSPhrases"), 6, 1);
    addLines(corpus, dictionaryKeys("TSCharacters"), 40, 1);
    // Ordinary Traditional text: opencc's own rendering of the Simplified sentences and phrases.
    auto simplified = simplifiedCorpus();
    simplified.resize(std::size(kSentences) + 300);
    for (const auto& line : runOpencc("s2tw.json", simplified)) corpus.push_back(line);
    ASSERT_GE(corpus.size(), 400u);

    const auto peer = runOpencc("t2s.json", corpus);
    ASSERT_EQ(peer.size(), corpus.size());
    int choices = 0;
    for (std::size_t k = 0; k < corpus.size(); ++k) {
        int next = 0;
        EXPECT_EQ(converter->convertText(corpus[k], next), peer[k]) << corpus[k];
        choices += next;
    }
    EXPECT_GT(choices, 0);
}

}  // namespace
}  // namespace qm
