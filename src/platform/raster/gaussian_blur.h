#pragma once
// Gaussian blur of one float channel, with the plane's edge pixels repeated outwards (the plane
// clamped to infinity before blurring, then cropped back).

#include "platform/raster/float_plane.h"

namespace qm {

// Small sigmas use the sampled kernel itself (normalised, reaching 4 sigma); larger ones six
// passes of an extended box filter of the same variance, whose cost does not grow with sigma.
// A sigma that is not positive or not finite leaves the plane unchanged.
void gaussianBlur(FloatPlane& plane, double sigma);

}  // namespace qm
