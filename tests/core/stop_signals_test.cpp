// SIGTERM and SIGINT as a stop request, each case in a child process of its own.

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

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

// How a stop request reaches a run and ends the process is checked through qm-bench's runs; here
// what they cannot show.
TEST(StopSignals, WithoutListenersASignalEndsTheProcessAndAnIgnoredOneStaysIgnored) {
    // Nobody listening: the signal ends the process as it always did.
    const int unheard = inChild([] {
        StopSignals signals;
        ::alarm(60);  // should the signal not end it, the alarm does, failing the test
        ::kill(::getpid(), SIGTERM);
        for (;;) ::pause();
    });
    EXPECT_TRUE(WIFSIGNALED(unheard) && WTERMSIG(unheard) == SIGTERM) << "status " << unheard;
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
