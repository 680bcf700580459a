// qm-bench chinese: converts standard input between Simplified and Traditional Chinese, one line
// per paragraph, as the credits list conversion does. With --stats, the dictionary load time, the
// conversion time and the number of ambiguous choices go to standard error. --sample BYTES writes
// a reproducible Simplified text of about that size, made of the dictionaries' own phrases and
// characters, to measure with.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "documents/chinese_converter.h"
#include "registry.h"

namespace {

std::vector<std::string> dictionaryKeys(const char* name) {
    const auto file = qm::ChineseConverter::dictionaryURL(name);
    if (!file) throw std::runtime_error(std::string("dictionary ") + name + " not found (set QM_DICTIONARY_DIR)");
    std::ifstream in(*file);
    std::vector<std::string> keys;
    std::string line;
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos && tab > 0) keys.push_back(line.substr(0, tab));
    }
    if (keys.empty()) throw std::runtime_error(std::string("dictionary ") + name + " is empty");
    return keys;
}

int writeSample(std::size_t bytes) {
    const auto phrases = dictionaryKeys("STPhrases");
    const auto characters = dictionaryKeys("STCharacters");
    static const char* const punctuation[] = {"，", "。", "、", "：", "　　", "；", "！", "？"};
    std::uint64_t state = 0x2545F4914F6CDD1Dull;  // fixed seed: the same text every time
    auto next = [&state](std::size_t n) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        return static_cast<std::size_t>(state % n);
    };
    std::string out;
    out.reserve(bytes + 256);
    while (out.size() < bytes) {
        for (int k = 0; k < 20; ++k) {
            out += next(5) < 3 ? phrases[next(phrases.size())] : characters[next(characters.size())];
            if (next(4) == 0) out += punctuation[next(std::size(punctuation))];
        }
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

int runChinese(const std::vector<std::string>& args) {
    using Direction = qm::ChineseConverter::Direction;
    std::optional<Direction> direction;
    bool stats = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--sample" && i + 1 < args.size()) {
            return writeSample(std::stoul(args[i + 1]));
        } else if (args[i] == "--to" && i + 1 < args.size()) {
            const std::string& to = args[++i];
            if (to == "traditional") direction = Direction::toTraditional;
            else if (to == "simplified") direction = Direction::toSimplified;
            else throw std::invalid_argument("--to takes traditional or simplified, not \"" + to + "\"");
        } else if (args[i] == "--stats") {
            stats = true;
        } else {
            throw std::invalid_argument("unknown argument \"" + args[i] + "\"");
        }
    }
    if (!direction) throw std::invalid_argument("missing --to traditional|simplified");

    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    const auto converter = qm::ChineseConverter::shared(*direction);
    const auto t1 = Clock::now();
    if (converter->phrases().empty() && converter->characters().empty())
        throw std::runtime_error("no Chinese dictionaries found (set QM_DICTIONARY_DIR)");

    std::ios::sync_with_stdio(false);
    const std::string input{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    const auto t2 = Clock::now();

    std::string output;
    output.reserve(input.size() + input.size() / 8);
    std::vector<qm::ChineseConverter::Choice> choices;
    int nextID = 0;
    std::size_t pos = 0;
    while (pos < input.size()) {
        std::size_t end = input.find('\n', pos);
        const bool hasNewline = end != std::string::npos;
        if (!hasNewline) end = input.size();
        output += converter->convertText(std::string_view(input).substr(pos, end - pos), nextID, {}, &choices);
        if (hasNewline) output += '\n';
        pos = end + 1;
    }
    const auto t3 = Clock::now();
    std::fwrite(output.data(), 1, output.size(), stdout);

    if (stats) {
        auto ms = [](auto a, auto b) { return std::chrono::duration<double, std::milli>(b - a).count(); };
        std::fprintf(stderr, "load %.1f ms, convert %.1f ms (%zu bytes), %zu choices\n", ms(t0, t1), ms(t2, t3),
                     input.size(), choices.size());
    }
    return 0;
}

qm::bench::Register reg{"chinese", "--to traditional|simplified [--stats] < text > converted  |  --sample BYTES > text", runChinese};

}  // namespace
