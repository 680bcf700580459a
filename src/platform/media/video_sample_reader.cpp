#include "platform/media/asset_reader.h"

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

#include "core/conversion_error.h"
#include "platform/media/damage_verdict.h"
#include "platform/media/sample_account.h"
#include "platform/media/h264_decoding.h"
#include "platform/media/hevc_alpha_decoding.h"
#include "platform/media/hevc_unit_check.h"
#include "platform/media/missing_reference_watch.h"
#include "platform/media/movie_writer_codecs.h"
#include "platform/media/reader_internal.h"
#include "platform/media/recovery_point.h"
#include "platform/media/stream_ending.h"
#include "platform/media/track_packets.h"

namespace qm {

using namespace reading;

struct DecodedPicture {
    FramePtr frame;
};

struct VideoSampleReader::Impl : DamageVerdict::Reading {
    // The track's packets, read and sought; `format`, `packet` and `timeBase` are its.
    TrackPackets track;
    FormatPtr& format = track.format;
    PacketPtr& packet = track.packet;
    std::optional<MediaTime>& seekBegan = track.seekBegan;
    const AVRational& timeBase = track.timeBase;

    VideoReaderSettings settings;
    VideoTrackInfo info;
    FramePtr frame{ffmpeg::allocFrame("read")};

    MediaTime lastTime;
    MediaTime lastDuration;
    EarlierStart earlier;
    // Half a frame: a picture that late is still the one shown at the start.
    double startSlack = 0;
    // What failed the decoding, reported once the pictures before it are delivered; forgotten
    // when reading begins again.
    std::exception_ptr heldFailure;
    std::atomic<VideoSampleReader::Status> status{VideoSampleReader::Status::reading};

    // What the reading reads, sends and decodes is judged there.
    DamageVerdict verdict{track, *this};

    CodecPtr decoder;
    // In place of `decoder` for HEVC with an alpha layer, where this build can decode that layer.
    std::unique_ptr<HevcAlphaDecoding> alphaDecoder;
    // In place of `decoder` for H.264, where this build has its own decoder.
    std::unique_ptr<H264Decoding> h264;
    // With `decoder`, for HEVC: what the decoder is given of each sample.
    std::unique_ptr<HevcUnitCheck> unitCheck;
    // With `decoder`, for HEVC and H.264: a picture decoded from a reference made up for one missing.
    std::unique_ptr<MissingReferenceWatch> missingReferences;
    std::unique_ptr<reading::FramePictures> pictures;

    // One sample of lookahead so that each sample's duration can come from its successor.
    std::optional<VideoSample> held;
    // The duration the file stores for the held picture: a decoded picture's duration comes from
    // its successor, but the last one has none and lasts as long as the file says.
    MediaTime heldStoredDuration;
    std::optional<VideoSample> ready;
    // Where the ready sample stops showing: its successor's time, whatever duration is stored.
    MediaTime readyEnd;
    // Samples sent to a decoder in all, beginning again included: the work the reading took.
    std::atomic<int64_t> samplesSentInAll{0};
    // Entries in the track's index when the file was opened: a sample table lists every sample then.
    int indexedAtOpen = 0;
    // The plain decoder runs on one thread: set once a decoder on frame threads has reported an
    // error, which it gives back with a later sample than the one that failed.
    bool oneThread = false;
    // Reading began again after damage before the start.
    bool beganAfterDamage = false;
    // An HEVC sample the decoder refused on one thread: told to return the error, it also drops the
    // picture of an earlier sample that was to come out with it. Decoded again, the decoder is
    // drained before that sample instead of being sent it.
    std::optional<int64_t> drainBefore;
    // Decoding again on one thread began at an H.264 recovery point.
    bool againAtRecovery = false;
    // Decoding again on one thread from the key frame before this sample, the first shown whose
    // picture had not come out; the place in the file of the last sample sent before.
    std::optional<int64_t> awaitedFrom;
    int64_t sentUpTo = -1;

    std::atomic<bool> cancelled{false};

