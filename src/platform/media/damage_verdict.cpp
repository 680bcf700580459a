#include "platform/media/damage_verdict.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/conversion_error.h"
#include "platform/media/hevc_alpha_decoding.h"

namespace qm::reading {

void DamageVerdict::failDecoding(const std::string& text) {
    throw ConversionError::decodeFailed(text);
}

std::string DamageVerdict::frameNamed(int64_t ts) const {
    const MediaTime t = ffmpeg::mediaTimeFrom(ts, setup_.timeBase);
    if (!t.isNumeric()) return "a frame";
    const double seconds = (t - setup_.info.timeRangeStart).seconds();
    if (setup_.info.frameRate > 0) return "frame " + std::to_string(std::max<int64_t>(0, std::llround(seconds * setup_.info.frameRate)));
    char text[48];
    std::snprintf(text, sizeof text, "the frame at %.3f s", seconds);
    return text;
}

void DamageVerdict::failDamaged(int64_t ts, const char* why) {
    ts = run_.damage.firstSpoiled(ts, shownFrom(), samplesFollowing(ts));
    ts = firstLacking(ts).value_or(ts);
    run_.failedPicture = ts;
    failDecoding(frameNamed(ts) + " can't be decoded: " + why);
}

std::optional<int64_t> DamageVerdict::shownFrom() const {
    std::optional<int64_t> from = owedFrom(AV_NOPTS_VALUE);
    // Read again from the start, the pictures are shown as far as those passed over yet.
    const MediaTime shown = givenToPass_ > 0 ? passedUpTo_ : reading_.lastShown();
    if (shown.isNumeric()) {
        const int64_t after = ffmpeg::timestampFrom(shown, setup_.timeBase) + 1;
        if (!from || after > *from) from = after;
    }
    return from;
}

std::vector<int64_t> DamageVerdict::samplesFollowing(int64_t ts) {
    std::vector<int64_t> stamps;
    if (ts == AV_NOPTS_VALUE) return stamps;
    for (size_t depth = 1; depth <= kReorderLimit; ++depth) {
        const AVPacket* next = reading_.ahead(depth);
        if (next == nullptr || next->pts == AV_NOPTS_VALUE || next->pts > ts) break;
        stamps.push_back(next->pts);
    }
    return stamps;
}

bool DamageVerdict::takeListedEmpty(int rc, bool damaged, std::optional<int64_t> lacking) {
    const std::optional<EmptySample> last = run_.lastRead ? run_.lastRead : track_.seekBegan ? std::nullopt : std::optional(EmptySample{});
    if (rc == 0) run_.lastRead = EmptySample{track_.packet->pts, track_.packet->dts, track_.packet->pos};
    if (!last || setup_.bothLayers) return false;
    const std::optional<int64_t> pos = rc == 0 && track_.packet->pos >= 0 ? std::optional(track_.packet->pos) : std::nullopt;
    std::optional<EmptySample> taken;
    for (const EmptySample& e : listedEmpty_.upTo(pos)) {
        const bool after = e.dts != AV_NOPTS_VALUE ? e.dts > last->dts : e.pos > last->pos;
        if (!after || (rc == 0 && !e.before(*track_.packet))) continue;
        taken = e;
        break;
    }
    const std::optional<EmptySample> dropped = listedEmpty_.droppedBetween(last->pos, pos);
    if (damaged && (!taken || (dropped && dropped->pos < taken->pos))) {
        taken = dropped;
        if (!taken && rc == 0) {
            const int64_t ts = lacking && track_.packet->pts != AV_NOPTS_VALUE ? std::min(*lacking, track_.packet->pts) : track_.packet->pts;
            taken = EmptySample{ts, track_.packet->dts, track_.packet->pos, true};
        }
        if (!taken && lacking) taken = EmptySample{*lacking, AV_NOPTS_VALUE, -1, true};
    }
    if (!taken) return false;
    // A lost sample whose stamp the file hides: the first picture lacking after those read.
    if (taken->lost && taken->pts == AV_NOPTS_VALUE)
        taken->pts = run_.ending.lackingAfterRead(reading_.reorderDepth(), ffmpeg::timestampFrom(reading_.frameDuration(), setup_.timeBase))
                         .value_or(AV_NOPTS_VALUE);
    PacketPtr read = ffmpeg::allocPacket("read");
    std::swap(track_.packet, read);
    track_.readAhead.emplace_front(std::move(read), rc);
    track_.packet->pts = taken->pts;
    track_.packet->dts = taken->dts;
    track_.packet->pos = taken->pos;
    if (taken->lost) track_.packet->flags |= kLostPacket;
    run_.lastRead = *taken;
    return true;
}

void DamageVerdict::failIncomplete() {
    const int64_t ts = track_.packet->pts;
    if (ts == AV_NOPTS_VALUE) fail(MediaError("read sample", "sample " + std::to_string(run_.samplesRead) + " is incomplete"));
    const int64_t first = run_.damage.firstSpoiled(ts, shownFrom(), samplesFollowing(ts));
    const MediaTime at = ffmpeg::mediaTimeFrom(first, setup_.timeBase);
    if (!run_.cutAt || at < *run_.cutAt) run_.cutAt = at;
    fail(MediaError("read sample", frameNamed(first) + " is incomplete in the file"));
}

bool DamageVerdict::lacksTransportPacket() {
    const int next = track_.peekAhead(1);
    if (next == AVERROR_EOF) return listedEmpty_.lacksPacket(track_.packet->pts, std::nullopt);
    if (next < 0 || track_.readAhead.front().first->pos < 0) return false;
    return listedEmpty_.lacksPacket(track_.packet->pts, track_.readAhead.front().first->pos);
}

bool DamageVerdict::packetRead(int rc) {
    if (!endsInside_) endsInside_ = transportEnd(track_.format.get(), setup_.info.streamIndex, track_.file);
    const bool inSample = *endsInside_ == TransportEnd::insideSample;
    // Parsed from MPEG-TS, a sample's flags come with the sample before it.
    if (rc == 0 && track_.byteStream() && (track_.packet->flags & AV_PKT_FLAG_CORRUPT) && track_.packet->pos != run_.flaggedAt && track_.peekAhead(1) == 0) {
        track_.packet->flags &= ~AV_PKT_FLAG_CORRUPT;
        track_.readAhead.front().first->flags |= AV_PKT_FLAG_CORRUPT;
        run_.flaggedAt = track_.readAhead.front().first->pos;
    }
    // A Matroska file cut short ends in an element its demuxer finds damaged: the cut tells.
    // Damage the demuxer met while probing the file's first packets, which it hands on later,
    // is told at the end (MP4's sample tables tell their own).
    // Where it dropped a block before the first packet read, that block is told there.
    const bool probed = reading_.damagedOnOpening() && std::strstr(track_.format->iformat->name, "mov") == nullptr &&
                        (rc == AVERROR_EOF || (rc == 0 && !run_.lastRead && !track_.seekBegan && track_.packet->pos >= 0 && listedEmpty_.droppedBefore(track_.packet->pos)));
    const bool damaged = ((track_.packet->flags & kAfterDamagedStructure) != 0 || probed) && countsWhole() && !endOfFile().cutShort;
    track_.packet->flags &= ~kAfterDamagedStructure;
    // Where nothing the file lists tells what the demuxer dropped: the first picture lacking
    // after those read before.
    const std::optional<int64_t> lacking =
        damaged ? run_.ending.lackingAfterRead(reading_.reorderDepth(), ffmpeg::timestampFrom(reading_.frameDuration(), setup_.timeBase)) : std::nullopt;
    // A transport packet lost from a PES packet is damage, also where the demuxer's mark on it
    // is lost (on the file's first samples) or would have it read as the file's end.
    if (rc == 0 && track_.byteStream() && countsWhole() && lacksTransportPacket()) failIncomplete();
    if (rc == 0 && run_.ending.heldInPart(*track_.packet, setup_.timeBase, track_.byteStream(), inSample, peek())) rc = AVERROR_EOF;
    if ((rc == 0 || rc == AVERROR_EOF) && takeListedEmpty(rc, damaged, lacking)) rc = 0;
    if (rc == AVERROR_EOF) {
        if (!run_.cutAt && !run_.demuxFailure) findCut();
        return false;
    }
    if (rc < 0) fail(MediaError::fromCode("read sample", rc));
    if (track_.packet->flags & AV_PKT_FLAG_CORRUPT) failIncomplete();
    return true;
}

StreamEnding::Peek DamageVerdict::peek() {
    return [this](size_t depth) { return track_.peekAhead(depth); };
}

const FileEnd& DamageVerdict::endOfFile() {
    if (!fileEnding_) fileEnding_ = fileEnd(track_.format.get(), track_.file);
    return *fileEnding_;
}

bool DamageVerdict::endedInside(int64_t ts) {
    if (endsInside_ == TransportEnd::closedSample || !run_.ending.endedInside(ts, track_.byteStream(), peek())) return false;
    findCut();
    return run_.cutAt.has_value();
}

void DamageVerdict::findCut() {
    const std::optional<int64_t> lacking = firstMissingSample(track_.format.get(), setup_.info.streamIndex, track_.file);
    const bool matroska = std::strncmp(track_.format->iformat->name, "matroska", 8) == 0;
    const int reorder = reading_.reorderDepth();
    FileEnd end = endOfFile();
    // A sample begun in the file's last transport packet is lacking, and with it the pictures
    // shown after it, though every sample read is whole.
    end.cutShort = end.cutShort || endsInside_ == TransportEnd::beforeSample;
    const std::optional<StreamEnding::Cut> cut = run_.ending.cut(
        lacking, matroska, end, reorder,
        ffmpeg::timestampFrom(reading_.frameDuration(), setup_.timeBase),
        ffmpeg::timestampFrom(setup_.start.isNumeric() ? setup_.start : setup_.info.timeRangeStart, setup_.timeBase));
    if (!cut) return;
    run_.cutAt = ffmpeg::mediaTimeFrom(cut->at, setup_.timeBase);
    if (cut->promised)
        run_.demuxFailure = std::make_exception_ptr(MediaError("read sample", "the file is cut short before " + frameNamed(cut->at)));
}

bool DamageVerdict::worthBeginningEarlier() const {
    if (!run_.failedPicture || *run_.failedPicture == AV_NOPTS_VALUE) return run_.picturesDecoded == 0;
    if (run_.leftOutFirst) return !reading_.earlierStart().failedPicture || *run_.failedPicture < *reading_.earlierStart().failedPicture;
    if (!run_.latestKeySent || *run_.failedPicture >= *run_.latestKeySent) return false;
    if (reading_.earlierStart().failedPicture && *run_.failedPicture == *reading_.earlierStart().failedPicture) return reading_.earlierStart().reach < kFurthestReach;
    return !reading_.earlierStart().failedPicture || *run_.failedPicture < *reading_.earlierStart().failedPicture;
}

bool DamageVerdict::shownByStart(int64_t ts) const {
    const MediaTime t = ffmpeg::mediaTimeFrom(ts, setup_.timeBase);
    return t.isNumeric() && (t - setup_.start).seconds() <= setup_.startSlack + 1e-6;
}

bool DamageVerdict::startPictureMissing(int64_t ts) {
    if (!track_.seekBegan || !setup_.start.isNumeric() || run_.startJudged || run_.damage.failedAt()) return false;
    if (ts != AV_NOPTS_VALUE && shownByStart(ts)) return false;
    run_.startJudged = true;
    // The decoder of both layers names no samples: its first picture comes after the start.
    if (setup_.bothLayers) return ts != AV_NOPTS_VALUE && run_.picturesDecoded == 0;
    return run_.startSample && run_.damage.awaiting(*run_.startSample);
}

std::optional<int64_t> DamageVerdict::owedFrom(int64_t ts) const {
    std::optional<int64_t> from;
    const auto atLeast = [&](int64_t t) {
        if (t != AV_NOPTS_VALUE && (!from || t > *from)) from = t;
    };
    if (setup_.start.isNumeric() && run_.latestBeforeStart) atLeast(*run_.latestBeforeStart);
    // After a seek, the picture shown for the start may come up to half a frame after it.
    if (setup_.start.isNumeric() && run_.startSample) atLeast(*run_.startSample);
    if (reading_.earlierStart().resumeAfter.isNumeric()) atLeast(ffmpeg::timestampFrom(reading_.earlierStart().resumeAfter, setup_.timeBase) + 1);
    if (run_.picturesDecoded == 0 && !track_.seekBegan) atLeast(ts);
    return from;
}

bool DamageVerdict::acceptDecodedPicture(AVFrame& frame) {
    switch (run_.damage.judge(frame, owedFrom(SampleAccount::stampOf(frame)), reading_.decoderReorders())) {
    case SampleAccount::Picture::whole: return true;
    case SampleAccount::Picture::afterFailure: break;
    case SampleAccount::Picture::leftOut: {
        // Stamps out of their pictures' order (streams joined where their parameters change):
        // a picture whose sample was sent after the one missing waits for it a while.
        if (isH264() && run_.waiting.sentBefore(*run_.damage.leftOut(), SampleAccount::stampOf(frame)) &&
            run_.waiting.size() < kReorderLimit) {
            run_.damage.settle(SampleAccount::stampOf(frame));
            return true;
        }
        // Frame threads may drop a picture that one thread decodes.
        if (againOnOneThread()) break;
        const int64_t missing = *run_.damage.leftOut();
        run_.leftOutFirst = run_.picturesDecoded == 0 && track_.seekBegan.has_value();
        if (failAfterWaiting(missing)) break;
        failDamaged(missing);
    }
    case SampleAccount::Picture::damaged:
        if (run_.picturesDecoded == 0 && run_.beganMidway.value_or(false)) break;
        if (endedInside(SampleAccount::stampOf(frame))) break;
        // Under frame threads a picture's marks may be those of another run's timing: it is
        // decoded again, from a key frame before it.
        run_.damage.owe(SampleAccount::stampOf(frame));
        if (againOnOneThread()) break;
        run_.damage.settle(SampleAccount::stampOf(frame));
        if (failAfterWaiting(SampleAccount::stampOf(frame))) break;
        failDamaged(SampleAccount::stampOf(frame));
    }
    av_frame_unref(&frame);
    return false;
}

bool DamageVerdict::accountsPictures() const {
    return SampleAccount::namesDamage(AVERROR_INVALIDDATA, setup_.codec);
}

std::optional<int64_t> DamageVerdict::owedAtEnd() const {
    if (setup_.bothLayers) return std::nullopt;
    const std::optional<int64_t> end =
        run_.cutAt ? std::optional<int64_t>(ffmpeg::timestampFrom(*run_.cutAt, setup_.timeBase)) : std::nullopt;
    return run_.damage.owing(owedFrom(AV_NOPTS_VALUE), end, reading_.decoderReorders());
}

std::optional<int64_t> DamageVerdict::firstLacking(std::optional<int64_t> before) const {
    std::optional<int64_t> first = run_.drained ? owedAtEnd() : std::nullopt;
    if (first && before && *first >= *before) first.reset();
    if (first) before = first;
    if (!countsWhole() || !accountsPictures() || run_.demuxFailure) return first;
    if (run_.cutAt) {
        const int64_t cut = ffmpeg::timestampFrom(*run_.cutAt, setup_.timeBase);
        before = before ? std::min(*before, cut) : cut;
    }
    const std::optional<int64_t> whole = count_.missing(before);
    return whole ? whole : first;
}

bool DamageVerdict::setWaiting(AVFrame& frame) {
    if (!isH264() || !run_.waiting.mustHold(SampleAccount::stampOf(frame), run_.damage.awaited())) return false;
    FramePtr kept(av_frame_alloc());
    if (!kept) fail(MediaError::fromCode("decode", AVERROR(ENOMEM)));
    av_frame_move_ref(kept.get(), &frame);
    run_.waiting.hold(std::move(kept));
    return true;
}

bool DamageVerdict::failAfterWaiting(int64_t ts) {
    if (!run_.waiting.dropAfter(ts)) return false;
    run_.damage.failed(ts, AVERROR_INVALIDDATA);
    run_.demuxEnded = true;
    return true;
}

void DamageVerdict::failSample(int rc, int64_t ts) {
    if (ts != AV_NOPTS_VALUE && rc == kEmptySample) failDamaged(ts, "its sample in the file is empty");
    if (ts != AV_NOPTS_VALUE && rc == kLostSample) failDamaged(ts, "the file's structure is damaged there");
    if (ts != AV_NOPTS_VALUE && SampleAccount::namesDamage(rc, setup_.codec))
        failDamaged(ts);
    run_.failedPicture = ts;
    fail(MediaError::fromCode("decode", rc));
}

bool DamageVerdict::drained() {
    run_.drained = true;
    if (!setup_.bothLayers && reading_.referenceMadeUp() && againOnOneThread()) return true;
    if (run_.damage.failedAt()) failSample(run_.damage.failedCode(), *run_.damage.failedAt());
    if (noneRead()) failDecoding("none of the video's " + std::to_string(run_.samplesSent) + " frames can be decoded");
    const std::optional<int64_t> lacking = firstLacking();
    // Decoded again, nothing came past the pictures given out: the next one is missing.
    if (run_.samplesSent > 0 && run_.picturesDecoded == 0 && !run_.demuxFailure && reading_.earlierStart().resumeAfter.isNumeric()) {
        if (reading_.decodeAgainEarlier()) return true;
        failDamaged(lacking.value_or(ffmpeg::timestampFrom(reading_.earlierStart().resumeAfter + reading_.frameDuration(), setup_.timeBase)));
    }
    if (lacking) {
        // Decoding goes again from the samples of this run still in flight where it is one of
        // them, else from it (an earlier run sent it).
        const bool inRun = run_.damage.awaiting(*lacking);
        if (againOnOneThread(inRun ? std::nullopt : lacking)) return true;
        run_.leftOutFirst = inRun && run_.picturesDecoded == 0 && track_.seekBegan.has_value();
        failDamaged(*lacking);
    }
    return false;
}

void DamageVerdict::decoderFailed(int rc) {
    // With frame threads, the error of the last sample comes once the decoder drains.
    const std::optional<int64_t> last = run_.damage.onlyAwaited();
    if (last && endedInside(*last)) return;
    if (againOnOneThread()) return;
    // On one thread, the error is that of the last sample taken (a second one split
    // from it, say); the pictures shown before it come out first.
    if (!run_.damage.failedAt() && run_.lastSent && !reading_.onFrameThreads() && endedInside(*run_.lastSent)) return;
    if (!run_.damage.failedAt() && run_.lastSent && againBefore(*run_.lastSent, rc)) return;
    if (!run_.damage.failedAt() && run_.lastSent) {
        run_.damage.failed(*run_.lastSent, rc);
        run_.demuxEnded = true;
        return;
    }
    if (run_.damage.failedAt()) failSample(run_.damage.failedCode(), *run_.damage.failedAt());
    fail(MediaError::fromCode("decode", rc));
}

bool DamageVerdict::sending(const AVPacket& p, int64_t ts) {
    if (!setup_.bothLayers)
        run_.damage.sent(p.pts, p.dts, !(p.flags & AV_PKT_FLAG_DISCARD), accountsPictures(),
                         countsWhole() && !run_.damage.pictureTaken() && reading_.mayLead(p));
    if (countsWhole() && !(p.flags & AV_PKT_FLAG_DISCARD))
        count_.owe(p.pts, p.dts, p.pos, !count_.begun() && (p.flags & AV_PKT_FLAG_KEY) && reading_.wholeKeyFrame(p),
                   count_.opening() && reading_.mayLead(p));
    if (p.size == 0 && !setup_.bothLayers) {
        // A sample the file lists without data, or one it can't read: its picture can't be made.
        run_.damage.failed(ts, (p.flags & kLostPacket) ? kLostSample : kEmptySample);
        run_.demuxEnded = true;
        return false;
    }
    if (isH264()) run_.waiting.sent(ts, run_.samplesRead);
    if ((p.flags & AV_PKT_FLAG_KEY) && ts != AV_NOPTS_VALUE && (!run_.latestKeySent || ts > *run_.latestKeySent))
        run_.latestKeySent = ts;
    if (track_.seekBegan && !(p.flags & AV_PKT_FLAG_DISCARD) && ts != AV_NOPTS_VALUE && shownByStart(ts) &&
        (!run_.startSample || ts > *run_.startSample))
        run_.startSample = ts;
    return true;
}

void DamageVerdict::drainWaiting() {
    if (const std::optional<int64_t> owed = owedAtEnd()) {
        if (againOnOneThread()) return;
        if (failAfterWaiting(*owed)) return;
    }
    run_.waiting.drain();
}

void DamageVerdict::sampleFailed(int64_t ts, int rc, bool refused) {
    // The last sample of a byte stream cut inside it ends the pictures instead.
    const int64_t failed = run_.damage.refused(ts, reading_.onFrameThreads());
    const bool cut = endedInside(failed);
    if (!cut && againOnOneThread()) return;
    if (refused && againBefore(failed, rc)) return;
    if (!cut) run_.damage.failed(failed, rc);
    run_.demuxEnded = true;
}

bool DamageVerdict::againOnOneThread(std::optional<int64_t> from) {
    // A whole read begins again at the key frame before the damage, as a seek does, so that damage
    // met late costs no second whole decode; from the file's start only where its samples carry
    // decoding stamps (begun mid-way, the account would lack which picture of those still in the
    // decoder is shown first, and name another frame) or the demuxer said its structure is damaged
    // (what it dropped is told by the walk through the file from the start).
    const bool fromStart = countsWhole() && (run_.damage.decodingStampsMet(reading_.decoderReorders()) ||
                                             reading_.structureDamaged() || reading_.damagedOnOpening());
    if (!from) from = run_.damage.firstAwaited() ? run_.damage.firstAwaited() : run_.lastSent;
    return reading_.decodeAgainOnOneThread(fromStart, from);
}

bool DamageVerdict::againBefore(int64_t failed, int rc) {
    // Told to return the error, HEVC's decoder also drops the picture of an earlier sample that
    // was to come out with it.
    if (setup_.codec != AV_CODEC_ID_HEVC || setup_.bothLayers || reading_.onFrameThreads() || rc != AVERROR_INVALIDDATA ||
        failed == AV_NOPTS_VALUE)
        return false;
    const auto& awaited = run_.damage.awaited();
    if (awaited.empty() || (awaited.size() == 1 && awaited.begin()->first == failed)) return false;
    return reading_.drainAgainBefore(failed, rc, run_.damage.firstAwaited() ? run_.damage.firstAwaited() : run_.lastSent);
}

void DamageVerdict::readFromStart() {
    listedEmpty_.readAgain(track_.format.get(), setup_.info.streamIndex, track_.file);
    count_ = {};
    givenToPass_ = picturesGiven_;
    passedUpTo_ = MediaTime::invalid();
}

bool DamageVerdict::beforeFirstKeyFrame(const AVPacket& p) {
    const bool key = (p.flags & AV_PKT_FLAG_KEY) != 0;
    if (!run_.beganMidway) run_.beganMidway = !key;
    run_.keyFrameSent = run_.keyFrameSent || key;
    if (run_.keyFrameSent || !*run_.beganMidway || setup_.codec != AV_CODEC_ID_HEVC || setup_.bothLayers) return false;
    return track_.byteStream();
}

bool DamageVerdict::supersededBeforeStart(const AVPacket& p) {
    if (!setup_.start.isNumeric() || p.pts == AV_NOPTS_VALUE) return false;
    const MediaTime at = ffmpeg::mediaTimeFrom(p.pts, setup_.timeBase);
    if (!at.isNumeric() || at > setup_.start) return false;
    const bool superseded = run_.latestBeforeStart && *run_.latestBeforeStart > p.pts;
    if (!run_.latestBeforeStart || p.pts > *run_.latestBeforeStart) run_.latestBeforeStart = p.pts;
    return superseded;
}

void DamageVerdict::refusedBefore(int64_t ts) {
    if (!endedInside(ts)) run_.damage.failed(ts, AVERROR_INVALIDDATA);
    run_.demuxEnded = true;
}

int DamageVerdict::sent(int rc) const {
    if (rc >= 0 && !setup_.bothLayers && reading_.referenceMadeUp() && run_.samplesSent > 0) return AVERROR_INVALIDDATA;
    return rc;
}

void DamageVerdict::taken(int64_t ts) {
    ++run_.samplesSent;
    if (ts != AV_NOPTS_VALUE) run_.lastSent = ts;
}

void DamageVerdict::drainFailed(int rc) {
    // Frame threads may give a sample's error back only when told to drain: decoded again on one
    // thread, it comes with its own sample.
    if (againOnOneThread()) return;
    if (run_.damage.failedAt()) failSample(run_.damage.failedCode(), *run_.damage.failedAt());
    fail(MediaError::fromCode("decode", rc));
}

void DamageVerdict::failBothLayers(int rc, int64_t ts, int64_t dropped) {
    run_.failedPicture = ts;
    if (rc == HevcAlphaDecoding::kAlphaNotDecoded)
        failDecoding("the alpha layer of " + frameNamed(dropped) + " can't be decoded: it is missing from the file or damaged");
    failDecoding(frameNamed(ts) + " can't be decoded: " + HevcAlphaDecoding::reasonFor(rc));
}

void DamageVerdict::failReceivingBothLayers(int rc, int64_t dropped) {
    if (rc == HevcAlphaDecoding::kPictureNotDecoded && run_.demuxEnded && noneRead())
        failDecoding("none of the video's " + std::to_string(run_.samplesSent) + " frames can be decoded");
    failBothLayers(rc, dropped, dropped);
}

bool DamageVerdict::noneRead() const {
    return run_.samplesSent > 0 && run_.picturesDecoded == 0 && !run_.demuxFailure &&
           !reading_.earlierStart().resumeAfter.isNumeric();
}

int64_t DamageVerdict::shownAt(const AVFrame& frame) {
    // Taken for every picture, those given out before reading began again too. Not in a seek,
    // whose decoder leaves out the pictures it need not decode before the start.
    if (!countsWhole()) return frame.best_effort_timestamp;
    return run_.damage.shownAt(SampleAccount::stampOf(frame), reading_.reorderDepth()).value_or(frame.best_effort_timestamp);
}

bool DamageVerdict::passOver(const AVFrame& frame, int64_t shown) {
    if (givenToPass_ <= 0) return false;
    --givenToPass_;
    count_.gave(SampleAccount::stampOf(frame));
    passedUpTo_ = ffmpeg::mediaTimeFrom(shown, setup_.timeBase);
    return true;
}

std::optional<bool> DamageVerdict::givenBefore(const AVFrame& frame) {
    if (!countsWhole() || !count_.counting()) return std::nullopt;
    return count_.givenBefore(SampleAccount::stampOf(frame));
}

void DamageVerdict::given(const AVFrame& frame) {
    if (!countsWhole()) return;
    count_.gave(SampleAccount::stampOf(frame));
    ++picturesGiven_;
}

bool DamageVerdict::decodingFailure(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const ConversionError& e) {
        return e.kind() == ConversionError::Kind::decodeFailed;
    } catch (const MediaError& e) {
        return e.step() == "decode";
    } catch (...) {
    }
    return false;
}

int DamageVerdict::keyFramesBack(bool failure) const {
    const EarlierStart& earlier = reading_.earlierStart();
    const bool again = failure && earlier.failedPicture && run_.failedPicture == earlier.failedPicture;
    return again ? earlier.reach * 2 : 1;
}

std::optional<MediaTime> DamageVerdict::damageBeforeStart() const {
    if (!setup_.start.isNumeric() || !run_.failedPicture) return std::nullopt;
    const MediaTime failed = ffmpeg::mediaTimeFrom(*run_.failedPicture, setup_.timeBase);
    if (!failed.isNumeric() || failed >= setup_.start) return std::nullopt;
    return failed;
}

bool DamageVerdict::repeatsPicture(const AVPacket& p) const {
    return p.size == 0 && !(p.flags & kLostPacket) && std::strcmp(track_.format->iformat->name, "avi") == 0;
}

std::exception_ptr DamageVerdict::endAtCut(const std::exception_ptr& held) {
    if (!run_.demuxFailure && !held) {
        run_.ending.quiet = true;
        return nullptr;
    }
    return run_.demuxFailure ? run_.demuxFailure : held;
}

}  // namespace qm::reading
