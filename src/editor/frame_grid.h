#pragma once
// The editor's frame grid: times snapped to whole frames of the project's rate.

#include <algorithm>
#include <cmath>

namespace qm {

// A rate that is not a positive number counts as 1 so no division yields NaN.
inline double usableRate(double fps) { return std::isfinite(fps) && fps > 0 ? fps : 1.0; }

// round(max(0, t) × fps) / fps, halves away from zero; a NaN time counts as 0.
inline double frameRounded(double t, double fps) {
    const double rate = usableRate(fps);
    if (!(t > 0)) return 0.0;
    const double frames = std::round(t * rate);
    // Past the range of frame numbers the time is already as coarse as any frame.
    return std::isfinite(frames) ? frames / rate : t;
}

// A time shift in whole frames either way, round(s × fps) / fps with halves away from zero; a shift
// that is not a number moves nothing.
inline double frameShift(double seconds, double fps) {
    const double rate = usableRate(fps);
    const double frames = std::round(seconds * rate);
    return std::isfinite(frames) ? frames / rate : 0.0;
}

// One frame: 1 / max(fps, 1) seconds.
inline double oneFrame(double fps) { return 1.0 / std::max(usableRate(fps), 1.0); }
// Two keyframe times closer than this are the same time.
inline double halfFrame(double fps) { return 0.5 * oneFrame(fps); }

}  // namespace qm
