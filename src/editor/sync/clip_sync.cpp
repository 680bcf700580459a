#include "editor/sync/clip_sync.h"

#include <QCoreApplication>

#include <cmath>
#include <exception>

namespace qm {

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

namespace {
std::optional<AudioAligner::ChannelRef> channelOf(const std::optional<LTCInfo>& ltc) {
    if (!ltc) return std::nullopt;
    return AudioAligner::ChannelRef{ltc->track, ltc->channel};
}
}  // namespace

SyncItemResult syncItem(const SyncSource& reference, const SyncSource& item, double rate,
                        std::optional<AudioAligner::LoadedSound>& referenceSound, std::stop_token stop,
                        const SoundMatcher& match) {
    if (reference.ltc && item.ltc)
        if (const auto offset = ltcSyncOffset(*reference.ltc, *item.ltc))
            return {SyncReport::Outcome::timecode(), offset};
    if (!reference.hasAudio || !item.hasAudio) return {SyncReport::Outcome::noSound(), std::nullopt};
    const SoundMatcher& compare = match ? match : SoundMatcher(matchSound);
    SoundMatch found = compare(std::move(referenceSound), reference.file, channelOf(reference.ltc), item.file,
                               channelOf(item.ltc), rate, stop);
    referenceSound = std::move(found.reference);
    const SyncReport::Outcome outcome = soundOutcome(found);
    const bool placed = outcome.kind == SyncReport::Outcome::Kind::sound;
    return {outcome, placed ? found.offset : std::nullopt};
}

QString syncStatusText() { return QCoreApplication::translate("EditorModel", "Syncing…"); }

QString syncStatusText(int64_t item, int64_t count) {
    return QCoreApplication::translate("EditorModel", "Syncing %lld of %lld…")
        .replace(QString("%lld of %lld"), QString::asprintf("%lld of %lld", static_cast<long long>(item), static_cast<long long>(count)));
}

}  // namespace qm
