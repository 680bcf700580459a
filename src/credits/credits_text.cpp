#include "credits/credits_text.h"

#include <cmath>
#include <map>
#include <tuple>
#include <unordered_map>

#include "core/conversion_error.h"
#include "credits/credits_fonts.h"
#include "credits/logo_keying.h"
#include "credits/strip_builder.h"
#include "credits/text_column.h"

namespace qm {

namespace {

constexpr char16_t kZeroWidthSpace = u'\u200B';
constexpr char16_t kLineSeparator = u'\u2028';
constexpr char16_t kObjectReplacement = u'\uFFFC';

QColor qColor(const RGBColor& color) {
    const RGBColor c = color.clamped();
    return QColor::fromRgbF(static_cast<float>(c.r), static_cast<float>(c.g), static_cast<float>(c.b));
}

StyledText::ParagraphStyle paragraphStyle(const DocxDocument::Paragraph& p, double scale) {
    StyledText::ParagraphStyle style;
    style.alignment = p.alignment;
    style.headIndent = p.leftIndent * scale;
    style.firstLineHeadIndent = (p.leftIndent + p.firstLineIndent) * scale;
    style.rightIndent = p.rightIndent * scale;
    style.spacingBefore = p.spaceBefore * scale;
    style.spacingAfter = p.spaceAfter * scale;
    if (p.lineExact) {
        style.lineHeightMultiple = 1;
        style.minimumLineHeight = style.maximumLineHeight = *p.lineExact * scale;
    } else {
        style.lineHeightMultiple = p.lineMultiple;
        if (p.lineAtLeast) style.minimumLineHeight = *p.lineAtLeast * scale;
    }
    return style;
}

}  // namespace

QImage attachmentImage(const QImage& image, CreditsSettings::LogoMode logoMode, bool logoOuterOnly) {
    if (logoMode == CreditsSettings::LogoMode::original || image.isNull()) return image;
    const KeyRecolor recolor = logoMode == CreditsSettings::LogoMode::white ? KeyRecolor::tint : KeyRecolor::keep;
    const QImage keyed = keyPicture(image, CreditsSettings::KeyMode::automatic, recolor, logoOuterOnly,
                                    RGBColor{0, 1, 0}, 0.04, 0.1, RGBColor{1, 1, 1});
    QImage eightBit = keyed.convertToFormat(CreditsStrip::kTileFormat);
    return eightBit.isNull() ? image : eightBit;
}

StyledText attributedParagraph(const std::vector<DocxDocument::Paragraph>& paragraphs, double scale,
                               const CreditsSettings& settings) {
    StyledText text;
    const QColor defaultColor = qColor(settings.textColor);
    const bool documentColors = settings.textColorMode == CreditsSettings::TextColorMode::document;

    // A list repeats a handful of fonts and logos thousands of times: each is resolved or keyed once.
    std::map<std::tuple<std::optional<std::string>, double, bool, bool>, QFont> fonts;
    auto fontOf = [&](const DocxDocument::Run& run) -> const QFont& {
        const auto key = std::make_tuple(run.fontName, run.fontSize, run.bold, run.italic);
        auto it = fonts.find(key);
        if (it == fonts.end())
            it = fonts.emplace(key, resolveFont(run, settings.fontFamily, settings.chineseConversion, scale)).first;
        return it->second;
    };
    std::unordered_map<const Picture*, QImage> keyedPictures;

    // Attributes of the last character so far; before the first, the fallback font.
    QFont lastFont = fontOf(DocxDocument::Run{});
    QColor lastColor = defaultColor;

    text.paragraphs.reserve(paragraphs.size());
    for (const auto& p : paragraphs) {
        StyledText::Paragraph paragraph;
        paragraph.style = paragraphStyle(p, scale);
        for (const auto& run : p.runs) {
            StyledText::Span span;
            span.font = fontOf(run);
            span.color = documentColors && run.color ? QColor::fromRgbF(static_cast<float>(run.color->r),
                                                                        static_cast<float>(run.color->g),
                                                                        static_cast<float>(run.color->b))
                                                     : defaultColor;
            if (!span.color.isValid()) span.color = defaultColor;
            if (const std::string* t = run.text()) {
                span.text = t->empty() ? QString(QChar(kZeroWidthSpace)) : QString::fromStdString(*t);
                span.baselineOffset = run.baselineShift * scale;
            } else if (const auto* image = std::get_if<DocxDocument::Run::Image>(&run.content)) {
                if (!image->picture) continue;
                // Keyed once per picture; each use keeps its own size (the images share their pixels).
                auto [it, added] = keyedPictures.try_emplace(image->picture.get());
                if (added) it->second = attachmentImage(image->picture->image(), settings.logoMode, settings.logoOuterOnly);
                span.picture = static_cast<int>(text.pictures.size());
                text.pictures.push_back({it->second, image->size.width * scale, image->size.height * scale,
                                         run.baselineShift * scale});
                span.text = QString(QChar(kObjectReplacement));
            } else {
                span.text = QString(QChar(kLineSeparator));
                span.baselineOffset = run.baselineShift * scale;
            }
            lastFont = span.font;
            lastColor = span.color;
            paragraph.spans.push_back(std::move(span));
        }
        paragraph.endFont = lastFont;
        paragraph.endColor = lastColor;
        text.paragraphs.push_back(std::move(paragraph));
    }
    return text;
}

TextTiles drawTextTile(const std::vector<DocxDocument::Paragraph>& paragraphs, double textWidth,
                       const CreditsSettings& settings) {
    const double columnWidth = static_cast<double>(settings.width) * settings.contentWidthPercent / 100;
    const double scale = columnWidth / textWidth * settings.textScalePercent / 100;
    if (!std::isfinite(columnWidth) || !std::isfinite(scale)) throw ConversionError::readerFailed(kStripTooLargeText);

    TextTiles result;
    result.width = columnWidth;
    const double pixelWidth = std::ceil(columnWidth);
    if (pixelWidth < 1) return result;  // nothing can be drawn in no width

    // Layout stops as soon as the column is taller than a strip can be, so a list far too long
    // costs no more than one that just fits.
    const TextColumn column(attributedParagraph(paragraphs, scale, settings), columnWidth,
                            static_cast<double>(kMaxStripPixels) / pixelWidth);
    const double pixelHeight = std::ceil(column.height());
    if (!column.complete() || pixelWidth * pixelHeight > static_cast<double>(kMaxStripPixels))
        throw ConversionError::readerFailed(kStripTooLargeText);
    if (!(pixelHeight >= 1)) return result;

    const int width = static_cast<int>(pixelWidth);
    const int height = static_cast<int>(pixelHeight);
    result.height = pixelHeight;
    for (int y = 0; y < height; y += kTextBandHeight) {
        QImage band = makeTextImage(width, std::min(height - y, kTextBandHeight), CreditsStrip::kTileFormat);
        if (band.isNull()) throw ConversionError::readerFailed(kStripTooLargeText);
        column.drawBand(band, y);
        result.tiles.push_back({std::move(band), static_cast<double>(y)});
    }
    return result;
}

}  // namespace qm
