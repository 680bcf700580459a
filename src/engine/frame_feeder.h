#pragma once
// The frame provider of a source movie: reads the first video track sample by sample (decoded
// pictures, or compressed samples for our own decoders), gathers a batch, runs the transcoder's
// per-frame step over it in parallel and reports progress by position in the track. The first
// frames of the next batch are read while a batch finishes; they keep the folder of that call.
// Frames between reading and the writer are bounded by bytes: reading waits while they hold the
// budget, and a batch is handed on early when its own frames fill it.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "engine/frame_batch.h"
#include "engine/transcode_rules.h"
#include "engine/transcode_sync.h"
#include "platform/media/asset_reader.h"

namespace qm {

class Transcoder;

class FrameFeeder : public FrameBatchProvider {
public:
    // `transcoder` must outlive the feeder; `reader` is the opened video reader of the source.
    // `start` and `duration` are the track's time range; `defaultDuration` is given to frames
    // without a usable duration and steps the times of frames without one. `bytesInFlight`
    // bounds what the frames read and not yet taken by the writer hold together (one frame may
    // go beyond it, so that a frame larger than the bound still passes).
    FrameFeeder(Transcoder& transcoder, VideoSampleReader& reader, MediaTime start, MediaTime duration,
                ProgressCallback progress, int batchSize, MediaTime defaultDuration,
                int64_t bytesInFlight = kFrameBytesInFlight);

    std::vector<FramePair> nextBatch(const FrameFolder& folder) override;
    void finish() override;

    int64_t framesMade() const { return nextIndex_; }
    const FrameBudget& budget() const { return *budget_; }

private:
    SourceFrame makeFrame(VideoSample&& sample);
    // Reads one sample and starts its step in `batch`; false at the end or after a read failure.
    bool readInto(ParallelBatch& batch);
    double elapsedSeconds() const;

    Transcoder& transcoder_;
    VideoSampleReader& reader_;
    MediaTime start_;
    MediaTime duration_;
    ProgressCallback progress_;
    int batchSize_;
    MediaTime defaultDuration_;
    std::shared_ptr<FrameBudget> budget_;
    int64_t nextIndex_ = 0;
    // A read failure after frames were gathered ends that batch early; the next call reports it.
    std::optional<std::string> readError_;
    std::chrono::steady_clock::time_point startedAt_;
    // Frames of the next batch, read and started while the previous batch finished. Declared
    // last: destroyed first, it waits for its steps while everything they use still exists.
    std::unique_ptr<ParallelBatch> ahead_;
};

}  // namespace qm
