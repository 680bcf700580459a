#pragma once
// The frame record that travels from a frame provider through the per-frame step to a writer,
// the provider protocol the writers pull batches from, and the parallel batch step both
// providers share.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <filesystem>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "engine/transcode_sync.h"
#include "platform/media/media_time.h"
#include "platform/media/pixel_buffer.h"

namespace qm {

// One frame as read or rendered: pixels (decoded by the reader or drawn by a renderer) or the
// bytes of one Hap, DXV or NotchLC sample read without decoding.
struct RawFrame {
    enum class Kind { decoded, compressed };
    Kind kind = Kind::decoded;
    PixelBufferRef pixels;
    std::vector<uint8_t> bytes;

    static RawFrame decoded(PixelBufferRef buffer) { return {Kind::decoded, std::move(buffer), {}}; }
    static RawFrame compressed(std::vector<uint8_t> data) { return {Kind::compressed, nullptr, std::move(data)}; }
};

// The memory frames in flight may hold together: a frame is charged when it is read, its charge
// follows its pictures through the step, and the charge ends once the writer has taken the
// result (the last holder of the frame lets it go). Safe from many threads.
class FrameBudget {
public:
    explicit FrameBudget(int64_t limitBytes) : limit_(limitBytes) {}
    int64_t limit() const { return limit_; }
    int64_t used() const;
    // The most ever charged at once.
    int64_t peak() const;
    bool hasRoom() const { return used() < limit_; }
    // Waits until a charge changes, or at most `timeout`.
    void waitForChange(std::chrono::milliseconds timeout) const;

private:
    friend class FrameCharge;
    void change(int64_t delta);

    const int64_t limit_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    int64_t used_ = 0;
    int64_t peak_ = 0;
    uint64_t changes_ = 0;
};

// One frame's share of a budget, given back when destroyed.
class FrameCharge {
public:
    FrameCharge(std::shared_ptr<FrameBudget> budget, int64_t bytes);
    ~FrameCharge();
    FrameCharge(const FrameCharge&) = delete;
    FrameCharge& operator=(const FrameCharge&) = delete;
    // The frame now holds this many bytes (its picture replaced by a converted or encoded one).
    void resize(int64_t bytes);
    int64_t bytes() const { return bytes_.load(std::memory_order_acquire); }

private:
    std::shared_ptr<FrameBudget> budget_;
    std::atomic<int64_t> bytes_;
};

struct SourceFrame {
    RawFrame raw;
    MediaTime time;      // presentation time
    MediaTime duration;  // display duration
    int64_t index = 0;   // zero-based, without gaps; image-sequence files are numbered by it
    // The frame's share of the run's budget (none outside a budgeted run); copies share it.
    std::shared_ptr<FrameCharge> charge = nullptr;
};

// The result of the per-frame step: pixels for an encoding movie writer (output size, the
// encoder's pixel format, tagged BT.709), one compressed GPU-codec frame, or nothing more to do
// because the frame was saved as an image file.
struct ProcessedFrame {
    enum class Kind { pixels, encoded, written };
    Kind kind = Kind::written;
    PixelBufferRef pixels;
    std::vector<uint8_t> data;

