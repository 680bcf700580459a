#include "platform/media/track_packets.h"

#include <utility>

#include "core/conversion_error.h"

namespace qm::reading {

void TrackPackets::open(const std::filesystem::path& f) {
    file = f;
    demuxerErrors.watchOpening();
    format = openFormat(file, true);
    demuxerErrors.watch(format.get());
}

void TrackPackets::select(int stream, AVRational base, const MediaTime& trackStart) {
    stream_ = stream;
    timeBase = base;
    trackStart_ = trackStart;
}

int TrackPackets::read() {
    if (!readAhead.empty()) {
        std::swap(packet, readAhead.front().first);
        const int rc = readAhead.front().second;
        readAhead.pop_front();
        return rc;
    }
    return readFromFile();
}

int TrackPackets::readFromFile() {
    bool damaged = false;
    for (;;) {
        av_packet_unref(packet.get());
        const int rc = av_read_frame(format.get(), packet.get());
        if (rc == 0 && packet->stream_index == stream_) ++packetsRead;
        damaged = demuxerErrors.take() || damaged;
        if (rc < 0 || packet->stream_index == stream_) {
            if (damaged) packet->flags |= kAfterDamagedStructure;
            structureDamaged = structureDamaged || damaged;
            if (rc == 0) markRandomAccess();
            return rc;
        }
    }
}

int TrackPackets::peekAhead(size_t depth) {
    while (readAhead.size() < depth) {
        if (!readAhead.empty() && readAhead.back().second < 0) return readAhead.back().second;
        PacketPtr next = ffmpeg::allocPacket("read");
        std::swap(packet, next);
        const int rc = readFromFile();
        std::swap(packet, next);
        readAhead.emplace_back(std::move(next), rc);
    }
    return readAhead[depth - 1].second;
}

// Into H.264 intra refresh, reading begins at the latest recovery point whose pictures are
// whole by `limit`. A decoder beginning at one (a predicted picture) makes up the frames its
// frame number says were skipped and predicts it from those; where that number is 0 it finds
// none skipped and nothing to predict from, and drops the picture, and with it the part of the
// picture it refreshes, yet counts the pictures whole from its recovery on. Reading then
// begins at the recovery point before, whose refresh the one after completes.
void TrackPackets::seekWholeBy(const MediaTime& limit, double slack, const MediaTime& step, const MediaTime& frame) {
    seekKeyFrame(limit, slack, step);
    const std::optional<RecoveryPoint> landed = landedAtRecoveryPoint();
    if (!landed || landed->frameCount <= 0) return;
    seekBegan.reset();
    seekKeyFrame(limit - MediaTime::fromSeconds(landed->frameCount * frame.seconds(), timeBase.den), 0, step);
    const std::optional<RecoveryPoint> first = landedAtRecoveryPoint();
    if (first && first->frameCount > 0 && first->frameNumber.value_or(0) == 0) seekKeyFrameBefore(frame);
}

std::optional<RecoveryPoint> TrackPackets::recoveryPointOf(const AVPacket& p) const {
    const AVCodecParameters* par = format->streams[stream_]->codecpar;
    if (par->codec_id != AV_CODEC_ID_H264 || p.data == nullptr) return std::nullopt;
    return recoveryPoint(p.data, size_t(p.size), unitLengthSize(par), par->extradata,
                         par->extradata != nullptr ? size_t(par->extradata_size) : 0);
}

void TrackPackets::markRandomAccess() {
    const AVCodecParameters* par = format->streams[stream_]->codecpar;
    const bool hevc = par->codec_id == AV_CODEC_ID_HEVC;
    if ((packet->flags & AV_PKT_FLAG_KEY) || (!hevc && par->codec_id != AV_CODEC_ID_H264) || packet->data == nullptr) return;
    const int lengthSize = unitLengthSize(par);
    if (lengthSize > 0 && beginsDecoding(packet->data, size_t(packet->size), lengthSize, hevc)) packet->flags |= AV_PKT_FLAG_KEY;
}

bool TrackPackets::mayLeadPredecessor(const AVPacket& p) const {
    const AVCodecParameters* par = format->streams[stream_]->codecpar;
    const bool hevc = par->codec_id == AV_CODEC_ID_HEVC;
    if ((!hevc && par->codec_id != AV_CODEC_ID_H264) || p.data == nullptr) return false;
    return reading::mayLeadPredecessor(p.data, size_t(p.size), unitLengthSize(par), hevc);
}

bool TrackPackets::unreferenced(const AVPacket& p) const {
    const AVCodecParameters* par = format->streams[stream_]->codecpar;
    return par->codec_id == AV_CODEC_ID_H264 && p.data != nullptr &&
           reading::unreferencedH264(p.data, size_t(p.size), unitLengthSize(par));
}

void TrackPackets::seekKeyFrameBefore(const MediaTime& frame) {
    const MediaTime began = *seekBegan;
    seekBegan.reset();
    peeked.reset();
    seekKeyFrame(began - MediaTime::make(1, timeBase.den), 0, frame);
    if (!seekBegan || *seekBegan >= began) {
        seekBegan.reset();
        reopenAtStart();
    }
}

// Some demuxers seek by time alone (MPEG-TS takes every packet it passes for a key frame, and is
// looked at on from there), and others by decoding time, so the first packet is looked at, and
// where it is no such key frame the seek goes back by `step`, then twice as far each time; before
// the track's start, the file is read from its beginning, as a plain read does.
void TrackPackets::seekKeyFrame(const MediaTime& limit, double slack, const MediaTime& step) {
    lookedFrom.reset();
    for (MediaTime back = MediaTime::zero();; back = back == MediaTime::zero() ? step : back * 2) {
        readAhead.clear();
        const MediaTime at = limit - back;
        if (at < trackStart_ && back > MediaTime::zero()) {
            reopenAtStart();
            return;
        }
        if (seekedTo(at, limit, slack) || *peeked < 0) return;  // a failed read is met when reading
    }
}

void TrackPackets::reopenAtStart() {
    peeked.reset();
    open(file);
    if (!format) throw ConversionError::noVideoTrack();
    discardAllBut(format.get(), stream_);
}

bool TrackPackets::seekedTo(const MediaTime& at, const MediaTime& limit, double slack) {
    readAhead.clear();
    seekNear(format.get(), stream_, at);
    peeked = read();
    if (*peeked < 0) return false;
    if (byteStream()) return foundKeyFrameAfterLanding(limit, slack);
    const MediaTime first = ffmpeg::mediaTimeFrom(packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts, timeBase);
    if ((packet->flags & AV_PKT_FLAG_KEY) && first.isNumeric() && (first - limit).seconds() <= slack + 1e-6) {
        seekBegan = first;
        return true;
    }
    return false;
}

// MPEG-TS: the demuxer seeks by time alone and lands on whatever packet is decoded then. The
// packets from there are looked at (demuxed, not decoded) up to the last one decoded by
// `limit`, or up to those the look before began at, for the latest key frame shown at most
// `slack` seconds after `limit`; reading then begins at it, found again by its place in the
// file. Further back than a look that found none, the group of pictures is longer than the
// span looked at now, which then holds a single key frame: reading begins at the first, as it
// comes. False where there is none among them: the caller looks further back.
bool TrackPackets::foundKeyFrameAfterLanding(const MediaTime& limit, double slack) {
    const auto late = [&](int64_t ts) { return (ffmpeg::mediaTimeFrom(ts, timeBase) - limit).seconds() > slack + 1e-6; };
    const int64_t landed = packet->pos;
    std::optional<std::pair<int64_t, int64_t>> key;  // its place and its stamp
    for (int rc = 0; rc == 0 && packet->pos >= 0; rc = readFromFile()) {
        if (lookedFrom && packet->pos >= *lookedFrom) break;
        // Decoded later than that, every packet on is shown later too.
        const int64_t decoded = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
        if (decoded != AV_NOPTS_VALUE && late(decoded)) break;
        const int64_t shown = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (!(packet->flags & AV_PKT_FLAG_KEY) || shown == AV_NOPTS_VALUE || late(shown)) continue;
        if (lookedFrom) {
            seekBegan = ffmpeg::mediaTimeFrom(shown, timeBase);
            return true;
        }
        key = {packet->pos, shown};
    }
    if (landed >= 0 && (!lookedFrom || landed < *lookedFrom)) lookedFrom = landed;
    if (!key || av_seek_frame(format.get(), stream_, key->first, AVSEEK_FLAG_BYTE) < 0) return false;
    // From its place, the demuxer hands on the PES packets that begin there or later.
    for (int rc = readFromFile(); rc == 0 && packet->pos <= key->first; rc = readFromFile()) {
        const int64_t shown = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (packet->pos == key->first && (packet->flags & AV_PKT_FLAG_KEY) && shown == key->second) {
            seekBegan = ffmpeg::mediaTimeFrom(shown, timeBase);
            return true;
        }
    }
    return false;
}

}  // namespace qm::reading
