#pragma once
// Greyscale dilation by a disc: every value becomes the largest value within `radius` of it
// (dx² + dy² ≤ radius²). Nothing lies beyond the plane's edges (it counts as 0).

#include <optional>
#include <vector>

#include "platform/raster/float_plane.h"

namespace qm {

// A radius below 1 (or not finite) leaves the plane unchanged. With `used`, only that area is
// read (the caller vouches that everything outside it is 0) and only the area within the
// radius of it is written. `work` holds a copy of the used area; a caller drawing many frames
// passes the same one each time, so that its memory is not mapped anew for every frame.
void dilateDisc(FloatPlane& plane, double radius, std::optional<Area> used = std::nullopt, std::vector<float>* work = nullptr);

}  // namespace qm
