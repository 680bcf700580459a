// Convert runs (qm-bench transcode) in processes pinned to one processor, as on a one-CPU machine,
// container or VM: oneTBB then has no worker to share, and a run must still convert and stop.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/test_support.h"
#include "transcoder_test_media.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::names;

// A transcode pinned to the first processor this test may use, as `taskset -c` pins it.
pid_t startPinned(const fs::path& source, const fs::path& out, const char* format) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ::sched_getaffinity(0, sizeof allowed, &allowed);
    int first = 0;
    while (!CPU_ISSET(first, &allowed)) ++first;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a run that hangs goes with the test
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        ::sched_setaffinity(0, sizeof one, &one);
        ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO);
        ::execl(QM_BENCH, QM_BENCH, "transcode", source.c_str(), "--format", format, "--out", out.c_str(), "--no-audio",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

// Looks every few milliseconds until `until` holds or the child ends; true in the first case. A
// child still going after a minute, far beyond these small runs, is one that never ends: it is
// killed and false returned.
bool watch(pid_t pid, const std::function<bool()>& until, int& status) {
    for (int waited = 0; waited < 60000; waited += 2) {
        if (until()) return true;
        if (::waitpid(pid, &status, WNOHANG) == pid) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    status = -1;
    return false;
}

// How the child ended; nothing when it never would.
std::optional<int> endOf(pid_t pid) {
    int status = 0;
    watch(pid, [] { return false; }, status);
    return status == -1 ? std::nullopt : std::optional(status);
}

TEST(OneProcessor, AConvertRunFinishesAMovieAndASequence) {
    test::TempDir dir;
    const fs::path source = test::makeH264Source(dir.path(), "clip.mov", 64, 48, 48000, 0, 0.4);  // 10 frames
    const fs::path out = dir / "out";
    fs::create_directories(out);
    for (const char* format : {"hap", "pngSequence"}) {
        SCOPED_TRACE(format);
        const auto status = endOf(startPinned(source, out, format));
        ASSERT_TRUE(status) << "the run never ended";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status;
    }
    EXPECT_EQ(names(out, false), (std::vector<std::string>{"clip_Hap.mov", "clip_PNG"}));
    EXPECT_EQ(names(out, true), std::vector<std::string>{});
    EXPECT_EQ(test::countFrames(out / "clip_Hap.mov"), 10);
    EXPECT_EQ(test::fileNames(out / "clip_PNG"), test::sequenceFrameNames(out / "clip_PNG", 10, "png"));
}

// Told to stop midway, a run on one processor ends by the signal, leaving no hidden file: nothing
// of a movie, a sequence's whole frames from the first.
TEST(OneProcessor, ARunToldToStopEndsThereAndLeavesNoHiddenFiles) {
    test::TempDir dir;
    const fs::path source = test::makeH264Source(dir.path(), "long.mov", 320, 180, 48000, 0, 20.0);
    for (const auto& [signal, format] : {std::pair{SIGTERM, "proRes422"}, std::pair{SIGTERM, "pngSequence"}}) {
        SCOPED_TRACE(format);
        const fs::path out = dir / format, frames = out / "long_PNG";
        fs::create_directories(out);
        const bool sequence = std::string(format) == "pngSequence";
        const pid_t pid = startPinned(source, out, format);
        int status = 0;
        const bool midway = watch(pid, [&] {
            if (sequence) return names(frames, false).size() >= 2;
            for (const auto& name : names(out, true)) {
                std::error_code ec;
                if (fs::file_size(out / name, ec) > 4096 && !ec) return true;
            }
            return false;
        }, status);
        ASSERT_TRUE(midway) << (status == -1 ? "the run never got midway" : "the run ended before it was stopped");
        ::kill(pid, signal);
        const auto ended = endOf(pid);
        ASSERT_TRUE(ended) << "the run did not end when told to stop";
        EXPECT_TRUE(WIFSIGNALED(*ended) && WTERMSIG(*ended) == signal) << "status " << *ended;
        EXPECT_EQ(names(out, true), std::vector<std::string>{});
        if (!sequence) {
            EXPECT_EQ(names(out, false), std::vector<std::string>{});
            continue;
        }
        EXPECT_EQ(names(frames, true), std::vector<std::string>{});
        const auto shown = names(frames, false);
        EXPECT_EQ(shown, test::sequenceFrameNames(frames, int(shown.size()), "png"));
    }
}

}  // namespace
}  // namespace qm
