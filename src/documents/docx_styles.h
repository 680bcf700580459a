#pragma once
// Formatting layers of a Word document: what one layer (document defaults, a style, direct
// properties) says about a paragraph or a run, the style sheet with its based-on chains, and the
// rules by which layers are laid over each other.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "documents/docx_document.h"
#include "documents/xml_event_parser.h"

namespace qm {

// Every field optional: unset means this layer says nothing.
struct ParagraphProperties {
    std::optional<DocxDocument::Alignment> alignment;
    std::optional<double> line;  // raw: 240ths of a line ("auto") or twentieths of a point
    std::optional<std::string> lineRule;
    std::optional<double> before;  // points
    std::optional<double> after;
    std::optional<double> beforeLines;  // lines
    std::optional<double> afterLines;
    std::optional<double> left;  // points
    std::optional<double> right;
    std::optional<double> firstLine;
    std::optional<double> hanging;

    bool operator==(const ParagraphProperties&) const = default;

    // Copies in the set fields of `above`.
    void overlay(const ParagraphProperties& above);
};

struct RunProperties {
    std::optional<double> size;  // points
    std::optional<bool> bold;
    std::optional<bool> italic;
    // Unset, explicitly none ("auto": the consumer's own colour), or a colour.
    std::optional<std::optional<DocxDocument::Color>> color;
    std::optional<std::string> font;
    std::optional<double> position;  // points, positive raises

    bool operator==(const RunProperties&) const = default;

    void overlay(const RunProperties& above);
};

struct StyleSheet {
    struct Style {
        std::optional<std::string> basedOn;
        ParagraphProperties paragraph;
        RunProperties run;
        bool operator==(const Style&) const = default;
    };

    RunProperties defaultRun;
    ParagraphProperties defaultParagraph;
    std::unordered_map<std::string, Style> styles;
    std::optional<std::string> defaultParagraphStyle;

    StyleSheet() = default;  // the empty style sheet
    // Reads "word/styles.xml"; never fails: malformed XML keeps what was read before the fault.
    // `refused` (may be null) is set when the document declares a document type, `readWhole` (may
    // be null) when no fault stopped the reading.
    static StyleSheet read(std::span<const std::uint8_t> xml, bool* refused = nullptr, bool* readWhole = nullptr);

    // The style merged with its ancestors, nearer styles winning; at most 20 styles deep.
    Style resolveStyleChain(const std::string& id) const;

    // The XML delegate that builds a style sheet.
    class Reader;
};

// Value readers shared by the style sheet and the body.
namespace docx {

// A whole decimal number ("12.5", "-360", "1e3"); anything else, and non-finite values, give none.
std::optional<double> number(const char* text);
// On unless "w:val" is "0", "false" or "off".
bool onOffValue(const xml::Attributes& attributes);
// Absent: unset; six hex digits: the colour; "auto": explicitly none; anything else: unset.
std::optional<std::optional<DocxDocument::Color>> parseColor(const char* value);

void parseRunProperties(std::string_view element, const xml::Attributes& attributes, RunProperties& run);
void parseParagraphProperties(std::string_view element, const xml::Attributes& attributes,
                              ParagraphProperties& paragraph);

}  // namespace docx

}  // namespace qm
