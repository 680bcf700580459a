#include "engine/media_frame_reader.h"

#include <algorithm>

#include "core/conversion_error.h"
#include "engine/codec_factories.h"

namespace qm {

MediaFrameReader::MediaFrameReader(std::filesystem::path url, MediaInfo info)
    : url_(std::move(url)), info_(std::move(info)), decoder_(makeFrameDecoder(info_)) {
    const uint32_t format = decoder_ ? decoder_->outputPixelFormat(kPixelFormatBGRA) : kPixelFormatBGRA;
    pool_ = makePixelBufferPool(info_.width, info_.height, format);
}

MediaFrameReader::~MediaFrameReader() {
    if (reader_) reader_->cancel();
}

void MediaFrameReader::openReader(double seconds) {
    if (reader_) reader_->cancel();
    reader_.reset();
    lookahead_.reset();
    currentFrame_.reset();
    exhausted_ = false;
    currentTime_ = -std::numeric_limits<double>::infinity();

    const double rate = std::max(info_.frameRate, 1.0);
    VideoReaderSettings settings;
    settings.mode = decoder_ ? VideoReaderSettings::Mode::compressed : VideoReaderSettings::Mode::decoded;
    settings.pixelFormat = decoder_ ? 0 : kPixelFormatBGRA;
    // Only the picture finally shown is converted, not every one rolled over on the way.
    settings.deferConversion = true;
    if (trackKnown_) settings.start = MediaTime::fromSeconds(std::max(0.0, seconds - 0.5 / rate) + trackStart_, 6000);
    auto reader = VideoSampleReader::open(url_, settings);
    ++openCount_;
    if (!trackKnown_) {
        // The track's start is only known once it is open: read again from the right place.
        trackKnown_ = true;
        const MediaTime start = reader->track().timeRangeStart;
        trackStart_ = start.isNumeric() ? start.seconds() : 0;
        settings.start = MediaTime::fromSeconds(std::max(0.0, seconds - 0.5 / rate) + trackStart_, 6000);
        if (settings.start > MediaTime::zero()) reader = VideoSampleReader::open(url_, settings);
    }
    reader_ = std::move(reader);
}

bool MediaFrameReader::fillLookahead() {
    if (lookahead_) return true;
    if (exhausted_ || !reader_) return false;
    for (;;) {
        std::optional<VideoSample> sample = reader_->next();
        if (!sample) {
            exhausted_ = true;
            return false;
        }
        if (sample->pixels || sample->decoded || !sample->bytes.empty()) {
            lookahead_ = std::move(sample);
            return true;
        }
    }
}

PixelBufferRef MediaFrameReader::convert(VideoSample& sample) {
    if (decoder_ && !sample.bytes.empty()) {
        PixelBufferRef buffer = makePixelBuffer(pool_);
        decoder_->decode(sample.bytes.data(), sample.bytes.size(), *buffer);
        return buffer;
    }
    return reader_->picture(sample);
}

PixelBufferRef MediaFrameReader::frame(double seconds) {
    const double rate = std::max(info_.frameRate, 1.0);
    const double target = seconds + 0.5 / rate;
    if (!(reader_ && currentTime_ - 0.000001 <= target && target <= currentTime_ + 2.0)) openReader(seconds);

    std::optional<VideoSample> candidate;
    double candidateTime = 0;
    while (fillLookahead()) {
        const double s = lookahead_->time.seconds() - trackStart_;
        if (s > target) break;
        candidate = std::move(lookahead_);
        candidateTime = s;
        lookahead_.reset();
    }
    if (!candidate) {
        if (currentFrame_) return currentFrame_;
        if (!fillLookahead()) return nullptr;
        candidate = std::move(lookahead_);
        lookahead_.reset();
        candidateTime = candidate->time.seconds() - trackStart_;
    }
    if (PixelBufferRef buffer = convert(*candidate)) {
        currentFrame_ = std::move(buffer);
        currentTime_ = candidateTime;
    }
    return currentFrame_;
}

}  // namespace qm
