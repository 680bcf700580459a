#include "engine/frame_feeder.h"

#include <algorithm>
#include <cmath>

#include "core/conversion_error.h"
#include "engine/transcoder.h"

namespace qm {

namespace {
// Frames read beyond one per processor, so a processor that finishes finds the next one ready.
constexpr size_t kFramesQueuedAhead = 2;
// Upper bound of one wait for a processor to free up; a step's end normally wakes the reader.
constexpr std::chrono::milliseconds kThrottlePoll{5};
}  // namespace

FrameFeeder::FrameFeeder(Transcoder& transcoder, VideoSampleReader& reader, MediaTime start, MediaTime duration,
                         ProgressCallback progress, int batchSize, MediaTime defaultDuration, int64_t bytesInFlight)
    : transcoder_(transcoder),
      reader_(reader),
      start_(start),
      duration_(duration),
      progress_(std::move(progress)),
      batchSize_(std::max(batchSize, 1)),
      defaultDuration_(defaultDuration),
      budget_(std::make_shared<FrameBudget>(bytesInFlight)),
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
    frame.charge = std::make_shared<FrameCharge>(budget_, transcoder_.stepBytes(frame.raw));
    return frame;
}

bool FrameFeeder::readInto(ParallelBatch& batch) {
    if (readError_) return false;
    if (transcoder_.cancellation().value()) throw ConversionError::cancelled();
    std::optional<VideoSample> sample;
    try {
        sample = reader_.next();
    } catch (const ConversionError&) {
        throw;
    } catch (const std::exception& e) {
        // A sample whose bytes cannot be read fails the run rather than leaving a gap.
        readError_ = e.what();
        return false;
    }
    if (!sample) return false;
    batch.add(makeFrame(std::move(*sample)));
    return true;
}

std::vector<FramePair> FrameFeeder::nextBatch(const FrameFolder& folder) {
    auto step = [this](SourceFrame& f, const FrameFolder& dir) { return transcoder_.processFrame(f, dir); };
    // Each frame's step starts as soon as it is read, while the next one is being read. Frames
    // read while the previous batch was finishing have started already.
    std::unique_ptr<ParallelBatch> batch = std::move(ahead_);
    if (!batch) batch = std::make_unique<ParallelBatch>(folder, step);
    // Frames read but not yet processed hold a whole decoded picture each; reading waits while
    // more are in hand than the processors can start on.
    const size_t inHand = size_t(activeProcessorCount()) + kFramesQueuedAhead;
    bool more = true;
    while (int(batch->size()) < batchSize_) {
        if (batch->unfinished() >= inHand) {
            batch->waitForAStep(kThrottlePoll);
            continue;
        }
        if (!budget_->hasRoom()) {
            if (waitForBudget(*budget_, *batch, transcoder_.cancellation(), kThrottlePoll)) continue;
            break;
        }
        if (!(more = readInto(*batch))) break;
    }
    if (batch->empty()) {
        if (readError_) throw ConversionError::readerFailed(*readError_);
        if (reader_.status() == VideoSampleReader::Status::failed) throw ConversionError::readerFailed("unknown");
        return {};
    }
    // While the last frames of this batch are processed, the next batch's first frames are read and
    // started, so no processor idles at the turn of a batch. Reading stops as soon as this batch is
    // done, which keeps the frames held to what the processors can take.
    if (more) {
        auto next = std::make_unique<ParallelBatch>(folder, step);
        while (!batch->allEnded() && int(next->size()) < batchSize_) {
            if (batch->unfinished() + next->unfinished() >= inHand || !budget_->hasRoom()) {
                batch->waitForAStep(kThrottlePoll);  // the next batch's steps end later, seen on the next poll
                continue;
            }
            if (!readInto(*next)) break;
        }
        if (!next->empty()) ahead_ = std::move(next);
    }
    const SourceFrame& last = batch->back();
    const MediaTime end = last.time - start_ + last.duration;
    const int64_t done = last.index + 1;
    auto pairs = batch->finish();
    if (progress_) {
        const double total = duration_.isNumeric() && duration_.seconds() > 0 ? duration_.seconds() : 1.0;
        double fraction = end.seconds() / total;
        if (!(fraction >= 0)) fraction = 0;
        fraction = std::min(fraction, 1.0);
        progress_({fraction, double(done) / elapsedSeconds()});
    }
    return pairs;
}

void FrameFeeder::finish() {
    if (progress_) progress_({1.0, double(nextIndex_) / elapsedSeconds()});
}

}  // namespace qm
