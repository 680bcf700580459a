// Conversion of a whole Word document: the text runs between pictures and line breaks form one
// character stream each, and every converted piece goes back to the run its source came from.
#include "documents/chinese_converter.h"
#include "documents/chinese_text.h"
#include "documents/docx_document.h"

namespace qm {

std::pair<DocxDocument, std::vector<ChineseConverter::Choice>> ChineseConverter::convert(
    const DocxDocument& document, const Overrides& overrides) const {
    DocxDocument out = document;
    std::vector<Choice> all;
    int nextID = 0;
    CharacterStream stream;
    std::vector<std::size_t> runOf;  // for each stream character, the run it came from
    std::vector<std::uint32_t> bounds;

    for (auto& paragraph : out.paragraphs) {
        auto& runs = paragraph.runs;
        std::size_t r = 0;
        while (r < runs.size()) {
            if (!runs[r].isText()) {
                ++r;
                continue;
            }
            std::size_t groupEnd = r;
            while (groupEnd < runs.size() && runs[groupEnd].isText()) ++groupEnd;

            stream = CharacterStream();
            runOf.clear();
            for (std::size_t k = r; k < groupEnd; ++k) {
                stream.append(std::get<DocxDocument::Run::Text>(runs[k].content).text);
                runOf.resize(stream.size(), k);
            }
            auto converted = convertCharacters(stream, nextID, overrides);

            std::vector<std::string> texts(groupEnd - r);
            for (const auto& seg : converted.segments) {
                const auto sourceLength = static_cast<std::size_t>(seg.sourceEnd - seg.sourceBegin);
                bounds.clear();
                chinese::appendCharacterBounds(seg.text, bounds);
                if (bounds.size() == sourceLength + 1) {
                    // Character for character: each stays in the run of its source character.
                    for (std::size_t j = 0; j < sourceLength; ++j) {
                        texts[runOf[static_cast<std::size_t>(seg.sourceBegin) + j] - r].append(
                            seg.text, bounds[j], bounds[j + 1] - bounds[j]);
                    }
                } else {
                    texts[runOf[static_cast<std::size_t>(seg.sourceBegin)] - r] += seg.text;
                }
            }
            for (std::size_t k = r; k < groupEnd; ++k)
                std::get<DocxDocument::Run::Text>(runs[k].content).text = std::move(texts[k - r]);
            for (auto& c : converted.choices) all.push_back(std::move(c));
            r = groupEnd;
        }
    }
    return {std::move(out), std::move(all)};
}

}  // namespace qm
