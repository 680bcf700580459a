#pragma once
// Shared by the strip tests: Word documents written by python-docx from a short JSON description,
// the strip joined into one picture, and the box of its visible pixels.

#include <filesystem>

#include <QImage>
#include <QRect>

#include <nlohmann/json.hpp>

#include "credits/credits_strip.h"

namespace qm::test {

// {"page": [width, left margin, right margin] (points), "paragraphs": [{"runs": [{"text", "size",
// "font", "bold", "italic", "color": "RRGGBB", "break": true, "picture": file, "pw", "ph"}],
// "align", "exact", "atLeast", "multiple", "before", "after", "left", "right", "first"}]}
void makeDocx(const nlohmann::json& spec, const std::filesystem::path& out);

// The tiles drawn at their (rounded) tops into one premultiplied picture.
QImage stripImage(const CreditsStrip& strip);

// The smallest rectangle of `area` holding every pixel whose alpha is above `alphaAbove`; null
// when there is none.
QRect inkBox(const QImage& image, const QRect& area, int alphaAbove = 64);

}  // namespace qm::test
