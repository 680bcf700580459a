#pragma once
// A Word document as read for a credits list: paragraphs of formatted runs and inline pictures,
// and the width of the page's text column.

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/image/picture.h"

namespace qm {

struct DocxDocument {
    enum class Alignment { left, center, right, justified };

    // An opaque sRGB colour, components 0...1.
    struct Color {
        double r = 0;
        double g = 0;
        double b = 0;
        bool operator==(const Color&) const = default;
    };

    struct Size {
        double width = 0;
        double height = 0;
        bool operator==(const Size&) const = default;
    };

    struct Run {
        struct Text {
            std::string text;  // UTF-8; may hold tabs and, in table rows, the cell separator
            bool operator==(const Text&) const = default;
        };
        struct Image {
            PictureRef picture;  // shared, immutable
            Size size;           // display size in points
            bool operator==(const Image&) const = default;
        };
        struct LineBreak {
            bool operator==(const LineBreak&) const = default;
        };
        using Content = std::variant<Text, Image, LineBreak>;

        Content content;
        double fontSize = 10.5;
        bool bold = false;
        bool italic = false;
        std::optional<Color> color;
        std::optional<std::string> fontName;
        double baselineShift = 0;

        bool operator==(const Run&) const = default;

        bool isText() const { return std::holds_alternative<Text>(content); }
        // The text of a text run, else null.
        const std::string* text() const;
    };

    struct Paragraph {
        Alignment alignment = Alignment::left;
        double lineMultiple = 1.0;
        std::optional<double> lineExact;
        std::optional<double> lineAtLeast;
        double spaceBefore = 0;
        double spaceAfter = 0;
        double leftIndent = 0;
        double rightIndent = 0;
        double firstLineIndent = 0;
        std::vector<Run> runs;

        bool operator==(const Paragraph&) const = default;
    };

    // The two U+3000 IDEOGRAPHIC SPACE characters that join the cells of a table row.
    static constexpr const char* kCellSeparator = "\u3000\u3000";

    std::vector<Paragraph> paragraphs;
    double textWidth = 451;
    // What of the file could not be read, or was read from damaged data, in words for the user
    // (each names the file and the part); empty when it read whole.
    std::vector<std::string> damage;

    bool operator==(const DocxDocument&) const = default;

    // Drops the first `count` lines of text together with the blank paragraphs around them;
    // returns how many paragraphs went.
    int removeLeadingLines(int count);
};

}  // namespace qm
