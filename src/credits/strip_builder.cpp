#include "credits/strip_builder.h"

#include <QString>

#include <algorithm>
#include <limits>

#include "core/conversion_error.h"
#include "credits/credits_text.h"
#include "credits/pdf_pages.h"
#include "documents/docx_reader.h"

namespace qm {

const char* const kStripTooLargeText =
    "The credits list is too large to lay out at this size. Make the text size or the column width smaller.";
const char* const kNoReadablePDFPagesText = "The PDF has no pages that can be read.";
const char* const kPasswordProtectedPDFText =
    "The PDF is protected by a password. Save a copy without the password and use that.";

namespace {

int lineCount(std::int64_t skip) {
    return static_cast<int>(std::clamp<std::int64_t>(skip, 0, std::numeric_limits<int>::max()));
}

bool isPDF(const std::filesystem::path& file) {
    return QString::fromStdString(file.extension().string()).toLower() == QLatin1String(".pdf");
}

}  // namespace

CreditsStrip buildStrip(const std::filesystem::path& file, const CreditsSettings& settings,
                        const ChineseConverter::Overrides& overrides) {
    if (isPDF(file)) {
        std::optional<CreditsStrip> strip = renderPDFPages(file, settings);
        if (!strip) throw ConversionError::readerFailed(kNoReadablePDFPagesText);
        return std::move(*strip);
    }

    DocxDocument document = loadDocx(file);
    // A list damaged before its first line is no list at all; anything read before the fault is
    // kept and the loss goes with the strip.
    if (document.paragraphs.empty() && !document.damage.empty())
        throw ConversionError::readerFailed(document.damage.front());
    std::vector<ChineseConverter::Choice> choices;
    const int skip = lineCount(settings.skipLeadingLines);
    if (const auto converter = ChineseConverter::shared(settings.chineseConversion)) {
        auto [converted, found] = converter->convert(document, overrides);
        const int removed = converted.removeLeadingLines(skip);
        if (removed > 0) {
            // Choices keep the ids they have in the whole document, so the user's picks stay with
            // their places however many lines are skipped; those of the skipped lines go.
            DocxDocument prefix;
            const auto kept = std::min<std::size_t>(static_cast<std::size_t>(removed), document.paragraphs.size());
            prefix.paragraphs.assign(document.paragraphs.begin(),
                                     document.paragraphs.begin() + static_cast<std::ptrdiff_t>(kept));
            const auto skipped = static_cast<int>(converter->convert(prefix).second.size());
            std::erase_if(found, [&](const ChineseConverter::Choice& c) { return c.id < skipped; });
        }
        document = std::move(converted);
        choices = std::move(found);
    } else {
        document.removeLeadingLines(skip);
    }

    TextTiles text = drawTextTile(document.paragraphs, document.textWidth, settings);
    return CreditsStrip{std::move(text.tiles), text.width, text.height, std::move(choices), std::move(document.damage)};
}

}  // namespace qm
