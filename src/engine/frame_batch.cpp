#include "engine/frame_batch.h"

#include <exception>
#include <thread>

#include <oneapi/tbb/parallel_for.h>
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
tbb::task_arena& batchArena() {
    static tbb::task_arena arena(activeProcessorCount());
    return arena;
}
}  // namespace

std::vector<FramePair> processBatch(std::vector<SourceFrame> frames, const FrameFolder& folder, const FrameStep& step) {
    const size_t count = frames.size();
    std::vector<std::optional<ProcessedFrame>> results(count);
    std::vector<std::exception_ptr> errors(count);
    batchArena().execute([&] {
        tbb::parallel_for(size_t(0), count, [&](size_t i) {
            try {
                results[i] = step(frames[i], folder);
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
