#pragma once
// The laid-out credits list: a tall transparent picture cut into bands, at the width it has in
// the video, and the ambiguous Chinese conversions found while laying it out.

#include <QImage>

#include <string>
#include <vector>

#include "documents/chinese_converter.h"

namespace qm {

struct CreditsStrip {
    // One band of the strip. `image` is 8-bit premultiplied (kTileFormat) and never changed once
    // made (copies share its pixels); `top` is its distance in pixels from the top of the strip.
    struct Tile {
        QImage image;
        double top = 0;
        bool operator==(const Tile&) const = default;
    };

    static constexpr QImage::Format kTileFormat = QImage::Format_ARGB32_Premultiplied;

    std::vector<Tile> tiles;  // top to bottom, never overlapping
    double width = 0;
    double height = 0;
    std::vector<ChineseConverter::Choice> choices;
    // What of the list could not be read (damage, pictures, pages), in words naming the file; the
    // strip holds the rest.
    std::vector<std::string> warnings;
    bool operator==(const CreditsStrip&) const = default;

    // A strip of one finished picture (a rendered list): its size, cut into bands of at most
    // `bandRows` rows.
    static CreditsStrip fromPicture(const QImage& picture, int bandRows = 4096);
};

}  // namespace qm
