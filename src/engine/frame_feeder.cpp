#include "engine/frame_feeder.h"

#include <algorithm>
#include <cmath>

#include "core/conversion_error.h"
#include "engine/transcoder.h"

namespace qm {

FrameFeeder::FrameFeeder(Transcoder& transcoder, VideoSampleReader& reader, MediaTime start, MediaTime duration,
                         ProgressCallback progress, int batchSize, MediaTime defaultDuration)
    : transcoder_(transcoder),
      reader_(reader),
      start_(start),
      duration_(duration),
      progress_(std::move(progress)),
      batchSize_(std::max(batchSize, 1)),
      defaultDuration_(defaultDuration),
      startedAt_(std::chrono::steady_clock::now()) {}

double FrameFeeder::elapsedSeconds() const {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - startedAt_;
    return std::max(elapsed.count(), 0.001);
}

SourceFrame FrameFeeder::makeFrame(VideoSample&& sample) {
    SourceFrame frame;
    frame.raw = sample.pixels ? RawFrame::decoded(std::move(sample.pixels)) : RawFrame::compressed(std::move(sample.bytes));
    frame.duration = sample.duration.isNumeric() && sample.duration > MediaTime::zero() ? sample.duration : defaultDuration_;
    frame.time = sample.time.isNumeric() ? sample.time : start_ + defaultDuration_ * nextIndex_;
    frame.index = nextIndex_++;
    return frame;
}

std::vector<FramePair> FrameFeeder::nextBatch(const FrameFolder& folder) {
    // Each frame's step starts as soon as it is read, while the next one is being read.
    ParallelBatch batch(folder, [this](const SourceFrame& f, const FrameFolder& dir) { return transcoder_.processFrame(f, dir); });
    while (int(batch.size()) < batchSize_ && !readError_) {
        if (transcoder_.cancellation().value()) throw ConversionError::cancelled();
        std::optional<VideoSample> sample;
        try {
            sample = reader_.next();
        } catch (const ConversionError&) {
            throw;
        } catch (const std::exception& e) {
            // A sample whose bytes cannot be read fails the run rather than leaving a gap.
            readError_ = e.what();
            break;
        }
        if (!sample) break;
        batch.add(makeFrame(std::move(*sample)));
    }
    if (batch.empty()) {
        if (readError_) throw ConversionError::readerFailed(*readError_);
        if (reader_.status() == VideoSampleReader::Status::failed) throw ConversionError::readerFailed("unknown");
        return {};
    }
    const SourceFrame& last = batch.back();
    const MediaTime end = last.time - start_ + last.duration;
    auto pairs = batch.finish();
    if (progress_) {
        const double total = duration_.isNumeric() && duration_.seconds() > 0 ? duration_.seconds() : 1.0;
        double fraction = end.seconds() / total;
        if (!(fraction >= 0)) fraction = 0;
        fraction = std::min(fraction, 1.0);
        progress_({fraction, double(nextIndex_) / elapsedSeconds()});
    }
    return pairs;
}

void FrameFeeder::finish() {
    if (progress_) progress_({1.0, double(nextIndex_) / elapsedSeconds()});
}

}  // namespace qm
