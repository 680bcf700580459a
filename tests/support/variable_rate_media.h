#pragma once
// Variable-frame-rate movies made with the ffmpeg CLI, each picture carrying its number as the grey
// level of a block in its top-left corner, and the picture shown at a time worked out from the
// presentation times ffprobe lists: the latest at or before t + half a frame of the average rate.

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "platform/media/pixel_buffer.h"
#include "support/test_support.h"

namespace qm::test {

struct VariableRateMovie {
    std::filesystem::path file;
    std::vector<double> times;  // of the pictures in presentation order, from the track's start
};

// Long stills and a burst, as screen recorders store them: three pictures in the first second, all
// thirty of the next one, then one every half second. Or phone-like 30 fps whose every frame time
// is shifted by up to 12 ms.
enum class Spacing { stillsAndBursts, jittered };

constexpr int kMarkerWidth = 160, kMarkerHeight = 96;

// Luma 16 + 3n in a 32 × 32 block (neutral chroma), for picture n in presentation order.
inline VariableRateMovie makeVariableRateMovie(const std::filesystem::path& file, Spacing spacing,
                                               const std::vector<std::string>& codec) {
    const std::string marker =
        "geq=lum='if(lt(X\\,32)*lt(Y\\,32)\\,16+3*N\\,lum(X\\,Y))'"
        ":cb='if(lt(X\\,16)*lt(Y\\,16)\\,128\\,cb(X\\,Y))':cr='if(lt(X\\,16)*lt(Y\\,16)\\,128\\,cr(X\\,Y))'";
    const std::string source = "testsrc2=s=160x96:r=30:d=" + std::string(spacing == Spacing::jittered ? "2.3" : "5");
    const std::string times =
        spacing == Spacing::jittered
            ? "settb=1/90000,setpts='(N/30+0.012*random(0))/TB'"
            : "select='lt(n\\,30)*not(mod(n\\,10))+between(n\\,30\\,59)+gte(n\\,60)*not(mod(n\\,15))',settb=1/90000";
    std::vector<std::string> args = {"-f", "lavfi", "-i", source + "," + times + "," + marker, "-fps_mode", "passthrough"};
    args.insert(args.end(), codec.begin(), codec.end());
    args.push_back(file.string());
    ffmpeg(args);

    // Exact times from the integer stamps and the stream's time base.
    VariableRateMovie movie{file, {}};
    const std::string stream = run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                    "stream=time_base,start_pts", "-of", "csv=p=0", file.string()}).output;
    long long num = 0, den = 1, start = 0;
    char slash = 0, comma = 0;
    std::istringstream(stream) >> num >> slash >> den >> comma >> start;
    std::istringstream frames(run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pts",
                                   "-of", "default=nw=1:nk=1", file.string()}).output);
    for (long long pts; frames >> pts;) movie.times.push_back(double(pts - start) * double(num) / double(den));
    return movie;
}

// The picture a time shows; the first one before it starts.
inline int pictureAt(const std::vector<double>& times, double frameRate, double t) {
    const double target = t + 0.5 / std::max(frameRate, 1.0);
    const auto after = std::upper_bound(times.begin(), times.end(), target);
    return after == times.begin() ? 0 : int(after - times.begin()) - 1;
}

// Whether t lies so near a change of picture that rounding of stored times could decide it.
inline bool nearAChange(const std::vector<double>& times, double frameRate, double t) {
    const double target = t + 0.5 / std::max(frameRate, 1.0);
    return std::any_of(times.begin(), times.end(), [&](double s) { return std::abs(s - target) < 2e-3; });
}

// The number a picture carries (BGRA or little-endian ARGB32 rows), read as the mean green level
// of the block's inside.
inline int markerOf(const uint8_t* pixels, size_t bytesPerRow) {
    double sum = 0;
    for (int y = 8; y < 24; ++y)
        for (int x = 8; x < 24; ++x) sum += pixels[size_t(y) * bytesPerRow + size_t(x) * 4 + 1];
    const double luma = sum / 256 * 219.0 / 255.0 + 16;  // limited range
    return int(std::lround((luma - 16) / 3));
}

// -1 for no picture.
inline int markerOf(const PixelBuffer* picture) {
    if (picture == nullptr || picture->width() < 32 || picture->height() < 32) return -1;
    return markerOf(picture->data(), picture->bytesPerRow());
}

}  // namespace qm::test
