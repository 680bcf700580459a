#pragma once
// The model-free half of the clip sync run: one media item placed against the reference, by
// timecode or by matching sound, and the texts the run shows.

#include <QString>

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>

#include "editor/sync/audio_aligner.h"
#include "editor/sync/sync_report.h"
#include "editor/sync/timecode.h"

namespace qm {

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

// matchSound or a stand-in for it.
using SoundMatcher = std::function<SoundMatch(
    std::optional<AudioAligner::LoadedSound> reference, const std::filesystem::path& referenceFile,
    std::optional<AudioAligner::ChannelRef> referenceLTC, const std::filesystem::path& clipFile,
    std::optional<AudioAligner::ChannelRef> clipLTC, double rate, std::stop_token stop)>;

// The analysis rate of a sync run: 2000 Hz, or 1000 Hz when the reference runs over 1200 s.
double syncAnalysisRate(double referenceDuration);

// Where `other`'s media time 0 lies on the reference's media time, in seconds, from their
// timecode; none unless both share nominal rate and drop-frame and the reference's measured rate
// is usable. The frame difference is taken within half a day, so recordings either side of
// midnight stay seconds apart.
std::optional<double> ltcSyncOffset(const LTCInfo& reference, const LTCInfo& other);

// One side of a comparison: the media file, whether it has sound, and its LTC when found.
struct SyncSource {
    std::filesystem::path file;
    bool hasAudio = false;
    std::optional<LTCInfo> ltc;
    bool operator==(const SyncSource&) const = default;
};

struct SyncItemResult {
    SyncReport::Outcome outcome;
    std::optional<double> offset;  // set for the outcomes that place the item: timecode and sound
    bool operator==(const SyncItemResult&) const = default;
};

// One media item of a sync run: by timecode when both sides carry LTC of the same nominal rate
// and drop-frame, else by sound when both have it (no sound otherwise). `referenceSound` is the
// run's cache of the reference's sound, used and refilled here; `match` compares the sound
// (matchSound when empty). Never throws.
SyncItemResult syncItem(const SyncSource& reference, const SyncSource& item, double rate,
                        std::optional<AudioAligner::LoadedSound>& referenceSound, std::stop_token stop = {},
                        const SoundMatcher& match = {});

// "Syncing…" before the first item, then "Syncing 2 of 5…", translated.
QString syncStatusText();
QString syncStatusText(int64_t item, int64_t count);

}  // namespace qm
