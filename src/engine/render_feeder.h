#pragma once
// The frame provider of exports whose frames a caller draws (credits roll, timeline render):
// each batch is drawn frame by frame through the render callback on the calling thread, then
// sent through the transcoder's per-frame step in parallel. Drawn frames not yet taken by the
// writer are bounded by bytes, as a source run's are.

#include <chrono>
#include <cstdint>
#include <functional>

#include "engine/frame_batch.h"
#include "engine/transcode_rules.h"
#include "engine/transcode_sync.h"
#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"

namespace qm {

class Transcoder;

class RenderFeeder : public FrameBatchProvider {
public:
    // Draws the frame at the given time in seconds into the buffer, completely. Called on a
    // writer thread, once per frame, in frame order, never twice at once.
    using Render = std::function<void(double seconds, PixelBuffer& into)>;

    // `transcoder` must outlive the feeder. `frameDuration` positive, `frameCount` at least 1,
    // `batchSize` at least 1; `bytesInFlight` as for FrameFeeder.
    RenderFeeder(Transcoder& transcoder, Render render, PixelBufferPoolRef pool, ProgressCallback progress,
                 MediaTime frameDuration, int64_t frameCount, int batchSize,
                 int64_t bytesInFlight = kFrameBytesInFlight);

    std::vector<FramePair> nextBatch(const FrameFolder& folder) override;
    void finish() override;

    int64_t framesDrawn() const { return next_; }
    const FrameBudget& budget() const { return *budget_; }

private:
    double elapsedSeconds() const;

    Transcoder& transcoder_;
    Render render_;
    PixelBufferPoolRef pool_;
    ProgressCallback progress_;
    MediaTime frameDuration_;
    int64_t frameCount_;
    int batchSize_;
    std::shared_ptr<FrameBudget> budget_;
    int64_t next_ = 0;
    std::chrono::steady_clock::time_point startedAt_;
};

}  // namespace qm
