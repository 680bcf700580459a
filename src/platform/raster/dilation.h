#pragma once
// Greyscale dilation by a disc: every value becomes the largest value within `radius` of it
// (dx² + dy² ≤ radius²). Nothing lies beyond the plane's edges (it counts as 0).

#include <optional>

#include "platform/raster/float_plane.h"

namespace qm {

// A radius below 1 (or not finite) leaves the plane unchanged. With `used`, only that area is
// read (the caller vouches that everything outside it is 0) and only the area within the
// radius of it is written.
void dilateDisc(FloatPlane& plane, double radius, std::optional<Area> used = std::nullopt);

}  // namespace qm