    // A frame's duration: the last picture's, else the track's rate's.
    MediaTime fallbackDuration() const {
        if (lastDuration.isNumeric() && lastDuration.value > 0) return lastDuration;
        if (info.frameRate > 0) return MediaTime::fromSeconds(1.0 / info.frameRate, std::max(info.timeScale, 600));
        return MediaTime::make(1, 30);
    }

    [[noreturn]] void fail(const MediaError& e) {
        status = VideoSampleReader::Status::failed;
        throw e;
    }

    MediaTime frameDuration() const override { return fallbackDuration(); }
    MediaTime lastShown() const override { return lastTime; }
    const EarlierStart& earlierStart() const override { return earlier; }
    const AVPacket* ahead(size_t depth) override {
        return track.peekAhead(depth) < 0 ? nullptr : track.readAhead[depth - 1].first.get();
    }
    bool wholeKeyFrame(const AVPacket& p) const override { return !track.recoveryPointOf(p); }
    bool mayLead(const AVPacket& p) const override { return track.mayLeadPredecessor(p); }
    bool damagedOnOpening() const override { return track.demuxerErrors.damagedOnOpening(); }
    bool structureDamaged() const override { return track.structureDamaged; }

    // Times must rise: a repeated or missing time follows the previous sample.
    MediaTime monotonic(MediaTime t) {
        if (!t.isNumeric()) {
            t = lastTime.isNumeric() ? lastTime + fallbackDuration() : info.timeRangeStart;
        } else if (lastTime.isNumeric() && t <= lastTime) {
            const MediaTime tick = MediaTime::make(1, lastTime.timescale);
            t = lastTime + tick;
        }
        lastTime = t;
        return t;
    }

    // Accepts one sample in presentation order; a sample becomes ready once its successor (or
    // the end) is known.
    void push(VideoSample sample, MediaTime storedDuration = MediaTime::invalid()) {
        if (held) {
            if (!held->duration.isNumeric() || held->duration.value <= 0) held->duration = sample.time - held->time;
            lastDuration = held->duration;
            readyEnd = sample.time;
            ready = std::move(held);
        }
        held = std::move(sample);
        heldStoredDuration = storedDuration;
    }

    void finishHeld() {
        if (!held) return;
        if (!held->duration.isNumeric() || held->duration.value <= 0)
            held->duration = heldStoredDuration.isNumeric() && heldStoredDuration.value > 0 ? heldStoredDuration
                                                                                           : fallbackDuration();
        readyEnd = held->time + held->duration;
        ready = std::move(held);
        held.reset();
    }

    [[noreturn]] void failAlphaDecoding(int rc, int64_t ts) { verdict.failBothLayers(rc, ts, alphaDecoder->droppedTime()); }

    PixelBufferRef convertedPicture(const AVFrame* f, int width = 0, int height = 0) {
        try {
            return pictures->picture(f, width, height);
        } catch (const MediaError& e) {
            fail(e);
        } catch (const ConversionError& e) {
            fail(MediaError("pixel buffer", e.payload()));
        }
        return nullptr;
    }

    // Reads the next packet of the track; false at the end of the file, or where the pictures end
    // before it (see DamageVerdict::packetRead).
    bool readPacket() {
        const int rc = track.peeked ? *track.peeked : track.read();
        track.peeked.reset();
        return verdict.packetRead(rc);
    }

    // How many pictures the decoder holds back to put them in display order.
    int reorderDepth() const override {
        const AVCodecParameters* par = format->streams[info.streamIndex]->codecpar;
        return std::max(par->video_delay, decoder ? decoder->has_b_frames : h264 ? h264->reorderDepth() : 0);
    }

    // Reading must begin at a key frame no later than the start, or the decoder has nothing to
    // build the pictures on. A key frame at most half a frame after the start will do: its picture
    // is the one shown for the start.
    void seekToKeyFrame() {
        if (!settings.start.isNumeric()) return;
        track.seekWholeBy(settings.start, startSlack, MediaTime::make(1, 1), fallbackDuration());
    }