    static ProcessedFrame fromPixels(PixelBufferRef buffer) { return {Kind::pixels, std::move(buffer), {}}; }
    static ProcessedFrame fromEncoded(std::vector<uint8_t> bytes) { return {Kind::encoded, nullptr, std::move(bytes)}; }
    static ProcessedFrame written() { return {Kind::written, nullptr, {}}; }
};

using FramePair = std::pair<SourceFrame, ProcessedFrame>;
using FrameFolder = std::optional<std::filesystem::path>;

// A supplier of processed frames in stream order. An empty batch ends the stream; finish()
// reports the final progress once the output is complete. One caller at a time.
class FrameBatchProvider {
public:
    virtual ~FrameBatchProvider() = default;
    // With a folder, every frame is written there as an image file.
    virtual std::vector<FramePair> nextBatch(const FrameFolder& folder) = 0;
    virtual void finish() = 0;
};

// The per-frame step. It may let go of the frame's raw picture or bytes as soon as it has used them.
using FrameStep = std::function<ProcessedFrame(SourceFrame&, const FrameFolder&)>;

// Bytes a processed frame holds on its way to the writer.
int64_t heldBytes(const ProcessedFrame& frame);

// One batch whose frames start their step as soon as they are added, so reading the next frame
// overlaps the work on the ones before it (oneTBB tasks in an arena sized to the cores).
class ParallelBatch {
public:
    ParallelBatch(FrameFolder folder, FrameStep step);
    // Waits for the steps still running (a batch abandoned by an error).
    ~ParallelBatch();
    ParallelBatch(const ParallelBatch&) = delete;
    ParallelBatch& operator=(const ParallelBatch&) = delete;

    void add(SourceFrame frame);
    size_t size() const { return slots_.size(); }
    // Bytes charged to the frames of this batch.
    int64_t chargedBytes() const;
    bool empty() const { return slots_.empty(); }
    const SourceFrame& back() const { return slots_.back().frame; }
    // Steps added and not yet ended (successfully or not); does not wait.
    size_t unfinished() const { return running_.load(std::memory_order_acquire); }
    bool allEnded() const { return unfinished() == 0; }
    // Waits until one of this batch's steps ends, or at most `timeout`; runs the steps itself
    // when no worker has started any. Called by the thread that adds the frames.
    void waitForAStep(std::chrono::milliseconds timeout);

    // Waits for every step and pairs each frame with its result in order; a frame's raw picture
    // or bytes are released as soon as its step has succeeded. When frames failed, the
    // error of the lowest-indexed failed frame is rethrown and the whole batch is dropped.
    std::vector<FramePair> finish();

private:
    struct Slot {
        SourceFrame frame;
        std::optional<ProcessedFrame> result;
        std::exception_ptr error;
    };
    void wait();

    FrameFolder folder_;
    FrameStep step_;
    std::deque<Slot> slots_;  // stable addresses while steps run
    std::atomic<size_t> running_{0};  // changed under endLock_, so a waiter cannot miss an end
    std::atomic<size_t> unstarted_{0};  // added, and not yet taken by a worker
    mutable std::mutex endLock_;
    mutable std::condition_variable stepEnded_;
    std::unique_ptr<struct ParallelBatchTasks> tasks_;
};

// One wait of a feeder whose budget is full. True when it waited: frames handed on earlier hold
// part of the budget and come back as the writer takes them. False when the batch's own frames
// fill it: nothing else would free it, so the batch must go on as it is. Throws
// ConversionError::cancelled once the run is cancelled.
bool waitForBudget(const FrameBudget& budget, const ParallelBatch& batch, const CancellationFlag& cancellation,
                   std::chrono::milliseconds timeout);

// Runs the step over all frames in parallel (oneTBB, in an arena sized to the cores) and pairs
// each frame with its result in order (raw pictures and bytes released as for ParallelBatch).
// When frames fail, the error of the lowest-indexed failed
// frame is rethrown and the whole batch is dropped.
std::vector<FramePair> processBatch(std::vector<SourceFrame> frames, const FrameFolder& folder, const FrameStep& step);

// Work that waits on the disk, run on a oneTBB worker of an arena of its own so that it never
// holds a slot of the batch arena, one run at a time: a request while it runs starts it once
// more afterwards. `work` must not throw.
class BackgroundWork {
public:
    explicit BackgroundWork(std::function<void()> work);
    // Waits for the runs requested.
    ~BackgroundWork();
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;

    void request();
    // Returns once every run requested so far has ended; a run no worker took yet runs here.
    void wait();

private:
    std::function<void()> work_;
    std::atomic<bool> queued_{false};
    std::unique_ptr<struct BackgroundWorkTasks> tasks_;
};

// Number of processors this process may use (at least 1).
int activeProcessorCount();

}  // namespace qm
