#pragma once
// Gaussian blur of one float channel, with the plane's edge pixels repeated outwards (the plane
// clamped to infinity before blurring, then cropped back).

#include <optional>

#include "platform/raster/float_plane.h"

namespace qm {

// Small sigmas use the sampled kernel itself (normalised, reaching 3 sigma); larger ones six
// passes of an extended box filter of the same variance, whose cost does not grow with sigma.
// A sigma that is not positive or not finite leaves the plane unchanged. Without `used` the
// whole plane is searched for what it holds; with it, only that area (the caller vouches that
// everything outside it is 0), and only the area within the blur's reach of it is written.
void gaussianBlur(FloatPlane& plane, double sigma, std::optional<Area> used = std::nullopt);

// The plane blurred with `sigmaA` plus the plane blurred with `sigmaB` (a glow's wide and tight
// halos), as two gaussianBlur calls and an addition would give it, in one sweep. `work` is a
// plane of the same size that is all 0 and is left all 0. A sigma that cannot blur adds the
// plane itself.
void gaussianBlurSum(FloatPlane& plane, double sigmaA, double sigmaB, FloatPlane& work,
                     std::optional<Area> used = std::nullopt);

}  // namespace qm
