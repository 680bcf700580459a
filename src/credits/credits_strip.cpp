#include "credits/credits_strip.h"

#include <algorithm>

namespace qm {

CreditsStrip CreditsStrip::fromPicture(const QImage& picture, int bandRows) {
    CreditsStrip strip;
    if (picture.isNull()) return strip;
    const QImage tiles = picture.convertToFormat(kTileFormat);
    bandRows = std::max(bandRows, 1);
    for (int top = 0; top < tiles.height(); top += bandRows)
        strip.tiles.push_back({tiles.copy(0, top, tiles.width(), std::min(bandRows, tiles.height() - top)), double(top)});
    strip.width = tiles.width();
    strip.height = tiles.height();
    return strip;
}

}  // namespace qm
