#include "engine/render_feeder.h"

#include <algorithm>

#include "core/conversion_error.h"
#include "engine/transcoder.h"

namespace qm {

namespace {
// Upper bound of one wait for the writer to take frames; taking one normally wakes the feeder.
constexpr std::chrono::milliseconds kBudgetPoll{5};
}  // namespace

RenderFeeder::RenderFeeder(Transcoder& transcoder, Render render, PixelBufferPoolRef pool, ProgressCallback progress,
                           MediaTime frameDuration, int64_t frameCount, int batchSize, int64_t bytesInFlight)
    : transcoder_(transcoder),
      render_(std::move(render)),
      pool_(std::move(pool)),
      progress_(std::move(progress)),
      frameDuration_(frameDuration),
      frameCount_(frameCount),
      batchSize_(std::max(batchSize, 1)),
      budget_(std::make_shared<FrameBudget>(bytesInFlight)),
      startedAt_(std::chrono::steady_clock::now()) {}

double RenderFeeder::elapsedSeconds() const {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - startedAt_;
    return std::max(elapsed.count(), 0.001);
}

std::vector<FramePair> RenderFeeder::nextBatch(const FrameFolder& folder) {
    if (transcoder_.cancellation().value()) throw ConversionError::cancelled();
    if (next_ >= frameCount_) return {};
    // Drawing stays sequential; each drawn frame's step runs while the next one is drawn.
    ParallelBatch batch(folder, [this](SourceFrame& f, const FrameFolder& dir) { return transcoder_.processFrame(f, dir); });
    while (int(batch.size()) < batchSize_ && next_ < frameCount_) {
        if (!budget_->hasRoom()) {
            if (waitForBudget(*budget_, batch, transcoder_.cancellation(), kBudgetPoll)) continue;
            break;
        }
        PixelBufferRef buffer = makePixelBuffer(pool_);
        const MediaTime time = frameDuration_ * next_;
        if (render_) render_(time.seconds(), *buffer);
        RawFrame raw = RawFrame::decoded(std::move(buffer));
        auto charge = std::make_shared<FrameCharge>(budget_, transcoder_.stepBytes(raw));
        batch.add({std::move(raw), time, frameDuration_, next_, std::move(charge)});
        ++next_;
    }
    auto pairs = batch.finish();
    if (progress_) {
        const double elapsed = elapsedSeconds();
        progress_({double(next_) / double(frameCount_), double(next_) / elapsed});
    }
    return pairs;
}

void RenderFeeder::finish() {
    if (progress_) progress_({1.0, double(next_) / elapsedSeconds()});
}

}  // namespace qm
