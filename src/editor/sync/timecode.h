#pragma once
// SMPTE timecode readings and what the LTC reader found on one audio channel of a file.

#include <cstdint>
#include <optional>
#include <string>

namespace qm {

struct Timecode {
    int64_t hours = 0;
    int64_t minutes = 0;
    int64_t seconds = 0;
    int64_t frames = 0;
    bool dropFrame = false;

    // The reading of an absolute frame count at a whole frame rate, wrapped into one day (negative
    // counts run back from midnight), with 29.97 drop-frame numbering when `dropFrame` is set.
    // Rates below 1 (or absurdly large) give 00:00:00:00.
    static Timecode fromFrameNumber(int64_t frameNumber, int64_t rate, bool dropFrame);

    // "01:02:03:04", or "01:02:03;04" for drop-frame.
    std::string displayText() const;

    bool operator==(const Timecode&) const = default;
};

// Frames in one day of timecode: rate x 86400, less the 2592 numbers drop-frame skips.
int64_t timecodeFramesPerDay(int64_t rate, bool dropFrame);

struct LTCInfo {
    int64_t track = 0;          // index among the file's audio tracks
    int64_t channel = 0;        // channel within that track
    int64_t nominalRate = 0;    // 24, 25 or 30
    bool dropFrame = false;
    double measuredRate = 0;    // LTC frames per second of media time
    double startFrame = 0;      // LTC frame number at media time 0
    int64_t framesDecoded = 0;  // frames on the fitted line

    // The measured rate snapped to the nearest standard rate of the nominal one.
    double standardRate() const;
    // "25", "23.976", "29.97 DF", ...
    std::string rateText() const;

    bool operator==(const LTCInfo&) const = default;
};

// The LTC frame number at a media time (floor(startFrame + t x measuredRate + 0.001)); none when
// it is not finite or does not fit a frame count.
std::optional<int64_t> ltcFrameAt(const LTCInfo& info, double mediaTime);
std::optional<Timecode> ltcTimecodeAt(const LTCInfo& info, double mediaTime);

}  // namespace qm