    // A picture after a key frame may still depend on pictures before it: the leading pictures
    // of the next key frame of an open group are predicted from pictures that the key frame's own
    // leading ones are, which a decoder starting at that key frame skips; and a decoder that
    // begins at a recovery point (H.264 intra refresh) gives no picture until its pictures are
    // whole again. Reading then begins again at the key frame before (at the file's start where
    // there is none, as a plain read does), twice as many key frames further back each time the
    // same picture fails again, and rolls on past the pictures already given out.
    // False where it began at the file's start already, or the reader was cancelled.
    bool restartEarlier(const std::exception_ptr& failure) {
        if (!seekBegan || cancelled || settings.mode != VideoReaderSettings::Mode::decoded) return false;
        earlier.reach = verdict.keyFramesBack(failure != nullptr);
        for (int back = 0; back < earlier.reach && seekBegan; ++back) track.seekKeyFrameBefore(fallbackDuration());
        if (!earlier.failure) earlier.failure = failure;
        if (failure) earlier.failedPicture = verdict.failedPicture();
        earlier.resumeAfter = lastTime;
        newDecodingRun();
        return true;
    }

    // A new decoder for reading on from where the file is now.
    void newDecodingRun() {
        const AVStream* st = format->streams[info.streamIndex];
        if (alphaDecoder)
            alphaDecoder = HevcAlphaDecoding::open(st, settings.threads);
        else
            openPlainDecoder(st);
        // What the old decoder said of its samples says nothing of the new one's.
        verdict.newRun();
        heldFailure = nullptr;
        track.readAhead.clear();
        status = Status::reading;
    }

    // A decoder on frame threads gives a sample's error back with a later sample, so neither the
    // sample that failed nor which pictures before it are whole can be told. The samples from the
    // key frame before those still in flight are decoded again on one thread, whose errors come
    // with their own samples, rolling on past the pictures given out already; the verdict is then
    // the same at any thread count.
    bool decodeAgainOnOneThread(bool fromStart, std::optional<int64_t> from) override {
        if (oneThread || alphaDecoder || cancelled || !onFrameThreads()) return false;
        oneThread = true;
        if (fromStart) decodeAgainFromStart();
        else decodeAgainFromAwaited(from);
        awaitedFrom = fromStart ? std::nullopt : from;
        return true;
    }

    // A whole read decodes again from the file's start, as a read on one processor does from the
    // first: every sample is accounted for as there. The pictures given out already are passed
    // over by number.
    void decodeAgainFromStart() {
        seekBegan.reset();
        track.reopenAtStart();
        verdict.readFromStart();
        againAtRecovery = false;
        earlier = {};
        newDecodingRun();
    }

    // Where the HEVC decoder refused a sample on one thread while pictures of samples sent before
    // it had not come out: those are decoded again up to it, then drained, and it fails after them.
    bool drainAgainBefore(int64_t failed, int, std::optional<int64_t> from) override {
        if (drainBefore || alphaDecoder || cancelled || !decoder) return false;
        drainBefore = failed;
        decodeAgainFromAwaited(from);
        return true;
    }

    // Reading begins again at the key frame before `from`, or before the first sample whose
    // picture has not come out, whose pictures are whole by then (an earlier recovery point in
    // intra refresh), rolling on past the pictures given out already.
    void decodeAgainFromAwaited(std::optional<int64_t> from) {
        seekBegan.reset();
        track.peeked.reset();
        if (from) track.seekWholeBy(ffmpeg::mediaTimeFrom(*from, timeBase), 0, fallbackDuration(), fallbackDuration());
        if (!seekBegan) track.reopenAtStart();
        againAtRecovery = track.landedAtRecoveryPoint().has_value();
        // A whole read begun again at a recovery point (intra refresh) begins at the one before:
        // from there, the pictures around the damage decode as a read from the start decodes
        // them, so the frame named is the one a read on one processor names.
        if (againAtRecovery && verdict.countsWhole()) {
            track.seekKeyFrameBefore(fallbackDuration());
            againAtRecovery = track.landedAtRecoveryPoint().has_value();
        }
        earlier.resumeAfter = lastTime;
        newDecodingRun();
    }

