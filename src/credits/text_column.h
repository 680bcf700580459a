#pragma once
// Lays styled text out as one column and draws horizontal bands of it. Qt's text engine shapes
// and breaks the lines; the vertical placement is ours: paragraph spacing before and after add
// up, a line-height multiple and a minimum or maximum apply per line, the extra height goes above
// the glyphs, and the font's leading is part of a line. Everything is laid out on a 72-dpi device,
// so point sizes are pixels.

#include <limits>
#include <memory>
#include <vector>

#include <QImage>

#include "credits/styled_text.h"

namespace qm {

class TextColumn {
public:
    // Layout stops at the first line that ends below `maxHeight`; complete() then says false.
    TextColumn(const StyledText& text, double columnWidth,
               double maxHeight = std::numeric_limits<double>::infinity());
    ~TextColumn();
    TextColumn(const TextColumn&) = delete;
    TextColumn& operator=(const TextColumn&) = delete;

    // Bottom of the last paragraph, its spacing after included.
    double height() const;
    // Whether every line was laid out, none stopping below the given height.
    bool complete() const;

    struct Line {
        int paragraph = 0;
        double top = 0;       // line box, from the top of the column
        double height = 0;
        double baseline = 0;
        double left = 0;      // left edge and width the line is aligned within
        double width = 0;
        double textWidth = 0;  // natural width of the line's text
        int textStart = 0;     // UTF-16 range of the line within its paragraph
        int textLength = 0;
    };
    const std::vector<Line>& lines() const;

    // Draws every line that reaches into the rows [top, top + image height) into `image`
    // (premultiplied, already cleared), shifted up by `top`.
    void drawBand(QImage& image, double top) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A blank image at 72 dots per inch, so text drawn into it at a point size comes out at that
// many pixels.
QImage makeTextImage(int width, int height, QImage::Format format);

}  // namespace qm
