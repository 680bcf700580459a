#pragma once
// The model-free half of the editor's media analysis: what one file holds (LTC, waveform peaks).

#include <filesystem>
#include <optional>
#include <stop_token>
#include <vector>

#include "editor/sync/audio_aligner.h"
#include "editor/sync/timecode.h"

namespace qm {

struct MediaAnalysis {
    std::optional<LTCInfo> ltc;
    std::optional<std::vector<float>> waveform;
    bool operator==(const MediaAnalysis&) const = default;
};

// Peaks of a file's sound at 2000 Hz without its LTC channel: the largest magnitude of every 20
// samples (10 ms), divided by the largest of them. Streamed: only the peaks are kept. None when
// the sound cannot be read or there is none.
std::optional<std::vector<float>> waveformPeaks(const std::filesystem::path& file,
                                                std::optional<AudioAligner::ChannelRef> excluding,
                                                std::stop_token stop = {});

// LTC (300 frames or 120 s per track) and, when asked for, the waveform. Errors count as none.
MediaAnalysis analyzeMedia(const std::filesystem::path& file, bool needsWaveform, std::stop_token stop = {});

}  // namespace qm