    // Decoded again from an H.264 recovery point, the decoder may never get whole (intra refresh
    // with damage in the refresh): once more from the key frame before, up to the file's start.
    bool decodeAgainEarlier() override {
        if (!againAtRecovery || !seekBegan || cancelled) return false;
        track.seekKeyFrameBefore(fallbackDuration());
        againAtRecovery = track.landedAtRecoveryPoint().has_value();
        newDecodingRun();
        return true;
    }

    // Damage in a picture shown before the start spoils only the pictures predicted from it: where a
    // key frame after it is the one shown at the start, reading begins again there, once.
    bool beginAfterDamageBeforeStart() {
        if (beganAfterDamage || cancelled || settings.mode != VideoReaderSettings::Mode::decoded) return false;
        const std::optional<MediaTime> damaged = verdict.damageBeforeStart();
        if (!damaged) return false;
        const MediaTime failed = *damaged;
        beganAfterDamage = true;
        seekBegan.reset();
        // MPEG-TS looks at the packets from where a seek lands: from the damaged one on.
        track.lookedFrom.reset();
        const MediaTime from = track.byteStream() ? failed : settings.start + MediaTime::fromSeconds(startSlack, timeBase.den);
        if (!track.seekedTo(from, settings.start, startSlack) || *seekBegan <= failed)
            return false;
        // What was decoded before the damage all ends before the start.
        held.reset();
        ready.reset();
        earlier = {};
        newDecodingRun();
        return true;
    }

    // Whether the picture decoded came out before reading began again; one without a time follows
    // the one before it, which did. A whole read knows the stamps it gave out, which tell it
    // however the stamps run (decoding stamps put pictures given later at earlier times).
    bool shownBefore(const AVFrame* f) {
        const MediaTime t = ffmpeg::mediaTimeFrom(f->best_effort_timestamp, timeBase);
        const bool past = !earlier.resumeAfter.isNumeric() || (t.isNumeric() && t > earlier.resumeAfter);
        if (const std::optional<bool> given = verdict.givenBefore(*f)) {
            if (!*given && past) earlier = {};
            return *given;
        }
        if (past) earlier = {};
        return !past;
    }

    // Whether a whole read decoding again on one thread from the key frame before the damage
    // leaves the sample unsent (the verdict still counts it read): sent before, it is shown before
    // the first sample whose picture had not come out, so its picture went out whole (a sample's error holds
    // back its own picture and those decoded after it), and none refers to it. Up to that sample
    // only references are decoded again. Not from a recovery point, whose decoder counts its way to
    // whole pictures on every picture, nor before the first picture.
    bool givenAlready(const AVPacket& p) const {
        if (!oneThread || !awaitedFrom || againAtRecovery || drainBefore || alphaDecoder || !verdict.countsWhole() ||
            !earlier.resumeAfter.isNumeric() || verdict.picturesDecoded() == 0 || (p.flags & AV_PKT_FLAG_KEY) ||
            p.pts == AV_NOPTS_VALUE || p.pts >= *awaitedFrom || p.pos < 0 || p.pos > sentUpTo ||
            ffmpeg::mediaTimeFrom(p.pts, timeBase) > earlier.resumeAfter)
            return false;
        return unitCheck ? unitCheck->unreferenced(&p) : track.unreferenced(p);
    }

    // Whether the packet read is a sample from which no picture is predicted, shown before the
    // picture shown at the start, which was read before it (up to half a frame after the start).
    // Not before the decoder's first picture, as with skipping, nor a key frame.
    bool unreferencedBeforeStart() const {
        return unitCheck && !alphaDecoder && verdict.mayGoUnsent(*packet) && unitCheck->unreferenced(packet.get());
    }

    // Compressed mode: one stored sample becomes one VideoSample, bytes unchanged.
    bool produceCompressed() {
        for (;;) {
            if (!readPacket()) return false;
            verdict.sampleRead();
            // Samples an edit list leaves out are not part of the track's time line.
            if (packet->flags & AV_PKT_FLAG_DISCARD) continue;
            VideoSample s;
            const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            s.time = monotonic(ffmpeg::mediaTimeFrom(ts, timeBase));
            if (packet->duration > 0) s.duration = ffmpeg::mediaTimeFrom(packet->duration, timeBase);
            s.bytes.assign(packet->data, packet->data + packet->size);
            s.keyFrame = (packet->flags & AV_PKT_FLAG_KEY) != 0;
            push(std::move(s));
            return true;
        }
    }

