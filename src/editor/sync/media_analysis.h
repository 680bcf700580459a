#pragma once
// The model-free halves of the editor's media analysis and clip sync: what one file holds (LTC,
// waveform peaks), one sound comparison, and the offset two timecode readings give.

#include <filesystem>
#include <optional>
#include <stop_token>
#include <vector>

#include "editor/sync/audio_aligner.h"
#include "editor/sync/sync_report.h"
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

struct SoundMatch {
    std::optional<AudioAligner::LoadedSound> reference;  // the reference sound as now cached
    std::optional<double> offset;                        // seconds of the clip's time 0 on the reference's
    std::optional<AudioAligner::Consistency> consistency;
    std::optional<double> score;  // the whole-clip peak's, whenever a correlation came back
    bool operator==(const SoundMatch&) const = default;
};

// What a sync run records for a comparison: no verdict is no match; consistent or too short to
// check is synced by sound; unconfirmed is partial; drifting is another speed.
SyncReport::Outcome soundOutcome(const SoundMatch& match);

// One sound comparison of a clip's file against the reference's: reference sound from the cache
// or loaded (3600 s), clip sound (600 s), a match with a score of at least 10 over an overlap of
// two seconds, then the verdict at a tolerance of 30 ms. Never throws.
SoundMatch matchSound(std::optional<AudioAligner::LoadedSound> reference, const std::filesystem::path& referenceFile,
                      std::optional<AudioAligner::ChannelRef> referenceLTC, const std::filesystem::path& clipFile,
                      std::optional<AudioAligner::ChannelRef> clipLTC, double rate, std::stop_token stop = {});

// The analysis rate of a sync run: 2000 Hz, or 1000 Hz when the reference runs over 1200 s.
double syncAnalysisRate(double referenceDuration);

// Where `other`'s media time 0 lies on the reference's media time, in seconds, from their
// timecode; none unless both share nominal rate and drop-frame and the reference's measured rate
// is usable. The frame difference is taken within half a day, so recordings either side of
// midnight stay seconds apart.
std::optional<double> ltcSyncOffset(const LTCInfo& reference, const LTCInfo& other);

}  // namespace qm
