#include "documents/docx_document.h"

#include <QString>

#include <algorithm>

namespace qm {

const std::string* DocxDocument::Run::text() const {
    const auto* t = std::get_if<Text>(&content);
    return t ? &t->text : nullptr;
}

namespace {

bool isBlank(const DocxDocument::Paragraph& paragraph) {
    for (const auto& run : paragraph.runs) {
        if (std::holds_alternative<DocxDocument::Run::Image>(run.content)) return false;
        if (const std::string* s = run.text()) {
            // Unicode white space, so tabs, U+3000 and the line and paragraph separators count.
            const QString text = QString::fromStdString(*s);
            const bool allSpace =
                std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.isSpace(); });
            if (!allSpace) return false;
        }
    }
    return true;
}

}  // namespace

int DocxDocument::removeLeadingLines(int count) {
    if (count < 1) return 0;
    int seen = 0;
    std::size_t index = 0;
    for (; index < paragraphs.size(); ++index) {
        if (isBlank(paragraphs[index])) continue;
        if (seen == count) break;
        ++seen;
    }
    paragraphs.erase(paragraphs.begin(), paragraphs.begin() + static_cast<std::ptrdiff_t>(index));
    return static_cast<int>(index);
}

}  // namespace qm