    bool referenceMadeUp() override { return missingReferences && missingReferences->take(); }
    bool decoderReorders() const override { return (h264 ? h264->reorderDepth() : decoder ? decoder->has_b_frames : 0) > 0; }

    void openPlainDecoder(const AVStream* st) {
        const int threads = oneThread ? 1 : settings.threads;
        if (st->codecpar->codec_id == AV_CODEC_ID_H264 && H264Decoding::available()) {
            h264 = H264Decoding::open(st, threads);
            decoder.reset();
        } else {
            decoder = openDecoder(st, threads, !oneThread);
        }
        unitCheck = HevcUnitCheck::open(st);
        // (The private H.264 decoder refuses such a sample itself.)
        if (decoder && (decoder->codec_id == AV_CODEC_ID_HEVC || decoder->codec_id == AV_CODEC_ID_H264)) {
            if (!missingReferences) missingReferences = std::make_unique<MissingReferenceWatch>();
            missingReferences->watch(decoder.get());
            missingReferences->take();
        }
    }

    // Whether the plain decoder gives a sample's error back with a later sample's.
    bool onFrameThreads() const override {
        if (h264) return h264->frameThreads();
        return decoder && (decoder->active_thread_type & FF_THREAD_FRAME) != 0;
    }

    int receiveFrame() {
        const int rc = alphaDecoder ? alphaDecoder->receive(frame.get())
                       : h264       ? h264->receive(frame.get())
                                    : avcodec_receive_frame(decoder.get(), frame.get());
        // Only FFmpeg's H.264 decoder keeps the container's colour description where the coded stream has none.
        if (rc == 0) ffmpeg::describeUnsaidColour(*frame, *format->streams[info.streamIndex]->codecpar);
        return rc;
    }
    int sendPacket(const AVPacket* p, bool skipUnreferenced) {
        if (alphaDecoder) return alphaDecoder->send(p, skipUnreferenced);
        if (h264) return h264->send(p, skipUnreferenced);
        decoder->skip_frame = skipUnreferenced ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
        return avcodec_send_packet(decoder.get(), unitCheck ? unitCheck->checked(p) : p);
    }

    // The picture decoded (in `frame`) goes out as the next sample, unless reading begun again
    // passes over it: false then.
    bool give() {
        const int64_t shown = verdict.shownAt(*frame);
        if (verdict.passOver(*frame, shown)) {
            av_frame_unref(frame.get());
            return false;
        }
        if (shownBefore(frame.get())) {
            av_frame_unref(frame.get());
            return false;
        }
        verdict.given(*frame);
        VideoSample s;
        s.time = monotonic(ffmpeg::mediaTimeFrom(shown, timeBase));
        s.keyFrame = frame->key_frame != 0;
        s.width = frame->width;
        s.height = frame->height;
        const MediaTime stored =
            frame->pkt_duration > 0 ? ffmpeg::mediaTimeFrom(frame->pkt_duration, timeBase) : MediaTime::invalid();
        if (settings.deferConversion) {
            // The decoder's frames are reference counted: keeping one only stops its
            // memory from being reused.
            auto kept = std::make_shared<DecodedPicture>();
            kept->frame.reset(av_frame_alloc());
            if (!kept->frame) fail(MediaError::fromCode("decode", AVERROR(ENOMEM)));
            av_frame_move_ref(kept->frame.get(), frame.get());
            s.decoded = std::move(kept);
        } else {
            s.pixels = convertedPicture(frame.get());
            av_frame_unref(frame.get());
        }
        push(std::move(s), stored);
        return true;
    }

