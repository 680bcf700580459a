#pragma once
// PDF credits lists: every page rasterised at the strip's width on white paper, the paper keyed
// away, cropped to the rows that hold something, and the pages stacked with a gap between them.

#include <filesystem>
#include <optional>
#include <utility>

#include <QImage>

#include "credits/credits_settings.h"
#include "credits/credits_strip.h"

namespace qm {

// Nothing when the document cannot be opened, has no pages, or no page gives a visible band.
// Throws ConversionError::readerFailed when the document needs a password, when a page or the strip
// would be too large to hold, or a page bitmap cannot be made. Pages lost to damage, and damage
// poppler reports, are named in the strip's `warnings`.
std::optional<CreditsStrip> renderPDFPages(const std::filesystem::path& file, const CreditsSettings& settings);

// Rows (0 = top) of the first and last row with a pixel whose alpha is above 12; last < first
// when there is none.
std::pair<int, int> contentRowRange(const QImage& image);

}  // namespace qm
