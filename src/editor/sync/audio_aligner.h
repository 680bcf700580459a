#pragma once
// The editor's sound analysis: a file's sound as one mono stream at a low rate, and where one
// recording's sound lies in another's.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <vector>

namespace qm::AudioAligner {

// A channel of a file: the index among its audio tracks and the channel within that track.
struct ChannelRef {
    int64_t track = 0;
    int64_t channel = 0;
    bool operator==(const ChannelRef&) const = default;
};

struct LoadedSound {
    std::vector<float> samples;  // mono at the rate asked for, never empty
    double start = 0;            // media time of the first sample
    bool operator==(const LoadedSound&) const = default;
};

// Hands out mono sound as it is converted; the pointer is valid only during the call.
using SoundSink = std::function<void(const float* samples, size_t count)>;

// Decodes the first audio track that has a channel besides `excluding` (a mono track that is the
// excluded one is passed over), mixes its channels but the excluded one to mono and converts it to
// `rate` (a whole number of Hz) without time shift, stopping once `maxSeconds` of source sound
// have been read. Hands the sound to `sink` and returns the media time of its first sample, or
// none when there is no usable sound (no such track, nothing decoded, a rate that is not a
// positive whole number, a stop request). Files that cannot be read throw. Gaps in the stream's
// timestamps become silence; a read error after the first sound ends the read.
std::optional<double> streamSamples(const std::filesystem::path& file, std::optional<ChannelRef> excluding, double rate,
                                    double maxSeconds, const SoundSink& sink, std::stop_token stop = {});

// streamSamples collected into one array.
std::optional<LoadedSound> loadSamples(const std::filesystem::path& file, std::optional<ChannelRef> excluding,
                                       double rate, double maxSeconds, std::stop_token stop = {});

struct Match {
    double lag = 0;    // b's sample 0 lies at a's sample `lag` (fractional)
    double score = 0;  // standard deviations the peak stands above the other lags
    bool operator==(const Match&) const = default;
};

// Phase-transform weighted cross-correlation of b against a over every lag that leaves at least
// min(minOverlap, |a|, |b|) samples of b inside a (every lag with some overlap when minOverlap <= 0).
std::optional<Match> correlate(const std::vector<float>& a, const std::vector<float>& b, int64_t minOverlap);
std::optional<Match> correlate(const float* a, size_t na, const float* b, size_t nb, int64_t minOverlap);

struct Consistency {
    enum class Kind { drifting, consistent, tooShort, unconfirmed };
    Kind kind = Kind::unconfirmed;
    double spread = 0;       // drifting: seconds between the windows' offsets
    double speedChange = 0;  // drifting: percent; positive when the clip plays faster

    static Consistency drifting(double spread, double speedChange) { return {Kind::drifting, spread, speedChange}; }
    static Consistency consistent() { return {Kind::consistent, 0, 0}; }
    static Consistency tooShort() { return {Kind::tooShort, 0, 0}; }
    static Consistency unconfirmed() { return {Kind::unconfirmed, 0, 0}; }

    // The payload takes part only for drifting.
    bool operator==(const Consistency& o) const {
        return kind == o.kind && (kind != Kind::drifting || (spread == o.spread && speedChange == o.speedChange));
    }
};

// Checks a lag found for (reference, clip) along the clip: up to six 4-second windows, each
// searched near its expected place; their offsets within `tolerance` seconds of each other and of
// the lag are consistent. A rate that is not finite and positive gives unconfirmed.
Consistency align(const std::vector<float>& reference, const std::vector<float>& clip, double lag, double rate,
                  double tolerance);

}  // namespace qm::AudioAligner
