#include "documents/docx_styles.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace qm {

void ParagraphProperties::overlay(const ParagraphProperties& above) {
    if (above.alignment) alignment = above.alignment;
    if (above.line) {
        line = above.line;
        lineRule = above.lineRule;
    }
    if (above.before) before = above.before;
    if (above.after) after = above.after;
    if (above.beforeLines) beforeLines = above.beforeLines;
    if (above.afterLines) afterLines = above.afterLines;
    if (above.left) left = above.left;
    if (above.right) right = above.right;
    if (above.firstLine) {
        firstLine = above.firstLine;
        hanging.reset();
    }
    if (above.hanging) {
        hanging = above.hanging;
        firstLine.reset();
    }
}

void RunProperties::overlay(const RunProperties& above) {
    if (above.size) size = above.size;
    if (above.bold) bold = above.bold;
    if (above.italic) italic = above.italic;
    if (above.color) color = above.color;
    if (above.font) font = above.font;
    if (above.position) position = above.position;
}

namespace docx {

std::optional<double> number(const char* text) {
    if (!text) return std::nullopt;
    const char* begin = text;
    const char* end = text + std::strlen(text);
    if (begin != end && *begin == '+') ++begin;
    if (begin == end || *begin == '+' || (begin != text && *begin == '-')) return std::nullopt;
    double value = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::general);
    // Infinities and NaN ("inf", "nan") are no lengths; they would poison every sum downstream.
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

bool onOffValue(const xml::Attributes& attributes) {
    const char* value = attributes.find("w:val");
    if (!value) return true;
    return std::strcmp(value, "0") != 0 && std::strcmp(value, "false") != 0 && std::strcmp(value, "off") != 0;
}

std::optional<std::optional<DocxDocument::Color>> parseColor(const char* value) {
    if (!value) return std::nullopt;
    if (std::strcmp(value, "auto") == 0) return std::optional<DocxDocument::Color>();
    if (std::strlen(value) != 6) return std::nullopt;
    unsigned rgb = 0;
    const auto [ptr, ec] = std::from_chars(value, value + 6, rgb, 16);
    if (ec != std::errc() || ptr != value + 6) return std::nullopt;
    return std::optional<DocxDocument::Color>(
        DocxDocument::Color{((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0});
}

void parseRunProperties(std::string_view element, const xml::Attributes& a, RunProperties& run) {
    if (element == "w:sz") {
        if (auto v = number(a.find("w:val"))) run.size = *v * 0.5;
    } else if (element == "w:b") {
        run.bold = onOffValue(a);
    } else if (element == "w:i") {
        run.italic = onOffValue(a);
    } else if (element == "w:color") {
        if (auto c = parseColor(a.find("w:val"))) run.color = *c;
    } else if (element == "w:rFonts") {
        const char* font = a.find("w:eastAsia");
        if (!font) font = a.find("w:ascii");
        if (!font) font = a.find("w:hAnsi");
        if (font) run.font = font;
    } else if (element == "w:position") {
        if (auto v = number(a.find("w:val"))) run.position = *v * 0.5;
    }
}

void parseParagraphProperties(std::string_view element, const xml::Attributes& a, ParagraphProperties& p) {
    using Alignment = DocxDocument::Alignment;
    if (element == "w:jc") {
        const std::string_view v = a.find("w:val") ? a.find("w:val") : "";
        if (v == "center")
            p.alignment = Alignment::center;
        else if (v == "right" || v == "end")
            p.alignment = Alignment::right;
        else if (v == "both" || v == "distribute" || v == "lowKashida" || v == "mediumKashida" ||
                 v == "highKashida" || v == "thaiDistribute")
            p.alignment = Alignment::justified;
        else
            p.alignment = Alignment::left;
    } else if (element == "w:spacing") {
        if (auto v = number(a.find("w:line"))) {
            p.line = *v;
            const char* rule = a.find("w:lineRule");
            p.lineRule = rule ? rule : "auto";
        }
        if (auto v = number(a.find("w:before"))) p.before = *v / 20;
        if (auto v = number(a.find("w:after"))) p.after = *v / 20;
        if (auto v = number(a.find("w:beforeLines"))) p.beforeLines = *v / 100;
        if (auto v = number(a.find("w:afterLines"))) p.afterLines = *v / 100;
    } else if (element == "w:ind") {
        // The logical sides count only where the physical ones are absent, not merely unreadable.
        const char* left = a.find("w:left");
        if (auto v = number(left ? left : a.find("w:start"))) p.left = *v / 20;
        const char* right = a.find("w:right");
        if (auto v = number(right ? right : a.find("w:end"))) p.right = *v / 20;
        if (auto v = number(a.find("w:firstLine"))) p.firstLine = *v / 20;
        if (auto v = number(a.find("w:hanging"))) p.hanging = *v / 20;
    }
}

}  // namespace docx

class StyleSheet::Reader : public xml::Handler {
public:
    StyleSheet sheet;

    void startElement(std::string_view name, const xml::Attributes& a) override {
        if (name == "w:style") {
            const char* id = a.find("w:styleId");
            currentID_ = id ? std::optional<std::string>(id) : std::nullopt;
            current_ = Style();
            const char* type = a.find("w:type");
            const char* isDefault = a.find("w:default");
            if (type && std::strcmp(type, "paragraph") == 0 && isDefault &&
                (std::strcmp(isDefault, "1") == 0 || std::strcmp(isDefault, "true") == 0))
                sheet.defaultParagraphStyle = currentID_;
        } else if (name == "w:basedOn" && currentID_) {
            const char* parent = a.find("w:val");
            current_.basedOn = parent ? std::optional<std::string>(parent) : std::nullopt;
        } else if (openRPr_ > 0) {
            if (openDocDefaults_ > 0)
                docx::parseRunProperties(name, a, sheet.defaultRun);
            else if (currentID_)
                docx::parseRunProperties(name, a, current_.run);
        } else if (openPPr_ > 0) {
            if (openDocDefaults_ > 0)
                docx::parseParagraphProperties(name, a, sheet.defaultParagraph);
            else if (currentID_)
                docx::parseParagraphProperties(name, a, current_.paragraph);
        }
        count(name, +1);
    }

    void endElement(std::string_view name) override {
        count(name, -1);
        if (name == "w:style") {
            if (currentID_) sheet.styles.insert_or_assign(*currentID_, current_);
            currentID_.reset();
        }
    }

    void characters(std::string_view) override {}

private:
    void count(std::string_view name, int delta) {
        if (name == "w:rPr")
            openRPr_ += delta;
        else if (name == "w:pPr")
            openPPr_ += delta;
        else if (name == "w:docDefaults")
            openDocDefaults_ += delta;
    }

    int openRPr_ = 0;
    int openPPr_ = 0;
    int openDocDefaults_ = 0;
    std::optional<std::string> currentID_;
    Style current_;
};

StyleSheet StyleSheet::read(std::span<const std::uint8_t> xml, bool* refused, bool* readWhole) {
    Reader reader;
    const auto result = xml::parse(xml, reader);
    if (refused) *refused = result == xml::ParseResult::refused;
    if (readWhole) *readWhole = result == xml::ParseResult::complete;
    return std::move(reader.sheet);
}

StyleSheet::Style StyleSheet::resolveStyleChain(const std::string& id) const {
    constexpr int kDeepest = 20;
    std::vector<const Style*> chain;
    const std::string* next = &id;
    while (next && static_cast<int>(chain.size()) < kDeepest) {
        const auto found = styles.find(*next);
        if (found == styles.end()) break;
        chain.push_back(&found->second);
        next = found->second.basedOn ? &*found->second.basedOn : nullptr;
    }
    Style merged;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        merged.paragraph.overlay((*it)->paragraph);
        merged.run.overlay((*it)->run);
    }
    return merged;
}

}  // namespace qm
