#include "credits/text_column.h"

#include <QAbstractTextDocumentLayout>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace qm {

namespace {

constexpr int kPictureObject = QTextFormat::UserObject + 1;
constexpr int kPictureIndex = QTextFormat::UserProperty + 1;

// Default tab stops every 28 pixels, measured from the column's left side.
constexpr double kTabInterval = 28;

constexpr double kDotsPerMeterAt72Dpi = 72 / 0.0254;

// The document's own layout would place every block again on each change and collapse paragraph
// spacing; this one does nothing but size and draw inline pictures, and TextColumn places lines.
class ColumnDocumentLayout final : public QAbstractTextDocumentLayout {
public:
    ColumnDocumentLayout(QTextDocument* document, const std::vector<StyledText::Picture>& pictures)
        : QAbstractTextDocumentLayout(document), pictures_(pictures) {}

    void draw(QPainter*, const PaintContext&) override {}
    int hitTest(const QPointF&, Qt::HitTestAccuracy) const override { return -1; }
    int pageCount() const override { return 1; }
    QSizeF documentSize() const override { return {}; }
    QRectF frameBoundingRect(QTextFrame*) const override { return {}; }
    QRectF blockBoundingRect(const QTextBlock&) const override { return {}; }
    void documentChanged(int, int, int) override {}

protected:
    void resizeInlineObject(QTextInlineObject item, int, const QTextFormat& format) override {
        const StyledText::Picture* picture = pictureOf(format);
        if (!picture) return;
        item.setWidth(picture->width);
        item.setAscent(std::max(0.0, picture->baselineOffset + picture->height));
        item.setDescent(std::max(0.0, -picture->baselineOffset));
    }
    void positionInlineObject(QTextInlineObject, int, const QTextFormat&) override {}
    void drawInlineObject(QPainter* painter, const QRectF& rect, QTextInlineObject item, int,
                          const QTextFormat& format) override {
        const StyledText::Picture* picture = pictureOf(format);
        if (!picture || picture->image.isNull()) return;
        const double baseline = rect.top() + item.ascent();
        const QRectF target(rect.left(), baseline - picture->baselineOffset - picture->height, picture->width,
                            picture->height);
        painter->save();
        painter->setRenderHint(QPainter::SmoothPixmapTransform);
        painter->drawImage(target, picture->image);
        painter->restore();
    }

private:
    const StyledText::Picture* pictureOf(const QTextFormat& format) const {
        const int index = format.intProperty(kPictureIndex);
        if (format.objectType() != kPictureObject || index < 0 || index >= static_cast<int>(pictures_.size()))
            return nullptr;
        return &pictures_[static_cast<std::size_t>(index)];
    }

    const std::vector<StyledText::Picture>& pictures_;
};

QTextCharFormat charFormat(const QFont& font, const QColor& color) {
    QTextCharFormat format;
    format.setFont(font, QTextCharFormat::FontPropertiesAll);
    format.setForeground(color);
    return format;
}

Qt::Alignment qtAlignment(DocxDocument::Alignment alignment) {
    switch (alignment) {
    case DocxDocument::Alignment::left: return Qt::AlignLeft | Qt::AlignAbsolute;
    case DocxDocument::Alignment::center: return Qt::AlignHCenter;
    case DocxDocument::Alignment::right: return Qt::AlignRight | Qt::AlignAbsolute;
    case DocxDocument::Alignment::justified: return Qt::AlignJustify;
    }
    return Qt::AlignLeft | Qt::AlignAbsolute;
}

// Qt scales tab distances by the device's resolution over its own default one; undo that so the
// interval comes out in device pixels.
double tabStopDistance() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double defaultDpi = screen ? std::round(screen->logicalDotsPerInchY()) : 100.0;
    return kTabInterval * defaultDpi / 72.0;
}

// The text with the characters the document would take as paragraph ends made line breaks, so
// that each paragraph stays one block.
QString withinBlock(QString text) {
    for (QChar& c : text)
        if (c == u'\n' || c == u'\r' || c == QChar::ParagraphSeparator) c = QChar::LineSeparator;
    return text;
}

// Vertical extent of glyphs raised or lowered off the baseline, which Qt's line metrics leave out.
struct ShiftedRange {
    int start = 0;
    int end = 0;
    double ascent = 0;
    double descent = 0;
};

}  // namespace

struct TextColumn::State {
    std::vector<StyledText::Picture> pictures;
    QImage device = makeTextImage(1, 1, QImage::Format_ARGB32_Premultiplied);
    QTextDocument document;
    std::vector<QTextLayout*> layouts;
    std::vector<Line> lines;
    std::vector<int> lineIndex;  // index of each line within its paragraph's layout
    std::vector<std::pair<double, double>> ink;  // rows each line may paint into
    double height = 0;
    bool complete = true;
};

