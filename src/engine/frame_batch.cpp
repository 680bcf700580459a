#include "engine/frame_batch.h"

#include <algorithm>
#include <exception>
#include <thread>

#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_group.h>
#include <oneapi/tbb/task_arena.h>
#include <sched.h>

#include "core/conversion_error.h"

namespace qm {

int activeProcessorCount() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
    return std::max(1, int(std::thread::hardware_concurrency()));
}

int64_t FrameBudget::used() const {
    std::lock_guard guard(lock_);
    return used_;
}

int64_t FrameBudget::peak() const {
    std::lock_guard guard(lock_);
    return peak_;
}

void FrameBudget::waitForChange(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(lock_);
    const uint64_t before = changes_;
    changed_.wait_for(lock, timeout, [&] { return changes_ != before; });
}

void FrameBudget::change(int64_t delta) {
    if (delta == 0) return;
    {
        std::lock_guard guard(lock_);
        used_ += delta;
        peak_ = std::max(peak_, used_);
        ++changes_;
    }
    changed_.notify_all();
}

FrameCharge::FrameCharge(std::shared_ptr<FrameBudget> budget, int64_t bytes) : budget_(std::move(budget)), bytes_(bytes) {
    if (budget_) budget_->change(bytes);
}

FrameCharge::~FrameCharge() {
    if (budget_) budget_->change(-bytes_.load(std::memory_order_acquire));
}

void FrameCharge::resize(int64_t bytes) {
    const int64_t before = bytes_.exchange(bytes, std::memory_order_acq_rel);
    if (budget_) budget_->change(bytes - before);
}

int64_t heldBytes(const ProcessedFrame& frame) {
    switch (frame.kind) {
    case ProcessedFrame::Kind::pixels: return frame.pixels ? int64_t(frame.pixels->byteCount()) : 0;
    case ProcessedFrame::Kind::encoded: return int64_t(frame.data.capacity());
    case ProcessedFrame::Kind::written: return 0;
    }
    return 0;
}

namespace {
// A processed frame travels on to the writer with its timing only: its source picture or bytes
// (a whole decoded frame, which the decoder may lend from its own pool) go back at once, not
// when the writer gets to it a batch later; its charge becomes what the result holds.
void releaseInput(SourceFrame& frame, const ProcessedFrame& result) {
    frame.raw = RawFrame{};
    if (frame.charge) frame.charge->resize(heldBytes(result));
}

tbb::task_arena& batchArena() {
    static tbb::task_arena arena(activeProcessorCount());
    return arena;
}
}  // namespace

struct ParallelBatchTasks {
    tbb::task_group group;
    bool running = false;
};

ParallelBatch::ParallelBatch(FrameFolder folder, FrameStep step)
    : folder_(std::move(folder)), step_(std::move(step)), tasks_(std::make_unique<ParallelBatchTasks>()) {}

ParallelBatch::~ParallelBatch() { wait(); }

void ParallelBatch::wait() {
    if (!tasks_->running) return;
    batchArena().execute([this] { tasks_->group.wait(); });
    tasks_->running = false;
}

void ParallelBatch::add(SourceFrame frame) {
    Slot& slot = slots_.emplace_back();
    slot.frame = std::move(frame);
    tasks_->running = true;
    running_.fetch_add(1, std::memory_order_relaxed);
    unstarted_.fetch_add(1, std::memory_order_relaxed);
    batchArena().execute([this, &slot] {
        tasks_->group.run([this, &slot] {
            unstarted_.fetch_sub(1, std::memory_order_acq_rel);
            try {
                slot.result = step_(slot.frame, folder_);
                releaseInput(slot.frame, *slot.result);
            } catch (...) {
                slot.error = std::current_exception();
            }
            {
                std::lock_guard guard(endLock_);
                running_.fetch_sub(1, std::memory_order_release);
            }
            stepEnded_.notify_all();
        });
    });
}

int64_t ParallelBatch::chargedBytes() const {
    int64_t bytes = 0;
    for (const Slot& slot : slots_)
        if (slot.frame.charge) bytes += slot.frame.charge->bytes();
    return bytes;
}

void ParallelBatch::waitForAStep(std::chrono::milliseconds timeout) {
    // No worker has taken any step of this batch: on one processor the arena has none, and on a few
    // they may all be away in other arenas. This thread runs the steps rather than wait for nobody.
    if (const size_t unfinished = running_.load(std::memory_order_acquire);
        unfinished > 0 && unstarted_.load(std::memory_order_acquire) == unfinished) {
        wait();
        return;
    }
    std::unique_lock lock(endLock_);
    const size_t before = running_.load(std::memory_order_acquire);
    // Only the adding thread raises the count, so any change is a step that ended.
    stepEnded_.wait_for(lock, timeout, [&] { return running_.load(std::memory_order_acquire) != before; });
}

std::vector<FramePair> ParallelBatch::finish() {
    wait();
    for (const Slot& slot : slots_)
        if (slot.error) std::rethrow_exception(slot.error);
    std::vector<FramePair> pairs;
    pairs.reserve(slots_.size());
    for (Slot& slot : slots_) pairs.emplace_back(std::move(slot.frame), std::move(*slot.result));
    slots_.clear();
    return pairs;
}

struct BackgroundWorkTasks {
    // Its one slot is the waiter's; an enqueued run still gets a worker of its own, also where the
    // processors leave oneTBB none to share (one CPU), without asking for one it cannot have.
    tbb::task_arena arena{1, 1};
    tbb::task_group group;
};

BackgroundWork::BackgroundWork(std::function<void()> work)
    : work_(std::move(work)), tasks_(std::make_unique<BackgroundWorkTasks>()) {}

BackgroundWork::~BackgroundWork() { wait(); }

void BackgroundWork::request() {
    if (queued_.exchange(true, std::memory_order_acq_rel)) return;  // a run not yet started takes this one too
    tasks_->arena.enqueue(tasks_->group.defer([this] {
        queued_.store(false, std::memory_order_release);
        work_();
    }));
}

void BackgroundWork::wait() {
    tasks_->arena.execute([this] { tasks_->group.wait(); });
}

bool waitForBudget(const FrameBudget& budget, const ParallelBatch& batch, const CancellationFlag& cancellation,
                   std::chrono::milliseconds timeout) {
    if (!batch.empty() && budget.used() <= batch.chargedBytes()) return false;
    if (cancellation.value()) throw ConversionError::cancelled();
    budget.waitForChange(timeout);
    return true;
}

std::vector<FramePair> processBatch(std::vector<SourceFrame> frames, const FrameFolder& folder, const FrameStep& step) {
    const size_t count = frames.size();
    std::vector<std::optional<ProcessedFrame>> results(count);
    std::vector<std::exception_ptr> errors(count);
    batchArena().execute([&] {
        tbb::parallel_for(size_t(0), count, [&](size_t i) {
            try {
                results[i] = step(frames[i], folder);
                releaseInput(frames[i], *results[i]);
            } catch (...) {
                errors[i] = std::current_exception();
            }
        }, tbb::simple_partitioner());
    });
    for (size_t i = 0; i < count; ++i)
        if (errors[i]) std::rethrow_exception(errors[i]);
    std::vector<FramePair> pairs;
    pairs.reserve(count);
    for (size_t i = 0; i < count; ++i) pairs.emplace_back(std::move(frames[i]), std::move(*results[i]));
    return pairs;
}

}  // namespace qm
