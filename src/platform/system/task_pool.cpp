#include "platform/system/task_pool.h"

#include <QThreadPool>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace qm {

struct PoolTaskState {
    std::function<void()> work;
    std::atomic<bool> claimed{false};
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;

    // Whoever claims the work first runs it: a worker, or the thread that waits.
    bool runIfUnclaimed() {
        if (claimed.exchange(true, std::memory_order_acq_rel)) return false;
        work();
        work = nullptr;
        {
            std::lock_guard guard(lock);
            done = true;
        }
        ended.notify_all();
        return true;
    }
};

QThreadPool& backgroundPool() {
    static QThreadPool* const pool = [] {
        auto* p = new QThreadPool;  // lives as long as the process; workers end with it
        p->setObjectName("background");
        return p;
    }();
    return *pool;
}

PoolTask::PoolTask(std::function<void()> work, QThreadPool& pool) : state_(std::make_shared<PoolTaskState>()) {
    state_->work = std::move(work);
    pool.start([state = state_] { state->runIfUnclaimed(); });
}

PoolTask& PoolTask::operator=(PoolTask&& other) noexcept {
    if (this != &other) {
        wait();
        state_ = std::move(other.state_);
    }
    return *this;
}

PoolTask::~PoolTask() { wait(); }

void PoolTask::wait() {
    if (!state_) return;
    if (!state_->runIfUnclaimed()) {
        std::unique_lock guard(state_->lock);
        state_->ended.wait(guard, [&] { return state_->done; });
    }
    state_.reset();
}

}  // namespace qm
