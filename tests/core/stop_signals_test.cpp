// SIGTERM and SIGINT as a stop request, each case in a child process of its own.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "core/stop_signals.h"

namespace qm {
namespace {

// How a child running `work` ended; exit status 3 means it ran to its end.
int inChild(const std::function<void()>& work) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        work();
        ::_exit(3);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

bool endedBy(int status, int signal) { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }

TEST(StopSignals, AListenedSignalStopsTheRunWhichThenEndsByIt) {
    for (const int signal : {SIGTERM, SIGINT}) {
        // The run is told, finishes its clearing up, and only then the process ends by the signal.
        const int status = inChild([signal] {
            ::signal(SIGINT, SIG_DFL);
            StopSignals signals;
            std::atomic<bool> stopped{false};
            {
                const auto listener = signals.listen([&] { stopped = true; });
                ::kill(::getpid(), signal);
                while (!stopped) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                // Heard already: a later listener is told at once.
                bool late = false;
                const auto second = signals.listen([&] { late = true; });
                if (!late || StopSignals::received() != signal) ::_exit(4);
            }
            signals.endIfReceived();
            ::_exit(5);
        });
        EXPECT_TRUE(endedBy(status, signal)) << signal << ": status " << status;
    }
    // Nobody listening: the signal ends the process as it always did.
    EXPECT_TRUE(endedBy(inChild([] {
        StopSignals signals;
        ::kill(::getpid(), SIGTERM);
        for (;;) ::pause();
    }), SIGTERM));
    // A signal the process was started ignoring (a background job's SIGINT) stays ignored.
    const int ignored = inChild([] {
        ::signal(SIGINT, SIG_IGN);
        StopSignals signals;
        const auto listener = signals.listen([] { ::_exit(4); });
        ::kill(::getpid(), SIGINT);  // a caught one would be delivered before kill() returns
        signals.endIfReceived();
    });
    EXPECT_TRUE(WIFEXITED(ignored) && WEXITSTATUS(ignored) == 3) << "status " << ignored;
}

}  // namespace
}  // namespace qm
