#pragma once
// Ending the process when tearing down after the window closed takes too long: a worker stuck
// in a read that never returns (a hung network share, say) must not keep an invisible process
// alive that later launches hand their files to.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace qm {

class QuitWatchdog {
public:
    // onTimeout: what ends the process (tests pass their own); by default std::_Exit.
    explicit QuitWatchdog(std::function<void(int)> onTimeout = {});
    // Returns at once, whether armed or not.
    ~QuitWatchdog();
    QuitWatchdog(const QuitWatchdog&) = delete;
    QuitWatchdog& operator=(const QuitWatchdog&) = delete;

    // From now on, unless this object is destroyed within `bound`, onTimeout(status) runs.
    void arm(std::chrono::milliseconds bound, int status);

private:
    std::function<void(int)> onTimeout_;
    std::mutex mutex_;
    std::condition_variable_any done_;
    std::jthread timer_;
};

}  // namespace qm
