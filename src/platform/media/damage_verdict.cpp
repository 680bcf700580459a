#include "platform/media/damage_verdict.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/conversion_error.h"

namespace qm::reading {

MediaTime DamageVerdict::fallbackDuration() const {
    if (lastDuration.isNumeric() && lastDuration.value > 0) return lastDuration;
    if (info.frameRate > 0) return MediaTime::fromSeconds(1.0 / info.frameRate, std::max(info.timeScale, 600));
    return MediaTime::make(1, 30);
}

void DamageVerdict::fail(const MediaError& e) {
    status = VideoSampleReader::Status::failed;
    throw e;
}

void DamageVerdict::failDecoding(const std::string& text) {
    status = VideoSampleReader::Status::failed;
    throw ConversionError::decodeFailed(text);
}

std::string DamageVerdict::frameNamed(int64_t ts) const {
    const MediaTime t = ffmpeg::mediaTimeFrom(ts, timeBase);
    if (!t.isNumeric()) return "a frame";
    const double seconds = (t - info.timeRangeStart).seconds();
    if (info.frameRate > 0) return "frame " + std::to_string(std::max<int64_t>(0, std::llround(seconds * info.frameRate)));
    char text[48];
    std::snprintf(text, sizeof text, "the frame at %.3f s", seconds);
    return text;
}

void DamageVerdict::failDamaged(int64_t ts, const char* why) {
    ts = run.damage.firstSpoiled(ts, shownFrom(), samplesFollowing(ts));
    ts = pictureLacking(ts).value_or(ts);
    run.failedPicture = ts;
    failDecoding(frameNamed(ts) + " can't be decoded: " + why);
}

std::optional<int64_t> DamageVerdict::shownFrom() const {
    std::optional<int64_t> from = owedFrom(AV_NOPTS_VALUE);
    // Read again from the start, the pictures are shown as far as those passed over yet.
    const MediaTime shown = givenToPass > 0 ? passedUpTo : lastTime;
    if (shown.isNumeric()) {
        const int64_t after = ffmpeg::timestampFrom(shown, timeBase) + 1;
        if (!from || after > *from) from = after;
    }
    return from;
}

std::vector<int64_t> DamageVerdict::samplesFollowing(int64_t ts) {
    std::vector<int64_t> stamps;
    if (ts == AV_NOPTS_VALUE) return stamps;
    for (size_t depth = 1; depth <= kReorderLimit; ++depth) {
        if (track.peekAhead(depth) < 0) break;
        const AVPacket& next = *track.readAhead[depth - 1].first;
        if (next.pts == AV_NOPTS_VALUE || next.pts > ts) break;
        stamps.push_back(next.pts);
    }
    return stamps;
}

bool DamageVerdict::takeListedEmpty(int rc, bool damaged, std::optional<int64_t> lacking) {
    const std::optional<EmptySample> last = run.lastRead ? run.lastRead : seekBegan ? std::nullopt : std::optional(EmptySample{});
    if (rc == 0) run.lastRead = EmptySample{packet->pts, packet->dts, packet->pos};
    if (!last || bothLayers()) return false;
    const std::optional<int64_t> pos = rc == 0 && packet->pos >= 0 ? std::optional(packet->pos) : std::nullopt;
    std::optional<EmptySample> taken;
    for (const EmptySample& e : listedEmpty.upTo(pos)) {
        const bool after = e.dts != AV_NOPTS_VALUE ? e.dts > last->dts : e.pos > last->pos;
        if (!after || (rc == 0 && !e.before(*packet))) continue;
        taken = e;
        break;
    }
    const std::optional<EmptySample> dropped = listedEmpty.droppedBetween(last->pos, pos);
    if (damaged && (!taken || (dropped && dropped->pos < taken->pos))) {
        taken = dropped;
        if (!taken && rc == 0) {
            const int64_t ts = lacking && packet->pts != AV_NOPTS_VALUE ? std::min(*lacking, packet->pts) : packet->pts;
            taken = EmptySample{ts, packet->dts, packet->pos, true};
        }
        if (!taken && lacking) taken = EmptySample{*lacking, AV_NOPTS_VALUE, -1, true};
    }
    if (!taken) return false;
    // A lost sample whose stamp the file hides: the first picture lacking after those read.
    if (taken->lost && taken->pts == AV_NOPTS_VALUE)
        taken->pts = run.ending.lackingAfterRead(reorderDepth(), ffmpeg::timestampFrom(fallbackDuration(), timeBase)).value_or(AV_NOPTS_VALUE);
    PacketPtr read = ffmpeg::allocPacket("read");
    std::swap(packet, read);
    track.readAhead.emplace_front(std::move(read), rc);
    packet->pts = taken->pts;
    packet->dts = taken->dts;
    packet->pos = taken->pos;
    if (taken->lost) packet->flags |= kLostPacket;
    run.lastRead = *taken;
    return true;
}

void DamageVerdict::failIncomplete() {
    const int64_t ts = packet->pts;
    if (ts == AV_NOPTS_VALUE) fail(MediaError("read sample", "sample " + std::to_string(run.samplesRead) + " is incomplete"));
    const int64_t first = run.damage.firstSpoiled(ts, shownFrom(), samplesFollowing(ts));
    const MediaTime at = ffmpeg::mediaTimeFrom(first, timeBase);
    if (!run.cutAt || at < *run.cutAt) run.cutAt = at;
    fail(MediaError("read sample", frameNamed(first) + " is incomplete in the file"));
}

bool DamageVerdict::lacksTransportPacket() {
    const int next = track.peekAhead(1);
    if (next == AVERROR_EOF) return listedEmpty.lacksPacket(packet->pts, std::nullopt);
    if (next < 0 || track.readAhead.front().first->pos < 0) return false;
    return listedEmpty.lacksPacket(packet->pts, track.readAhead.front().first->pos);
}

bool DamageVerdict::packetRead(int rc) {
    if (!endsInside) endsInside = transportEnd(format.get(), info.streamIndex, file);
    const bool inSample = *endsInside == TransportEnd::insideSample;
    // Parsed from MPEG-TS, a sample's flags come with the sample before it.
    if (rc == 0 && track.byteStream() && (packet->flags & AV_PKT_FLAG_CORRUPT) && packet->pos != run.flaggedAt && track.peekAhead(1) == 0) {
        packet->flags &= ~AV_PKT_FLAG_CORRUPT;
        track.readAhead.front().first->flags |= AV_PKT_FLAG_CORRUPT;
        run.flaggedAt = track.readAhead.front().first->pos;
    }
    // A Matroska file cut short ends in an element its demuxer finds damaged: the cut tells.
    // Damage the demuxer met while probing the file's first packets, which it hands on later,
    // is told at the end (MP4's sample tables tell their own).
    // Where it dropped a block before the first packet read, that block is told there.
    const bool probed = track.demuxerErrors.damagedOnOpening() && std::strstr(format->iformat->name, "mov") == nullptr &&
                        (rc == AVERROR_EOF || (rc == 0 && !run.lastRead && !seekBegan && packet->pos >= 0 && listedEmpty.droppedBefore(packet->pos)));
    const bool damaged = ((packet->flags & kAfterDamagedStructure) != 0 || probed) && countsWhole() && !endOfFile().cutShort;
    packet->flags &= ~kAfterDamagedStructure;
    // Where nothing the file lists tells what the demuxer dropped: the first picture lacking
    // after those read before.
    const std::optional<int64_t> lacking =
        damaged ? run.ending.lackingAfterRead(reorderDepth(), ffmpeg::timestampFrom(fallbackDuration(), timeBase)) : std::nullopt;
    // A transport packet lost from a PES packet is damage, also where the demuxer's mark on it
    // is lost (on the file's first samples) or would have it read as the file's end.
    if (rc == 0 && track.byteStream() && countsWhole() && lacksTransportPacket()) failIncomplete();
    if (rc == 0 && run.ending.heldInPart(*packet, timeBase, track.byteStream(), inSample, peek())) rc = AVERROR_EOF;
    if ((rc == 0 || rc == AVERROR_EOF) && takeListedEmpty(rc, damaged, lacking)) rc = 0;
    if (rc == AVERROR_EOF) {
        if (!run.cutAt && !run.demuxFailure) findCut();
        return false;
    }
    if (rc < 0) fail(MediaError::fromCode("read sample", rc));
    if (packet->flags & AV_PKT_FLAG_CORRUPT) failIncomplete();
    return true;
}

StreamEnding::Peek DamageVerdict::peek() {
    return [this](size_t depth) { return track.peekAhead(depth); };
}

const FileEnd& DamageVerdict::endOfFile() {
    if (!fileEnding) fileEnding = fileEnd(format.get(), file);
    return *fileEnding;
}

bool DamageVerdict::endedInside(int64_t ts) {
    if (endsInside == TransportEnd::closedSample || !run.ending.endedInside(ts, track.byteStream(), peek())) return false;
    findCut();
    return run.cutAt.has_value();
}

void DamageVerdict::findCut() {
    const std::optional<int64_t> lacking = firstMissingSample(format.get(), info.streamIndex, file);
    const bool matroska = std::strncmp(format->iformat->name, "matroska", 8) == 0;
    const int reorder = reorderDepth();
    FileEnd end = endOfFile();
    // A sample begun in the file's last transport packet is lacking, and with it the pictures
    // shown after it, though every sample read is whole.
    end.cutShort = end.cutShort || endsInside == TransportEnd::beforeSample;
    const std::optional<StreamEnding::Cut> cut = run.ending.cut(
        lacking, matroska, end, reorder,
        ffmpeg::timestampFrom(fallbackDuration(), timeBase),
        ffmpeg::timestampFrom(settings.start.isNumeric() ? settings.start : info.timeRangeStart, timeBase));
    if (!cut) return;
    run.cutAt = ffmpeg::mediaTimeFrom(cut->at, timeBase);
    if (cut->promised)
        run.demuxFailure = std::make_exception_ptr(MediaError("read sample", "the file is cut short before " + frameNamed(cut->at)));
}

bool DamageVerdict::worthBeginningEarlier() const {
    if (!run.failedPicture || *run.failedPicture == AV_NOPTS_VALUE) return run.picturesDecoded == 0;
    if (run.leftOutFirst) return !earlier.failedPicture || *run.failedPicture < *earlier.failedPicture;
    if (!run.latestKeySent || *run.failedPicture >= *run.latestKeySent) return false;
    if (earlier.failedPicture && *run.failedPicture == *earlier.failedPicture) return earlier.reach < kFurthestReach;
    return !earlier.failedPicture || *run.failedPicture < *earlier.failedPicture;
}

bool DamageVerdict::shownByStart(int64_t ts) const {
    const MediaTime t = ffmpeg::mediaTimeFrom(ts, timeBase);
    return t.isNumeric() && (t - settings.start).seconds() <= startSlack + 1e-6;
}

bool DamageVerdict::startPictureMissing(int64_t ts) {
    if (!seekBegan || !settings.start.isNumeric() || run.startJudged || run.damage.failedAt()) return false;
    if (ts != AV_NOPTS_VALUE && shownByStart(ts)) return false;
    run.startJudged = true;
    // The decoder of both layers names no samples: its first picture comes after the start.
    if (bothLayers()) return ts != AV_NOPTS_VALUE && run.picturesDecoded == 0;
    return run.startSample && run.damage.awaiting(*run.startSample);
}

std::optional<int64_t> DamageVerdict::owedFrom(int64_t ts) const {
    std::optional<int64_t> from;
    const auto atLeast = [&](int64_t t) {
        if (t != AV_NOPTS_VALUE && (!from || t > *from)) from = t;
    };
    if (settings.start.isNumeric() && run.latestBeforeStart) atLeast(*run.latestBeforeStart);
    // After a seek, the picture shown for the start may come up to half a frame after it.
    if (settings.start.isNumeric() && run.startSample) atLeast(*run.startSample);
    if (earlier.resumeAfter.isNumeric()) atLeast(ffmpeg::timestampFrom(earlier.resumeAfter, timeBase) + 1);
    if (run.picturesDecoded == 0 && !seekBegan) atLeast(ts);
    return from;
}

bool DamageVerdict::acceptDecodedPicture() {
    switch (run.damage.judge(*frame, owedFrom(SampleAccount::stampOf(*frame)), decoderReorders())) {
    case SampleAccount::Picture::whole: return true;
    case SampleAccount::Picture::afterFailure: break;
    case SampleAccount::Picture::leftOut: {
        // Stamps out of their pictures' order (streams joined where their parameters change):
        // a picture whose sample was sent after the one missing waits for it a while.
        if (isH264() && run.waiting.sentBefore(*run.damage.leftOut(), SampleAccount::stampOf(*frame)) &&
            run.waiting.size() < kReorderLimit) {
            run.damage.settle(SampleAccount::stampOf(*frame));
            return true;
        }
        // Frame threads may drop a picture that one thread decodes.
        if (decodeAgainOnOneThread()) break;
        const int64_t missing = *run.damage.leftOut();
        run.leftOutFirst = run.picturesDecoded == 0 && seekBegan.has_value();
        if (failAfterWaiting(missing)) break;
        failDamaged(missing);
    }
    case SampleAccount::Picture::damaged:
        if (run.picturesDecoded == 0 && run.beganMidway.value_or(false)) break;
        if (endedInside(SampleAccount::stampOf(*frame))) break;
        // Under frame threads a picture's marks may be those of another run's timing: it is
        // decoded again, from a key frame before it.
        run.damage.owe(SampleAccount::stampOf(*frame));
        if (decodeAgainOnOneThread()) break;
        run.damage.settle(SampleAccount::stampOf(*frame));
        if (failAfterWaiting(SampleAccount::stampOf(*frame))) break;
        failDamaged(SampleAccount::stampOf(*frame));
    }
    av_frame_unref(frame.get());
    return false;
}

bool DamageVerdict::accountsPictures() const {
    return SampleAccount::namesDamage(AVERROR_INVALIDDATA, format->streams[info.streamIndex]->codecpar->codec_id);
}

std::optional<int64_t> DamageVerdict::owedAtEnd() const {
    if (bothLayers()) return std::nullopt;
    const std::optional<int64_t> end =
        run.cutAt ? std::optional<int64_t>(ffmpeg::timestampFrom(*run.cutAt, timeBase)) : std::nullopt;
    return run.damage.owing(owedFrom(AV_NOPTS_VALUE), end, decoderReorders());
}

std::optional<int64_t> DamageVerdict::pictureLacking(std::optional<int64_t> before) const {
    if (!countsWhole() || !accountsPictures() || run.demuxFailure) return std::nullopt;
    if (run.cutAt) {
        const int64_t cut = ffmpeg::timestampFrom(*run.cutAt, timeBase);
        before = before ? std::min(*before, cut) : cut;
    }
    return count.missing(before);
}

bool DamageVerdict::setWaiting() {
    if (!isH264() || !run.waiting.mustHold(SampleAccount::stampOf(*frame), run.damage.awaited())) return false;
    FramePtr kept(av_frame_alloc());
    if (!kept) fail(MediaError::fromCode("decode", AVERROR(ENOMEM)));
    av_frame_move_ref(kept.get(), frame.get());
    run.waiting.hold(std::move(kept));
    return true;
}

bool DamageVerdict::failAfterWaiting(int64_t ts) {
    if (!run.waiting.dropAfter(ts)) return false;
    run.damage.failed(ts, AVERROR_INVALIDDATA);
    run.demuxEnded = true;
    return true;
}

void DamageVerdict::failSample(int rc, int64_t ts) {
    if (ts != AV_NOPTS_VALUE && rc == kEmptySample) failDamaged(ts, "its sample in the file is empty");
    if (ts != AV_NOPTS_VALUE && rc == kLostSample) failDamaged(ts, "the file's structure is damaged there");
    if (ts != AV_NOPTS_VALUE && SampleAccount::namesDamage(rc, format->streams[info.streamIndex]->codecpar->codec_id))
        failDamaged(ts);
    run.failedPicture = ts;
    fail(MediaError::fromCode("decode", rc));
}

bool DamageVerdict::drained(bool noneRead) {
    if (!bothLayers() && referenceMadeUp() && decodeAgainOnOneThread()) return true;
    if (run.damage.failedAt()) failSample(run.damage.failedCode(), *run.damage.failedAt());
    if (noneRead) failDecoding("none of the video's " + std::to_string(run.samplesSent) + " frames can be decoded");
    // Decoded again, nothing came past the pictures given out: the next one is missing.
    if (run.samplesSent > 0 && run.picturesDecoded == 0 && !run.demuxFailure && earlier.resumeAfter.isNumeric()) {
        if (decodeAgainEarlier()) return true;
        failDamaged(owedAtEnd().value_or(
            pictureLacking().value_or(ffmpeg::timestampFrom(earlier.resumeAfter + fallbackDuration(), timeBase))));
    }
    if (const std::optional<int64_t> owed = owedAtEnd()) {
        if (decodeAgainOnOneThread()) return true;
        run.leftOutFirst = run.picturesDecoded == 0 && seekBegan.has_value();
        failDamaged(*owed);
    }
    if (const std::optional<int64_t> lacking = pictureLacking()) {
        if (decodeAgainOnOneThread(lacking)) return true;
        failDamaged(*lacking);
    }
    return false;
}

void DamageVerdict::decoderFailed(int rc) {
    // With frame threads, the error of the last sample comes once the decoder drains.
    const std::optional<int64_t> last = run.damage.onlyAwaited();
    if (last && endedInside(*last)) return;
    if (decodeAgainOnOneThread()) return;
    // On one thread, the error is that of the last sample taken (a second one split
    // from it, say); the pictures shown before it come out first.
    if (!run.damage.failedAt() && run.lastSent && !onFrameThreads() && endedInside(*run.lastSent)) return;
    if (!run.damage.failedAt() && run.lastSent && drainAgainBefore(*run.lastSent, rc)) return;
    if (!run.damage.failedAt() && run.lastSent) {
        run.damage.failed(*run.lastSent, rc);
        run.demuxEnded = true;
        return;
    }
    if (run.damage.failedAt()) failSample(run.damage.failedCode(), *run.damage.failedAt());
    fail(MediaError::fromCode("decode", rc));
}

bool DamageVerdict::sending(int64_t ts) {
    if (!bothLayers())
        run.damage.sent(packet->pts, packet->dts, !(packet->flags & AV_PKT_FLAG_DISCARD), accountsPictures(),
                        countsWhole() && !run.damage.pictureTaken() && track.mayLeadPredecessor(*packet));
    if (countsWhole() && !(packet->flags & AV_PKT_FLAG_DISCARD))
        count.owe(packet->pts, packet->dts, packet->pos,
                  !count.begun() && (packet->flags & AV_PKT_FLAG_KEY) && !track.recoveryPointOf(*packet),
                  count.opening() && track.mayLeadPredecessor(*packet));
    if (packet->size == 0 && !bothLayers()) {
        // A sample the file lists without data, or one it can't read: its picture can't be made.
        run.damage.failed(ts, (packet->flags & kLostPacket) ? kLostSample : kEmptySample);
        run.demuxEnded = true;
        return false;
    }
    if (isH264()) run.waiting.sent(ts, run.samplesRead);
    if ((packet->flags & AV_PKT_FLAG_KEY) && ts != AV_NOPTS_VALUE && (!run.latestKeySent || ts > *run.latestKeySent))
        run.latestKeySent = ts;
    if (seekBegan && !(packet->flags & AV_PKT_FLAG_DISCARD) && ts != AV_NOPTS_VALUE && shownByStart(ts) &&
        (!run.startSample || ts > *run.startSample))
        run.startSample = ts;
    return true;
}

void DamageVerdict::drainWaiting() {
    if (const std::optional<int64_t> owed = owedAtEnd()) {
        if (decodeAgainOnOneThread()) return;
        if (failAfterWaiting(*owed)) return;
    }
    run.waiting.drain();
}

void DamageVerdict::sampleFailed(int64_t ts, int rc, bool refused) {
    // The last sample of a byte stream cut inside it ends the pictures instead.
    const int64_t failed = run.damage.refused(ts, onFrameThreads());
    const bool cut = endedInside(failed);
    if (!cut && decodeAgainOnOneThread()) return;
    if (refused && drainAgainBefore(failed, rc)) return;
    if (!cut) run.damage.failed(failed, rc);
    run.demuxEnded = true;
}

}  // namespace qm::reading
