#include "engine/frame_batch.h"

#include <exception>
#include <thread>

#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_group.h>
#include <oneapi/tbb/task_arena.h>
#include <sched.h>

namespace qm {

int activeProcessorCount() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
    return std::max(1, int(std::thread::hardware_concurrency()));
}

namespace {
// A processed frame travels on to the writer with its timing only: its source picture or bytes
// (a whole decoded frame, which the decoder may lend from its own pool) go back at once, not
// when the writer gets to it a batch later.
void releaseInput(SourceFrame& frame) { frame.raw = RawFrame{}; }

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
    batchArena().execute([this, &slot] {
        tasks_->group.run([this, &slot] {
            try {
                slot.result = step_(slot.frame, folder_);
                releaseInput(slot.frame);
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

void ParallelBatch::waitForAStep(std::chrono::milliseconds timeout) const {
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

std::vector<FramePair> processBatch(std::vector<SourceFrame> frames, const FrameFolder& folder, const FrameStep& step) {
    const size_t count = frames.size();
    std::vector<std::optional<ProcessedFrame>> results(count);
    std::vector<std::exception_ptr> errors(count);
    batchArena().execute([&] {
        tbb::parallel_for(size_t(0), count, [&](size_t i) {
            try {
                results[i] = step(frames[i], folder);
                releaseInput(frames[i]);
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