TextColumn::TextColumn(const StyledText& text, double columnWidth, double maxHeight) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.pictures = text.pictures;
    auto* layout = new ColumnDocumentLayout(&s.document, s.pictures);
    layout->setPaintDevice(&s.device);
    s.document.setDocumentLayout(layout);
    s.document.setUndoRedoEnabled(false);

    std::vector<std::vector<ShiftedRange>> shifted(text.paragraphs.size());
    {
        QTextCursor cursor(&s.document);
        // Inside an edit block the cursor does not look up its line after each insertion, which
        // would itemize the whole paragraph every time: a paragraph of N lines would cost N².
        cursor.beginEditBlock();
        for (std::size_t i = 0; i < text.paragraphs.size(); ++i) {
            const auto& paragraph = text.paragraphs[i];
            const QTextCharFormat end = charFormat(paragraph.endFont, paragraph.endColor);
            if (i == 0)
                cursor.setBlockCharFormat(end);
            else
                cursor.insertBlock(QTextBlockFormat(), end);
            int position = 0;
            for (const auto& span : paragraph.spans) {
                QTextCharFormat format = charFormat(span.font, span.color);
                if (span.picture >= 0) {
                    format.setObjectType(kPictureObject);
                    format.setProperty(kPictureIndex, span.picture);
                } else if (span.baselineOffset != 0) {
                    const QFontMetricsF metrics(span.font, &s.device);
                    if (metrics.height() > 0) format.setBaselineOffset(span.baselineOffset / metrics.height() * 100);
                    shifted[i].push_back({position, position + static_cast<int>(span.text.size()),
                                          metrics.ascent() + span.baselineOffset,
                                          metrics.descent() - span.baselineOffset});
                }
                cursor.insertText(withinBlock(span.text), format);
                position += static_cast<int>(span.text.size());
            }
        }
        cursor.endEditBlock();
    }

    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setTabStopDistance(tabStopDistance());

    double y = 0;
    int index = 0;
    for (QTextBlock block = s.document.begin(); block.isValid() && index < static_cast<int>(text.paragraphs.size());
         block = block.next(), ++index) {
        const auto& style = text.paragraphs[static_cast<std::size_t>(index)].style;
        y += style.spacingBefore;
        QTextLayout* textLayout = block.layout();
        option.setAlignment(qtAlignment(style.alignment));
        textLayout->setTextOption(option);
        textLayout->setCacheEnabled(true);
        textLayout->beginLayout();
        for (int n = 0;; ++n) {
            QTextLine line = textLayout->createLine();
            if (!line.isValid()) break;
            const double left = n == 0 ? style.firstLineHeadIndent : style.headIndent;
            const double width = std::max(0.0, columnWidth - style.rightIndent - left);
            line.setLineWidth(width);

            double ascent = line.ascent();
            double descent = line.descent();
            const double leading = std::max(0.0, line.leading());
            const int lineEnd = line.textStart() + line.textLength();
            for (const auto& range : shifted[static_cast<std::size_t>(index)]) {
                if (range.start < lineEnd && range.end > line.textStart()) {
                    ascent = std::max(ascent, range.ascent);
                    descent = std::max(descent, range.descent);
                }
            }
            const double natural = ascent + descent + leading;
            double height = natural * (style.lineHeightMultiple > 0 ? style.lineHeightMultiple : 1.0);
            if (style.minimumLineHeight > 0) height = std::max(height, style.minimumLineHeight);
            if (style.maximumLineHeight > 0) height = std::min(height, style.maximumLineHeight);
            // Extra height sits above the glyphs, the leading below them.
            const double baseline = y + height - descent - leading;
            line.setPosition(QPointF(left, baseline - line.ascent()));

            s.lines.push_back({index, y, height, baseline, left, width, line.naturalTextWidth(), line.textStart(),
                               line.textLength()});
            s.lineIndex.push_back(n);
            const double pad = 0.25 * (ascent + descent);
            s.ink.emplace_back(std::min(y, baseline - ascent - pad), std::max(y + height, baseline + descent + pad));
            y += height;
            if (y > maxHeight) break;
        }
        textLayout->endLayout();
        s.layouts.push_back(textLayout);
        y += style.spacingAfter;
        if (y > maxHeight) {
            s.complete = false;
            break;
        }
    }
    s.height = y;
}

TextColumn::~TextColumn() = default;

double TextColumn::height() const { return state_->height; }

bool TextColumn::complete() const { return state_->complete; }

const std::vector<TextColumn::Line>& TextColumn::lines() const { return state_->lines; }

void TextColumn::drawBand(QImage& image, double top) const {
    const State& s = *state_;
    const double bottom = top + image.height();
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.translate(0, -top);
    for (std::size_t i = 0; i < s.lines.size(); ++i) {
        if (s.ink[i].second <= top || s.ink[i].first >= bottom) continue;
        const QTextLayout* layout = s.layouts[static_cast<std::size_t>(s.lines[i].paragraph)];
        layout->lineAt(s.lineIndex[i]).draw(&painter, QPointF(0, 0));
    }
}

QImage makeTextImage(int width, int height, QImage::Format format) {
    QImage image(width, height, format);
    if (image.isNull()) return image;
    image.fill(Qt::transparent);
    image.setDotsPerMeterX(static_cast<int>(std::lround(kDotsPerMeterAt72Dpi)));
    image.setDotsPerMeterY(static_cast<int>(std::lround(kDotsPerMeterAt72Dpi)));
    return image;
}

}  // namespace qm
