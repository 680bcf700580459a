#pragma once
// Styled text of a credits list: paragraphs with their spacing, indents, alignment and line-height
// rules, made of spans that each carry one font, colour and baseline offset, or one inline
// picture. All lengths are pixels of the strip.

#include <vector>

#include <QColor>
#include <QFont>
#include <QImage>
#include <QString>

#include "documents/docx_document.h"

namespace qm {

struct StyledText {
    struct ParagraphStyle {
        DocxDocument::Alignment alignment = DocxDocument::Alignment::left;
        double headIndent = 0;           // left edge of every line but the first
        double firstLineHeadIndent = 0;  // left edge of the first line
        double rightIndent = 0;          // distance of the right edge from the column's right side
        double spacingBefore = 0;
        double spacingAfter = 0;
        double lineHeightMultiple = 1;  // of the line's natural height (ascent + descent + leading)
        double minimumLineHeight = 0;   // 0: no minimum
        double maximumLineHeight = 0;   // 0: no maximum
        bool operator==(const ParagraphStyle&) const = default;
    };

    // An inline picture: drawn at `width` × `height`, its bottom `baselineOffset` above the baseline.
    struct Picture {
        QImage image;
        double width = 0;
        double height = 0;
        double baselineOffset = 0;
        bool operator==(const Picture&) const = default;
    };

    struct Span {
        QString text;  // one U+FFFC OBJECT REPLACEMENT CHARACTER for a picture
        QFont font;
        QColor color;
        double baselineOffset = 0;  // positive raises the glyphs
        int picture = -1;           // index into `pictures`, or -1
        bool operator==(const Span&) const = default;
    };

    struct Paragraph {
        ParagraphStyle style;
        std::vector<Span> spans;
        // Font and colour of the paragraph's end, which give an empty paragraph its line height.
        QFont endFont;
        QColor endColor;
        bool operator==(const Paragraph&) const = default;
    };

    std::vector<Paragraph> paragraphs;
    std::vector<Picture> pictures;

    bool operator==(const StyledText&) const = default;
};

}  // namespace qm
