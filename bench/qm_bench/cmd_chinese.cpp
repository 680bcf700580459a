// qm-bench chinese: converts standard input between Simplified and Traditional Chinese, one line
// per paragraph, as the credits list conversion does. With --stats, the dictionary load time, the
// conversion time and the number of ambiguous choices go to standard error.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "documents/chinese_converter.h"
#include "registry.h"

namespace {

int runChinese(const std::vector<std::string>& args) {
    using Direction = qm::ChineseConverter::Direction;
    std::optional<Direction> direction;
    bool stats = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--to" && i + 1 < args.size()) {
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

qm::bench::Register reg{"chinese", "--to traditional|simplified [--stats]  < text > converted", runChinese};

}  // namespace
