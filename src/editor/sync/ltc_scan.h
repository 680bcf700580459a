#pragma once
// Finding linear timecode in a media file's sound and reducing it to one LTCInfo.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <vector>

#include "editor/sync/ltc_decoder.h"
#include "editor/sync/timecode.h"

namespace qm {

// Walks the file's audio tracks in order and keeps the reading with the most frames on its
// fitted line; a track whose reading reaches `minFrames` ends the walk. Each track is read until
// one channel has `minFrames` frames or `maxSeconds` of sound were read. Files that cannot be
// opened throw MediaError; files without (decodable) LTC give none. A stop request gives none.
std::optional<LTCInfo> readLTC(const std::filesystem::path& file, int64_t minFrames, double maxSeconds,
                               std::stop_token stop = {});

// One track of readLTC; `audioTrack` counts the file's audio tracks from 0.
std::optional<LTCInfo> decodeLTCTrack(const std::filesystem::path& file, int audioTrack, int64_t minFrames,
                                      double maxSeconds, std::stop_token stop = {});

// One channel's decoded frames reduced to nominal rate, drop-frame, measured rate and the frame
// number at sample 0 (track and channel left at 0). Frames off the common line (dropouts, jumps)
// are left out; fewer than 10 on it, or a fitted rate that is not within 1 % of a standard rate
// of the nominal one, give none.
std::optional<LTCInfo> analyzeLTCFrames(const std::vector<LTCDecoder::Frame>& frames, double sampleRate);

// Position minus number x samplesPerFrame, pair by pair (the shorter list decides the length).
std::vector<double> ltcOffsets(const std::vector<LTCDecoder::Frame>& frames, const std::vector<double>& numbers,
                               double samplesPerFrame);

}  // namespace qm
