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
    following_.reset();
    currentSample_.reset();
    currentFrame_.reset();
    scaledFrame_.reset();
    unscaled_ = false;
    prepared_.reset();
    exhausted_ = false;
    failure_ = nullptr;
    currentTime_ = -std::numeric_limits<double>::infinity();

    const double rate = std::max(info_.frameRate, 1.0);
    VideoReaderSettings settings;
    settings.mode = decoder_ ? VideoReaderSettings::Mode::compressed : VideoReaderSettings::Mode::decoded;
    settings.pixelFormat = decoder_ ? 0 : kPixelFormatBGRA;
    // Only the picture finally shown is converted, not every one rolled over on the way.
    settings.deferConversion = true;
    // Where the first samples give no picture, the clip's start is read as a read from the start
    // reads it, whose pictures' times a seek there would not give alike.
    const bool fromStart = laterFirstPicture_ && seconds - 0.5 / rate <= 0;
    if (trackKnown_ && !fromStart)
        settings.start = MediaTime::fromSeconds(std::max(0.0, seconds - 0.5 / rate) + trackStart_, 6000);
    auto reader = VideoSampleReader::open(url_, settings);
    ++openCount_;
    if (!trackKnown_) {
        // The track's start is only known once it is open: read again from the right place.
        trackKnown_ = true;
        // Times count from the first picture a read from the start shows, as the probe's length
        // does: samples before it that give none are no part of the clip.
        const VideoTrackInfo& track = reader->track();
        const MediaTime start = track.timeRangeStart.isNumeric() ? track.timeRangeStart : MediaTime::zero();
        const MediaTime first = firstPictureTime(url_, track);
        trackStart_ = first.isNumeric() ? first.seconds() : 0;
        length_ = track.timeRangeDuration.isNumeric() && first > start ? track.timeRangeDuration - (first - start)
                                                                       : track.timeRangeDuration;
        laterFirstPicture_ = first > start;
        if (laterFirstPicture_ && seconds - 0.5 / rate <= 0) {
            reader_ = std::move(reader);
            return;
        }
        settings.start = MediaTime::fromSeconds(std::max(0.0, seconds - 0.5 / rate) + trackStart_, 6000);
        if (settings.start > MediaTime::zero()) reader = VideoSampleReader::open(url_, settings);
    }
    reader_ = std::move(reader);
}

std::optional<VideoSample> MediaFrameReader::readSample() {
    if (exhausted_ || !reader_) return std::nullopt;
    for (;;) {
        std::optional<VideoSample> sample;
        try {
            sample = reader_->next();
        } catch (...) {
            // A failed reader only says that it failed: what failed it is told every time.
            if (!failure_) failure_ = std::current_exception();
            std::rethrow_exception(failure_);
        }
        if (!sample) {
            exhausted_ = true;
            return std::nullopt;
        }
        if (sample->pixels || sample->decoded || !sample->bytes.empty()) return sample;
    }
}

bool MediaFrameReader::fillLookahead() {
    if (lookahead_) return true;
    if (following_) {
        lookahead_ = std::move(following_);
        following_.reset();
        return true;
    }
    lookahead_ = readSample();
    return lookahead_.has_value();
}

// Scaled only from the size callers planned with.
bool MediaFrameReader::scalable(const VideoSample& sample) const {
    return sample.decoded && sample.width == info_.width && sample.height == info_.height;
}

PixelBufferRef MediaFrameReader::convert(VideoSample& sample, int width, int height) {
    if (decoder_ && !sample.bytes.empty()) {
        PixelBufferRef buffer = makePixelBuffer(pool_);
        decoder_->decode(sample.bytes.data(), sample.bytes.size(), *buffer);
        return buffer;
    }
    if (width > 0 && height > 0 && scalable(sample))
        if (PixelBufferRef scaled = reader_->picture(sample, width, height)) return scaled;
    return reader_->picture(sample);
}

PixelBufferRef MediaFrameReader::frame(double seconds) { return frame(seconds, 0, 0); }

bool MediaFrameReader::noKeyFrameBetween(double target) const {
    // A time past the track's end finds no frame, as a reopening there would.
    const MediaTime& length = length_;
    if (exhausted_ || !length.isNumeric() || target >= length.seconds()) return false;
    const MediaTime key = reader_->keyFrameAtOrBefore(MediaTime::fromSeconds(target + trackStart_, 90000));
    return key.isNumeric() && key.seconds() - trackStart_ <= currentTime_;
}

