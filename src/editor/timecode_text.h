#pragma once
// The workspace's timecode text of a time at a frame rate: "HH:MM:SS:FF" of whole frames.

#include <QString>

namespace qm {

// With f = max(1, the rate rounded) and n = max(0, seconds) × rate rounded (halves away from
// zero): hours (not wrapped at 24), minutes, seconds and frames of n at f per second. A time or
// rate that is not finite, or a frame count past 64 bits, gives "--".
QString formatTimecode(double seconds, double rate);

}  // namespace qm
