#pragma once
// The one pool background work runs on, and a task on it that a caller can wait for. A task that
// no worker has started yet when it is waited for runs on the waiting thread instead, so a wait
// never depends on a free worker: callers that are themselves pool tasks cannot deadlock it.

#include <functional>
#include <memory>

class QThreadPool;

namespace qm {

// The process's pool for background work (as many workers as cores).
QThreadPool& backgroundPool();

class PoolTask {
public:
    PoolTask() = default;
    // Queues `work` on the pool. `work` must not throw.
    explicit PoolTask(std::function<void()> work, QThreadPool& pool = backgroundPool());
    PoolTask(PoolTask&&) noexcept = default;
    PoolTask& operator=(PoolTask&& other) noexcept;
    PoolTask(const PoolTask&) = delete;
    PoolTask& operator=(const PoolTask&) = delete;
    // Waits: the work has run once a task is destroyed.
    ~PoolTask();

    bool valid() const { return state_ != nullptr; }
    // Returns once the work has run (here, when no worker had taken it yet); the task is then
    // no longer valid.
    void wait();

private:
    std::shared_ptr<struct PoolTaskState> state_;
};

}  // namespace qm