bool MediaFrameReader::endedEarly(double seconds) const {
    if (!reader_ || !exhausted_ || lookahead_ || following_) return false;
    // Every sample the file lists was read: past the last one, it is held to the track's end
    // however short its stored length.
    if (reader_->readEveryListedSample()) return false;
    // Only the track's own length promises pictures: the container's may be the sound's.
    const MediaTime& length = length_;
    if (!length.isNumeric() || !reader_->track().durationIsTrack) return false;
    const double half = 0.5 / std::max(info_.frameRate, 1.0);
    // Where the samples read stopped; a reader opened at `seconds` that found none stopped before it.
    double end = -std::numeric_limits<double>::infinity();
    if (currentSample_) {
        if (!currentSample_->duration.isNumeric()) return false;
        end = (currentSample_->time + currentSample_->duration).seconds() - trackStart_;
    }
    return seconds < length.seconds() && end <= seconds + half + 1e-9 && end + half < length.seconds();
}

void MediaFrameReader::prepareNext(int width, int height) {
    try {
        if (!reader_ || !fillLookahead()) return;
        if (prepared_ && preparedTime_ == lookahead_->time && preparedSize_ == std::pair(width, height)) return;
        prepared_ = convert(*lookahead_, width, height);
        preparedTime_ = lookahead_->time;
        preparedSize_ = {width, height};
        // The frame() that takes it looks one sample further to know where it ends.
        if (!following_) following_ = readSample();
    } catch (...) {
        // The frame() that reaches this sample reads it again and reports what goes wrong.
        prepared_.reset();
    }
}

PixelBufferRef MediaFrameReader::frame(double seconds, int width, int height) {
    const double rate = std::max(info_.frameRate, 1.0);
    // Half-way between two frame starts the later one is shown. The slack keeps that so when the
    // time comes with rounding noise (0.6 + 0.3 against 0.8 + 0.1): an export reading ahead and a
    // preview of the same time then show the same frame.
    const double target = seconds + 0.5 / rate + 1e-9;
    if (!(reader_ && currentTime_ - 0.000001 <= target && (target <= currentTime_ + 2.0 || noKeyFrameBetween(target)))) {
        openReader(seconds);
        // Less than two seconds past the last picture, that picture is shown, as by a reader that
        // read on to this time: opened here, the reader finds none, so it reads again from earlier.
        const MediaTime& length = length_;
        if (seconds > 0 && (!length.isNumeric() || seconds - 2.0 < length.seconds()) && !fillLookahead())
            openReader(seconds - 2.0);
    }
    const bool scale = width > 0 && height > 0;
    // The current sample's picture as asked for, when it is made already. A sample that cannot be
    // scaled has no other picture than the one at its own size.
    const auto made = [&]() -> PixelBufferRef {
        if (!scale) return currentFrame_;
        if (scaledFrame_ && scaledFrame_->width() == width && scaledFrame_->height() == height) return scaledFrame_;
        if (!scalable(*currentSample_) || unscaled_) return currentFrame_;
        return nullptr;
    };
    const auto keep = [&](PixelBufferRef buffer) {
        const bool scaled = scale && buffer->width() == width && buffer->height() == height && scalable(*currentSample_);
        (scaled ? scaledFrame_ : currentFrame_) = buffer;
        // Asked for smaller and given its own size: the picture does not scale (alpha).
        if (scale && !scaled) unscaled_ = true;
        return buffer;
    };
    const auto lastGood = [&] { return currentFrame_ ? currentFrame_ : scaledFrame_; };

    std::optional<VideoSample> candidate;
    double candidateTime = 0;
    for (;;) {
        try {
            if (!fillLookahead()) break;
        } catch (...) {
            // A sample further on failed: the one found, or the one shown, still holds this time,
            // and the failure is met when its time comes.
            const auto holds = [&](const std::optional<VideoSample>& sample) {
                return sample && sample->duration.isNumeric() &&
                       target < (sample->time + sample->duration).seconds() - trackStart_;
            };
            if ((candidate && !candidate->duration.isNumeric()) || holds(candidate) || holds(currentSample_)) break;
            throw;
        }
        const double s = lookahead_->time.seconds() - trackStart_;
        if (s > target) break;
        candidate = std::move(lookahead_);
        candidateTime = s;
        lookahead_.reset();
    }
    if (!candidate) {
        if (currentSample_) {
            // The picture shown last, perhaps wanted at another size.
            if (PixelBufferRef ready = made()) return ready;
            if (PixelBufferRef buffer = convert(*currentSample_, width, height)) return keep(std::move(buffer));
            return lastGood();
        }
        if (!fillLookahead()) return nullptr;
        candidate = std::move(lookahead_);
        lookahead_.reset();
        candidateTime = candidate->time.seconds() - trackStart_;
    }
    // The picture prepared ahead when it is this sample's at this size; it is of no use later either way.
    PixelBufferRef ready;
    if (prepared_ && preparedTime_ == candidate->time && preparedSize_ == std::pair(width, height)) ready = prepared_;
    prepared_.reset();
    if (PixelBufferRef buffer = ready ? ready : convert(*candidate, width, height)) {
        currentSample_ = std::move(candidate);
        currentFrame_.reset();
        scaledFrame_.reset();
        unscaled_ = false;
        currentTime_ = candidateTime;
        return keep(std::move(buffer));
    }
    return lastGood();
}

}  // namespace qm
