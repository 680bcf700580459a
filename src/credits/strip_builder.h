#pragma once
// Turns a credits list (Word .docx or PDF) into the strip the roll scrolls.

#include <cstdint>
#include <filesystem>

#include "credits/credits_settings.h"
#include "credits/credits_strip.h"
#include "documents/chinese_converter.h"

namespace qm {

// Bitmaps of one strip (or one PDF page) hold at most this many pixels: 1 GiB at 8 bits a channel.
constexpr std::int64_t kMaxStripPixels = std::int64_t{1} << 28;

// The text of the error a too-large strip fails with.
extern const char* const kStripTooLargeText;
// The text of the error a PDF without a usable page fails with.
extern const char* const kNoReadablePDFPagesText;
// The text of the error a PDF that needs a password to open fails with.
extern const char* const kPasswordProtectedPDFText;

// ".pdf" files (any case) are rendered page by page, everything else is read as a Word document.
// Throws ConversionError::readerFailed for a PDF without a usable page or protected by a password,
// for a Word list damaged before its first line and for a strip too large to lay out; the Word
// reader's own errors pass through. What else of the list is lost is in the strip's `warnings`.
CreditsStrip buildStrip(const std::filesystem::path& file, const CreditsSettings& settings,
                        const ChineseConverter::Overrides& overrides);

}  // namespace qm
