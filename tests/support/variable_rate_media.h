#pragma once
// Variable-frame-rate movies made with the ffmpeg CLI, picture n carrying luma 16 + 3n in a corner
// block: stills and a burst as screen recorders store them (3 pictures in the first second, all 30 of
// the next, then one every half second), or 30 fps with each time shifted by up to 12 ms.

#include <algorithm>
#include <cmath>
#include <optional>
#include <sstream>

#include "support/test_support.h"

namespace qm::test {

// The pictures' times from the track's start, as ffprobe lists them.
inline std::vector<double> makeVariableRateMovie(const std::filesystem::path& file, bool jittered, std::vector<std::string> codec) {
    const std::string times =
        jittered ? "d=2.3,settb=1/90000,setpts='(N/30+0.012*random(0))/TB'"
                 : "d=5,select='lt(n\\,30)*not(mod(n\\,10))+between(n\\,30\\,59)+gte(n\\,60)*not(mod(n\\,15))',settb=1/90000";
    const std::string marker = ",geq=lum='if(lt(X\\,32)*lt(Y\\,32)\\,16+3*N\\,lum(X\\,Y))':cb=128:cr=128";
    codec.insert(codec.begin(), {"-f", "lavfi", "-i", "testsrc2=s=160x96:r=30:" + times + marker, "-fps_mode", "passthrough"});
    codec.push_back(file.string());
    ffmpeg(codec);
    const double start = std::stod(ffprobe(file)["streams"][0]["start_time"].get<std::string>());
    std::istringstream frames(run({"ffprobe", "-v", "error", "-show_entries", "frame=pts_time", "-of", "default=nw=1:nk=1", file.string()}).output);
    std::vector<double> result;
    for (double t; frames >> t;) result.push_back(t - start);
    return result;
}

// The picture shown at t: the latest at or before t + half a frame (the first one before that);
// none where t lies so near a change that rounding of stored times could decide it.
inline std::optional<int> pictureAt(const std::vector<double>& times, double frameRate, double t) {
    const double target = t + 0.5 / frameRate;
    if (std::any_of(times.begin(), times.end(), [&](double s) { return std::abs(s - target) < 2e-3; })) return std::nullopt;
    return std::max(0, int(std::upper_bound(times.begin(), times.end(), target) - times.begin()) - 1);
}

// The number a picture carries (BGRA or little-endian ARGB32 rows): the block's mean green level.
inline int markerOf(const uint8_t* pixels, size_t bytesPerRow) {
    double sum = 0;
    for (size_t y = 8; y < 24; ++y)
        for (size_t x = 8; x < 24; ++x) sum += pixels[y * bytesPerRow + x * 4 + 1];
    return int(std::lround(sum / 256 * 219.0 / 255.0 / 3));  // limited range
}

}  // namespace qm::test
