#pragma once
// Gaussian blur of one float channel, with the plane's edge pixels repeated outwards (the plane
// clamped to infinity before blurring, then cropped back).

#include <optional>

#include "platform/raster/float_plane.h"

namespace qm {

// Small sigmas use the sampled kernel itself (normalised, reaching 3 sigma); larger ones six
// passes of an extended box filter of the same variance, whose cost does not grow with sigma.
// A sigma that is not positive or not finite leaves the plane unchanged. Without `used` the
// whole plane is searched for the rows that hold anything; with it, only those rows (the caller
// vouches that the others are 0).
void gaussianBlur(FloatPlane& plane, double sigma, std::optional<RowRange> used = std::nullopt);

}  // namespace qm
