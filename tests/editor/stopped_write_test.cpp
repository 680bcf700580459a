// A project write (editor-script's `write`, as the editor saves) told to stop by SIGTERM or SIGINT
// while its hidden copy is being written: the save lands, nothing hidden stays, and the process
// then ends by the signal without running the script's later commands.

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "editor_views/project_json.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using namespace test::project_json;

TEST(StoppedWrite, AStopDuringAWriteEndsAfterTheSaveAndLeavesNoHiddenCopy) {
    test::TempDir dir;
    const json clipMedium = medium(dir / "clip.mov", "testsrc2", 64, 48);
    // Thousands of clips: megabytes to write, so the stop lands while they are written.
    std::vector<json> clips;
    for (int i = 0; i < 4000; ++i) {
        json c = clip(clipMedium);
        c["start"] = i;
        clips.push_back(std::move(c));
    }
    test::writeFile(dir / "Big.qmproj", project(320, 240, {clipMedium}, {track("Layer 1", clips)}).dump());
    test::writeFile(dir / "script.json", json::array({{{"op", "open"}, {"path", (dir / "Big.qmproj").string()}},
                                                      {{"op", "write"}, {"path", (dir / "out" / "Saved.qmproj").string()}},
                                                      {{"op", "write"}, {"path", (dir / "out" / "After.qmproj").string()}}})
                                         .dump());
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        const int watch = ::inotify_init1(IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ::inotify_add_watch(watch, (dir / "out").c_str(), IN_CREATE);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::signal(SIGINT, SIG_DFL);  // as from a terminal, even where the tests run in the background
            ::execl(QM_BENCH, QM_BENCH, "editor-script", (dir / "script.json").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Stopped the moment its hidden copy appears.
        bool copying = false;
        int status = 0;
        while (!copying && ::waitpid(pid, &status, WNOHANG) == 0) {
            pollfd ready{watch, POLLIN, 0};
            if (::poll(&ready, 1, 20) <= 0) continue;
            alignas(inotify_event) char events[4096];
            const ssize_t length = ::read(watch, events, sizeof events);
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                copying = copying || (event->len > 0 && std::string(event->name).starts_with(".Saved.qmproj."));
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
            if (copying) {
                ::kill(pid, signal);
                ::waitpid(pid, &status, 0);
            }
        }
        ::close(watch);
        ASSERT_TRUE(copying) << "the script ended before its write began";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "status " << status;
        EXPECT_EQ(test::fileNames(dir / "out"), std::vector<std::string>{"Saved.qmproj"});
        const json saved = json::parse(test::readFile(dir / "out" / "Saved.qmproj"), nullptr, false);
        ASSERT_FALSE(saved.is_discarded()) << "the saved project is cut";
        EXPECT_EQ(saved.at("tracks").at(0).at("clips").size(), clips.size());
    }
}

}  // namespace
}  // namespace qm