    // Decoded mode: one decoded picture, in presentation order. A failure ends the pictures; the
    // one held for its duration still comes out, and next() reports the failure after it. That
    // holds for a picture refused for its alpha too: the decoder judges each picture's alpha
    // layer once that picture is complete, so one it handed out is whole.
    bool produceDecoded() {
        if (heldFailure) return false;
        for (;;) {
            try {
                return decodeNext();
            } catch (...) {
                const std::exception_ptr failure = std::current_exception();
                try {
                    if (verdict.worthBeginningEarlier(failure) && restartEarlier(failure)) continue;
                    if (DamageVerdict::decodingFailure(failure) && beginAfterDamageBeforeStart()) continue;
                } catch (...) {
                    // Reading again failed to begin: what failed the decoding is told.
                }
                // Where beginning earlier fails as well, what failed first is told.
                heldFailure = earlier.failure ? earlier.failure : failure;
                status = Status::reading;
                return false;
            }
        }
    }

    // False once the reader is cancelled.
    bool decodeNext() {
        for (;;) {
            if (cancelled) return false;
            const bool released = verdict.releaseWaiting(*frame);
            int rc = released ? 0 : receiveFrame();
            if (!released && (rc == 0 || rc == AVERROR_EOF) &&
                verdict.startPictureMissing(rc == 0 ? frame->best_effort_timestamp : AV_NOPTS_VALUE) &&
                restartEarlier(nullptr)) {
                av_frame_unref(frame.get());
                continue;
            }
            if (rc == AVERROR_EOF && verdict.picturesWait()) {
                verdict.drainWaiting();
                continue;
            }
            if (rc == 0 && !alphaDecoder && !released) {
                if (!verdict.acceptDecodedPicture(*frame)) continue;
                if (verdict.setWaiting(*frame)) {
                    verdict.decoded();
                    continue;
                }
            }
            if (rc == 0) {
                if (!released) verdict.decoded();
                if (give()) return true;
                continue;
            }
            if (rc == AVERROR_EOF) {
                if (verdict.drained()) continue;
                return false;
            }
            if (rc != AVERROR(EAGAIN)) {
                if (alphaDecoder) verdict.failReceivingBothLayers(rc, alphaDecoder->droppedTime());
                verdict.decoderFailed(rc);
                continue;
            }
            if (verdict.sendingEnded()) {
                rc = sendPacket(nullptr, false);
                if (rc < 0 && rc != AVERROR_EOF) {
                    if (alphaDecoder) failAlphaDecoding(rc, alphaDecoder->droppedTime());
                    verdict.drainFailed(rc);
                }
                continue;
            }
            bool more = false;
            try {
                more = readPacket();
            } catch (const MediaError&) {
                // The pictures of the samples sent before the one that failed come out first.
                verdict.readFailed(std::current_exception());
                status = Status::reading;
            }
            if (!more) {
                verdict.endSending();
                continue;
            }
            verdict.sampleRead();
            if (verdict.beforeFirstKeyFrame(*packet)) continue;
            const int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (verdict.repeatsPicture(*packet)) continue;
            // HEVC's decoder decodes pictures none refers to even when told to skip them: damage in
            // one never shown spoils no picture, so it is not sent at all.
            if (unreferencedBeforeStart()) continue;
            if (!verdict.sending(*packet, ts)) continue;
            if (givenAlready(*packet)) continue;
            // next() drops frames that end before the start unseen; those no other frame refers
            // to need not be decoded at all (a seek rolling forward through a long group). Not
            // before the decoder's first picture: H.264's decoder that began at a recovery point
            // counts its way to whole pictures on every picture, and skipping one it never gets there.
            const bool superseded = verdict.supersededBeforeStart(*packet);
            // The sample refused before fails unsent, once what the decoder holds has come out.
            if (drainBefore && ts == *drainBefore && !alphaDecoder) {
                verdict.refusedBefore(ts);
                continue;
            }
            rc = sendPacket(packet.get(), superseded && verdict.picturesDecoded() > 0);
            const bool refused = rc < 0;
            if (!alphaDecoder) rc = verdict.sent(rc);
            if (rc < 0 && rc != AVERROR(EAGAIN) && !alphaDecoder) {
                verdict.sampleFailed(ts, rc, refused);
                continue;
            }
            if (rc < 0 && rc != AVERROR(EAGAIN)) {
                // As after a failed read: the pictures of the samples sent before this one, still
                // waiting in the decoder to be reordered, come out first.
                try {
                    failAlphaDecoding(rc, ts);
                } catch (...) {
                    verdict.readFailed(std::current_exception());
                    status = Status::reading;
                }
                verdict.endSending();
                continue;
            }
            verdict.taken(ts);
            ++samplesSentInAll;
            if (!oneThread) sentUpTo = std::max(sentUpTo, packet->pos);
        }
    }

