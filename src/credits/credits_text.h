#pragma once
// Word credits lists as text: the document's paragraphs turned into styled text at the strip's
// scale (fonts, colours, spacing, inline logos) and drawn into the strip's bands.

#include <vector>

#include <QImage>

#include "credits/credits_settings.h"
#include "credits/credits_strip.h"
#include "credits/styled_text.h"
#include "documents/docx_document.h"

namespace qm {

// Bands are at most this tall, which bounds each bitmap.
constexpr int kTextBandHeight = 4096;

struct TextTiles {
    std::vector<CreditsStrip::Tile> tiles;
    double width = 0;
    double height = 0;
};

// Lays the paragraphs out as one column of settings.width × contentWidthPercent / 100 pixels, the
// document's text column filling it at 100 % text scale, and draws it into bands. Throws
// ConversionError::readerFailed (stripTooLargeText) when the strip would exceed kMaxStripPixels or
// a band's bitmap cannot be made.
TextTiles drawTextTile(const std::vector<DocxDocument::Paragraph>& paragraphs, double textWidth,
                       const CreditsSettings& settings);

// The styled text of all paragraphs at `scale` pixels per point.
StyledText attributedParagraph(const std::vector<DocxDocument::Paragraph>& paragraphs, double scale,
                               const CreditsSettings& settings);

// An inline picture as it is drawn: as it is, or with its background keyed away (and made white).
QImage attachmentImage(const QImage& image, CreditsSettings::LogoMode logoMode, bool logoOuterOnly);

}  // namespace qm
