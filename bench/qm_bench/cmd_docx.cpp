// qm-bench docx: prints a Word document's paragraphs as the credits list reads them, one line each;
// with --repeat N it also times loading the document N times. What could not be read is told on
// stderr, with exit status 3 (the list was read in part).

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "documents/docx_reader.h"
#include "registry.h"

namespace {

std::string number(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", v);
    return buffer;
}

// Tabs stay as they are; a forced line break, which would end the printed line, shows as "\n".
std::string lineOf(const qm::DocxDocument::Paragraph& paragraph) {
    std::string line;
    for (const auto& run : paragraph.runs) {
        if (const std::string* text = run.text())
            line += *text;
        else if (const auto* image = std::get_if<qm::DocxDocument::Run::Image>(&run.content))
            line += "[picture " + number(image->size.width) + "x" + number(image->size.height) + "]";
        else
            line += "\\n";
    }
    return line;
}

int docx(const std::vector<std::string>& args) {
    int repeat = 0;
    std::string file;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--repeat" && i + 1 < args.size())
            repeat = std::stoi(args[++i]);
        else
            file = args[i];
    }
    if (file.empty()) {
        std::fprintf(stderr, "usage: qm-bench docx [--repeat N] FILE\n");
        return 2;
    }
    const qm::DocxDocument document = qm::loadDocx(file);
    for (const auto& paragraph : document.paragraphs) std::printf("%s\n", lineOf(paragraph).c_str());

    if (repeat > 0) {
        double best = INFINITY;
        double total = 0;
        for (int i = 0; i < repeat; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const qm::DocxDocument again = qm::loadDocx(file);
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            best = std::min(best, ms);
            total += ms;
            if (again.paragraphs.size() != document.paragraphs.size()) return 1;
        }
        std::fprintf(stderr, "loadDocx: %zu paragraphs, mean %.2f ms, best %.2f ms over %d runs\n",
                     document.paragraphs.size(), total / repeat, best, repeat);
    }
    for (const auto& damage : document.damage) std::fprintf(stderr, "warning: %s\n", damage.c_str());
    return document.damage.empty() ? 0 : 3;
}

const qm::bench::Register registration{"docx", "[--repeat N] FILE   print a .docx as the credits list reads it", docx};

}  // namespace