    std::optional<VideoSample> next() {
        for (;;) {
            if (cancelled) {
                status = Status::cancelled;
                return std::nullopt;
            }
            if (status == Status::failed) throw MediaError("read sample", "the reader has failed");
            if (verdict.endedQuietly()) return std::nullopt;
            if (ready) {
                VideoSample s = std::move(*ready);
                ready.reset();
                // A picture at or after the cut may have been decoded without its references, and
                // frames before it are missing.
                if (verdict.pastCut(s.time)) {
                    held.reset();
                    if (const std::exception_ptr failure = verdict.endAtCut(heldFailure)) {
                        status = Status::failed;
                        std::rethrow_exception(failure);
                    }
                    status = Status::completed;
                    return std::nullopt;
                }
                s.duration = verdict.lastingToCut(s.time, s.duration);
                // Samples that end at or before the requested start are not wanted.
                if (settings.start.isNumeric() && readyEnd <= settings.start) continue;
                return s;
            }
            bool more = false;
            if (settings.mode == VideoReaderSettings::Mode::compressed) {
                try {
                    more = produceCompressed();
                } catch (...) {
                    status = Status::failed;
                    throw;
                }
            } else {
                more = produceDecoded();
            }
            if (!more && cancelled) continue;
            if (!more) {
                finishHeld();
                if (!ready) {
                    if (heldFailure || verdict.readFailure()) {
                        status = Status::failed;
                        std::rethrow_exception(heldFailure ? heldFailure : verdict.readFailure());
                    }
                    if (status == Status::reading) status = Status::completed;
                    return std::nullopt;
                }
            }
        }
    }
};

VideoSampleReader::VideoSampleReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
VideoSampleReader::~VideoSampleReader() = default;

std::unique_ptr<VideoSampleReader> VideoSampleReader::open(const std::filesystem::path& file,
                                                           const VideoReaderSettings& settings) {
    auto impl = std::make_unique<Impl>();
    impl->settings = settings;
    impl->pictures = std::make_unique<reading::FramePictures>(settings.pixelFormat);
    impl->track.open(file);
    const int index = impl->format ? firstStream(impl->format.get(), AVMEDIA_TYPE_VIDEO) : -1;
    if (index < 0) throw ConversionError::noVideoTrack();
    discardAllBut(impl->format.get(), index);
    const AVStream* st = impl->format->streams[index];
    impl->indexedAtOpen = avformat_index_get_entries_count(st);

    VideoTrackInfo& info = impl->info;
    info.streamIndex = index;
    info.codecType = ffmpeg::codecTypeWithAlphaLayer(impl->format.get(), index, codecTypeOf(st->codecpar, true));
    info.width = st->codecpar->width;
    info.height = st->codecpar->height;
    if (info.width > PixelBuffer::kMaxSide || info.height > PixelBuffer::kMaxSide)
        throw MediaError("open", "picture of " + std::to_string(info.width) + " x " + std::to_string(info.height) +
                                     " is larger than 16384 pixels on a side");
    info.timeRangeStart = st->start_time != AV_NOPTS_VALUE ? ffmpeg::mediaTimeFrom(st->start_time, st->time_base)
                                                           : MediaTime::make(0, st->time_base.den);
    if (!info.timeRangeStart.isNumeric()) info.timeRangeStart = MediaTime::zero();
    impl->track.select(index, st->time_base, info.timeRangeStart);
    info.timeRangeDuration = ffmpeg::streamDuration(*st);
    info.durationIsTrack = info.timeRangeDuration.isNumeric();
    if (!info.durationIsTrack && impl->format->duration != AV_NOPTS_VALUE && impl->format->duration > 0) {
        const int64_t formatStart = impl->format->start_time != AV_NOPTS_VALUE ? impl->format->start_time : 0;
        const MediaTime end = MediaTime::make(formatStart + impl->format->duration, AV_TIME_BASE);
        info.timeRangeDuration = end - info.timeRangeStart;
    }
    AVRational rate = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0 ? st->avg_frame_rate : st->r_frame_rate;
    info.frameRate = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0;
    info.timeScale = st->time_base.den;
    // A file may carry a short matrix: only a whole one is taken.
    size_t matrixSize = 0;
    const uint8_t* matrix = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &matrixSize);
    if (matrix != nullptr && matrixSize >= sizeof(int32_t) * 9)
        std::memcpy(info.transform.data(), matrix, sizeof(int32_t) * 9);

