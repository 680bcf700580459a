#pragma once
// Shared by the strip tests: Word documents written by python-docx from a short JSON description,
// the strip joined into one picture, and the box of its visible pixels.

#include <filesystem>
#include <string>

#include <QImage>
#include <QRect>

#include <nlohmann/json.hpp>

#include "credits/credits_settings.h"
#include "credits/credits_strip.h"

namespace qm::test {

// {"page": [width, left margin, right margin] (points), "paragraphs": [{"runs": [{"text", "size",
// "font", "bold", "italic", "break": true, "picture": file, "pw", "ph"}],
// "align", "exact", "atLeast", "multiple", "before", "after", "left", "right", "first"}]}
void makeDocx(const nlohmann::json& spec, const std::filesystem::path& out);

// A list of five lines written by python-docx (Director, Wang Xiaoming 王小明, a logo, Li Bai 李白,
// Du Fu 杜甫) as a damaged copy would hold it: the logo's PNG overwritten with junk and the body
// cut in the middle of the fifth line's tag.
void makeDamagedList(const std::filesystem::path& out);

// The payload of the ConversionError::readerFailed that building the strip fails with, or a note
// when it fails otherwise or not at all.
std::string buildError(const std::filesystem::path& file, const CreditsSettings& settings);

// That building the strip is refused as too large to lay out, and refused before any bitmap of
// that size was made: the process never came near 4 GiB.
void expectRefusedAsTooLarge(const std::filesystem::path& file, const CreditsSettings& settings);

// The tiles drawn at their (rounded) tops into one premultiplied picture.
QImage stripImage(const CreditsStrip& strip);

// The smallest rectangle of `area` holding every pixel whose alpha (or other `channel`) is above
// `above`; null when there is none.
QRect inkBox(const QImage& image, const QRect& area, int above = 64, int (*channel)(QRgb) = qAlpha);

}  // namespace qm::test
