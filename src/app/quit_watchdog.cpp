#include "app/quit_watchdog.h"

#include <cstdio>
#include <cstdlib>

namespace qm {

QuitWatchdog::QuitWatchdog(std::function<void(int)> onTimeout) : onTimeout_(std::move(onTimeout)) {
    if (!onTimeout_) {
        onTimeout_ = [](int status) {
            std::fputs("quillmere: background work did not end after the window closed; quitting anyway\n", stderr);
            std::_Exit(status);
        };
    }
}

QuitWatchdog::~QuitWatchdog() {
    if (timer_.joinable()) {
        timer_.request_stop();
        timer_.join();
    }
}

void QuitWatchdog::arm(std::chrono::milliseconds bound, int status) {
    if (timer_.joinable()) return;
    timer_ = std::jthread([this, bound, status](std::stop_token stop) {
        std::unique_lock lock(mutex_);
        if (!done_.wait_for(lock, stop, bound, [&] { return stop.stop_requested(); })) onTimeout_(status);
    });
}

}  // namespace qm