    if (settings.mode == VideoReaderSettings::Mode::decoded) {
        // Debian's libavcodec would give the colour layer alone.
        if (info.codecType == kCodecTypeHevcAlpha && HevcAlphaDecoding::available() &&
            HevcAlphaDecoding::readsSamplesOf(st))
            impl->alphaDecoder = HevcAlphaDecoding::open(st, settings.threads);
        else
            impl->openPlainDecoder(st);
    }
    impl->startSlack = impl->fallbackDuration().seconds() / 2;
    impl->verdict.begin({info, st->codecpar->codec_id, st->time_base, settings.start, impl->startSlack,
                         impl->alphaDecoder != nullptr});
    if (settings.mode == VideoReaderSettings::Mode::decoded && !settings.start.isNumeric()) impl->verdict.listEmptySamples();
    impl->seekToKeyFrame();
    return std::unique_ptr<VideoSampleReader>(new VideoSampleReader(std::move(impl)));
}

const VideoTrackInfo& VideoSampleReader::track() const { return impl_->info; }
MediaTime VideoSampleReader::keyFrameAtOrBefore(MediaTime time) const {
    if (impl_->track.byteStream()) return MediaTime::invalid();
    AVStream* st = impl_->format->streams[impl_->info.streamIndex];
    const int64_t ts = ffmpeg::timestampFrom(time, st->time_base);
    if (ts == AV_NOPTS_VALUE) return MediaTime::invalid();
    const int index = av_index_search_timestamp(st, ts, AVSEEK_FLAG_BACKWARD);
    const AVIndexEntry* entry = index < 0 ? nullptr : avformat_index_get_entry(st, index);
    if (entry == nullptr || (entry->flags & AVINDEX_KEYFRAME) == 0) return MediaTime::invalid();
    return ffmpeg::mediaTimeFrom(entry->timestamp, st->time_base);
}
std::optional<VideoSample> VideoSampleReader::next() { return impl_->next(); }
PixelBufferRef VideoSampleReader::picture(const VideoSample& sample) {
    if (sample.pixels || !sample.decoded) return sample.pixels;
    return impl_->convertedPicture(sample.decoded->frame.get());
}
PixelBufferRef VideoSampleReader::picture(const VideoSample& sample, int width, int height) {
    if (!sample.decoded || width <= 0 || height <= 0) return nullptr;
    const AVFrame* f = sample.decoded->frame.get();
    // Scaling straight colour with its alpha would darken every edge of a transparent picture.
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
    if (desc == nullptr || (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0) return nullptr;
    return impl_->convertedPicture(f, width, height);
}
bool VideoSampleReader::readEveryListedSample() const {
    const int count = avformat_index_get_entries_count(impl_->format->streams[impl_->info.streamIndex]);
    return impl_->status == Status::completed && impl_->indexedAtOpen > 0 && count == impl_->indexedAtOpen;
}
void VideoSampleReader::cancel() { impl_->cancelled = true; }
int64_t VideoSampleReader::samplesDecoded() const { return impl_->samplesSentInAll; }
int64_t VideoSampleReader::packetsRead() const { return impl_->track.packetsRead; }
VideoSampleReader::Status VideoSampleReader::status() const {
    if (impl_->cancelled && impl_->status == Status::reading) return Status::cancelled;
    return impl_->status;
}

}  // namespace qm
