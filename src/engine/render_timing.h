#pragma once
// Frame timing of rendered exports (credits roll, editor timeline): the exact duration of one
// frame for a rate, how many frames a length takes, and how many frames one batch holds.

#include <cstdint>

#include "platform/media/media_time.h"

namespace qm {

// One frame at `rate` frames per second: NTSC rates (within 0.005 of n × 1000/1001) give
// 1001/(n × 1000), whole rates 100/(n × 100), any other rate 1000/round(rate × 1000).
// A rate that is not finite, not positive or whose timescale would not fit 32 bits gives an
// invalid time; callers keep their rates in a sane range.
MediaTime frameDuration(double rate);

// Frames needed to show `seconds` at `frameDuration`, a partial last frame included, at least 1.
// The length is first rounded to a tick of the frame duration's timescale, so that float noise in
// a sum such as 3 + 60 + 3 seconds never adds a frame. An invalid duration gives 1.
int64_t renderFrameCount(double seconds, MediaTime frameDuration);

// The longest timeline or roll anything renders or opens: far past any real show, short of
// lengths that only fill a disk or overflow pixel and frame arithmetic.
inline constexpr double kLongestTimelineSeconds = 100 * 3600.0;
// Throws ConversionError encodeFailed for a render longer than kLongestTimelineSeconds.
void checkRenderLength(double seconds);

// Frames rendered per batch for a width × height output: at most 1.5 GB of 8-byte pixels, no
// more than the processors and 32, never fewer than 2. `processors` < 1 counts as 1.
int renderBatchSize(int64_t width, int64_t height, int processors);
// The same with the processors this process may use.
int renderBatchSize(int64_t width, int64_t height);

}  // namespace qm
