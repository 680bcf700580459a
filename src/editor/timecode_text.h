#pragma once
// The workspace's timecode text of a time at a frame rate: "HH:MM:SS:FF" of whole frames.

#include <QString>

namespace qm {

// With f = max(1, the rate rounded) and n = max(0, seconds) × rate rounded (halves away from
// zero): hours (not wrapped at 24), minutes, seconds and frames of n at f per second.
// 00:00:00:00 when timecodeFits says no.
QString formatTimecode(double seconds, double rate);
// Whether the time and rate are finite and the frame count fits 64 bits.
bool timecodeFits(double seconds, double rate);

}  // namespace qm
