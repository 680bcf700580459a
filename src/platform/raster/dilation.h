#pragma once
// Greyscale dilation by a disc: every value becomes the largest value within `radius` of it
// (dx² + dy² ≤ radius²). Nothing lies beyond the plane's edges (it counts as 0).

#include "platform/raster/float_plane.h"

namespace qm {

// A radius below 1 (or not finite) leaves the plane unchanged.
void dilateDisc(FloatPlane& plane, double radius);

}  // namespace qm
