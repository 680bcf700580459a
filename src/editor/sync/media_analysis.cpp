#include "editor/sync/media_analysis.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "editor/sync/ltc_scan.h"

namespace qm {

namespace {
constexpr double kWaveformRate = 2000.0;
constexpr size_t kBucket = 20;
}  // namespace

std::optional<std::vector<float>> waveformPeaks(const std::filesystem::path& file,
                                                std::optional<AudioAligner::ChannelRef> excluding,
                                                std::stop_token stop) {
    std::vector<float> peaks;
    float current = 0;
    size_t filled = 0;
    std::optional<double> start;
    try {
        start = AudioAligner::streamSamples(
            file, excluding, kWaveformRate, std::numeric_limits<double>::infinity(),
            [&](const float* samples, size_t count) {
                for (size_t i = 0; i < count; ++i) {
                    current = std::max(current, std::abs(samples[i]));
                    if (++filled == kBucket) {
                        peaks.push_back(current);
                        current = 0;
                        filled = 0;
                    }
                }
            },
            stop);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!start) return std::nullopt;
    if (filled > 0) peaks.push_back(current);
    const float norm = std::max(*std::max_element(peaks.begin(), peaks.end()), 0.000001f);
    for (float& p : peaks) p /= norm;
    return peaks;
}

MediaAnalysis analyzeMedia(const std::filesystem::path& file, bool needsWaveform, std::stop_token stop) {
    MediaAnalysis result;
    try {
        result.ltc = readLTC(file, 300, 120.0, stop);
    } catch (const std::exception&) {
        result.ltc.reset();
    }
    if (!needsWaveform) return result;
    std::optional<AudioAligner::ChannelRef> excluding;
    if (result.ltc) excluding = AudioAligner::ChannelRef{result.ltc->track, result.ltc->channel};
    result.waveform = waveformPeaks(file, excluding, stop);
    return result;
}

double syncAnalysisRate(double referenceDuration) { return referenceDuration > 1200.0 ? 1000.0 : 2000.0; }

SoundMatch matchSound(std::optional<AudioAligner::LoadedSound> reference, const std::filesystem::path& referenceFile,
                      std::optional<AudioAligner::ChannelRef> referenceLTC, const std::filesystem::path& clipFile,
                      std::optional<AudioAligner::ChannelRef> clipLTC, double rate, std::stop_token stop) {
    SoundMatch match;
    if (!reference || reference->samples.empty()) {
        try {
            reference = AudioAligner::loadSamples(referenceFile, referenceLTC, rate, 3600.0, stop);
        } catch (const std::exception&) {
            return match;
        }
        if (!reference) return match;
    }
    match.reference = std::move(reference);
    std::optional<AudioAligner::LoadedSound> clip;
    try {
        clip = AudioAligner::loadSamples(clipFile, clipLTC, rate, 600.0, stop);
    } catch (const std::exception&) {
        return match;
    }
    if (!clip) return match;
    const auto& ref = *match.reference;
    const auto found = AudioAligner::correlate(ref.samples, clip->samples, int64_t(2 * rate));
    if (found) match.score = found->score;
    if (!found || !(found->score >= 10.0)) return match;
    match.consistency = AudioAligner::align(ref.samples, clip->samples, found->lag, rate, 0.03);
    match.offset = found->lag / rate + ref.start - clip->start;
    return match;
}

SyncReport::Outcome soundOutcome(const SoundMatch& match) {
    if (!match.consistency) return SyncReport::Outcome::noMatch();
    switch (match.consistency->kind) {
    case AudioAligner::Consistency::Kind::consistent:
    case AudioAligner::Consistency::Kind::tooShort: return SyncReport::Outcome::sound();
    case AudioAligner::Consistency::Kind::unconfirmed: return SyncReport::Outcome::partial();
    case AudioAligner::Consistency::Kind::drifting: return SyncReport::Outcome::differentSpeed(match.consistency->speedChange);
    }
    return SyncReport::Outcome::noMatch();
}

std::optional<double> ltcSyncOffset(const LTCInfo& reference, const LTCInfo& other) {
    if (reference.nominalRate != other.nominalRate || reference.dropFrame != other.dropFrame) return std::nullopt;
    if (!std::isfinite(reference.measuredRate) || !(reference.measuredRate > 0)) return std::nullopt;
    const double perDay = double(timecodeFramesPerDay(reference.nominalRate, reference.dropFrame));
    double difference = other.startFrame - reference.startFrame;
    if (!std::isfinite(difference)) return std::nullopt;
    // Timecode restarts at midnight: the nearer of the two ways round is the real distance.
    if (perDay > 0) difference -= perDay * std::floor(difference / perDay + 0.5);
    return difference / reference.measuredRate;
}

}  // namespace qm
