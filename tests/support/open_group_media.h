#pragma once
// HEVC movies in short open groups, made by the peer FFmpeg's libx265 from Debian's ffmpeg's
// pictures: key frames four pictures apart, B-frame pyramids, so that the leading pictures of each
// key frame are predicted from those of the key frame before it.

#include <filesystem>
#include <string>

#include "support/damaged_media.h"
#include "support/test_support.h"

namespace qm::test {

// 40 frames of 256 × 96 at 24 per second, with an alpha layer (a wave moving over the picture)
// where `alpha`.
inline std::filesystem::path shortOpenGroupsMovie(const std::filesystem::path& folder, bool alpha) {
    const std::filesystem::path raw = folder / "open groups.yuva", movie = folder / (alpha ? "open alpha.mov" : "open plain.mov");
    if (!std::filesystem::exists(raw))
        ffmpeg({"-f", "lavfi", "-i",
                "testsrc2=s=256x96:r=24:d=1.6667,format=yuva420p,geq=lum='lum(X,Y)':cb='cb(X,Y)':cr='cr(X,Y)':a='128+127*sin(X/20+N/3)'",
                "-frames:v", "40", "-f", "rawvideo", "-pix_fmt", "yuva420p", raw.string()});
    peerFfmpeg({"-f", "rawvideo", "-pix_fmt", "yuva420p", "-s", "256x96", "-r", "24", "-i", raw.string(), "-c:v", "libx265",
                "-pix_fmt", alpha ? "yuva420p" : "yuv420p", "-x265-params",
                std::string(alpha ? "alpha=1:" : "") +
                    "bframes=3:b-pyramid=1:ref=2:open-gop=1:keyint=4:min-keyint=2:lossless=1:log-level=error",
                "-tag:v", "hvc1", movie.string()});
    return movie;
}

// The movie with the alpha-layer slices of its sample `index` (in stored order) turned into filler
// data, which decoders skip; frame 9 of the movie above is sample 11, a leading picture of the key
// frame at 12.
inline std::filesystem::path withoutAlphaOfSample(const std::filesystem::path& movie, size_t index,
                                                  const std::filesystem::path& out) {
    std::string file = readFile(movie);
    const auto spans = videoSampleSpans(movie);
    for (const HevcUnit& u : hevcUnits(file, spans.at(index).first, spans.at(index).second))
        if (u.layer == 1 && u.type < 32) file[u.at + 4] = char(38 << 1 | (file[u.at + 4] & 1));
    writeFile(out, file);
    return out;
}

}  // namespace qm::test
