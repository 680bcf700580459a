// Hidden files of runs: what a killed run left is swept by the next run for the same target,
// what a live run holds is never touched.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/partial_file.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

TEST(PartialFile, AKilledRunsFilesAreSweptALiveRunsStay) {
    test::TempDir dir;
    const fs::path target = dir / "Show.mov";
    // Two runs for the target die, one for another target, one that was saving the target.
    test::runAndKill([&] {
        static PartialFile first(target), second(target), other(dir / "Other.mov"), saving(target, "saving");
        static const PartialFolder folder(target);  // a dead staging folder under the same kind of name
        fs::create_directories(folder.path() / "Media");
    });
    ASSERT_EQ(test::fileNames(dir.path()).size(), 5u);
    PartialFile live(target);
    ASSERT_EQ(::write(live.descriptor(), "movie", 5), 5);

    const PartialSweep sweep = sweepPartials(target);
    EXPECT_EQ(sweep.removed, 3);
    EXPECT_EQ(sweep.live, 1);
    EXPECT_EQ(sweepPartials(target, "partial", &live).live, 0);
    // What stays: the other target's file, the live one and the dead save (a save is not a movie).
    auto left = test::fileNames(dir.path());
    ASSERT_EQ(left.size(), 3u);
    const auto kept = [&](const std::string& prefix, const std::string& suffix) {
        return std::count_if(left.begin(), left.end(), [&](const std::string& n) {
            return n.starts_with(prefix) && n.ends_with(suffix);
        });
    };
    EXPECT_EQ(kept(".Other.mov.", ".partial"), 1);
    EXPECT_EQ(std::count(left.begin(), left.end(), live.path().filename().string()), 1);
    EXPECT_EQ(kept(".Show.mov.", ".saving"), 1);

    // Published, the bytes stand under the target and nothing of the run stays hidden; a file
    // dropped before that leaves nothing.
    EXPECT_EQ(live.publish(), 0);
    EXPECT_EQ(test::readFile(target), "movie");
    { const PartialFile dropped(target); }
    EXPECT_EQ(sweepPartials(target, "saving").removed, 1);
    EXPECT_EQ(sweepPartialsIn(dir.path(), [](std::string_view name) { return name == "Other.mov"; }).removed, 1);
    EXPECT_EQ(test::fileNames(dir.path()), std::vector<std::string>{"Show.mov"});

    try {
        PartialFile nowhere(dir / "missing" / "Show.mov");
        ADD_FAILURE() << "made a file in a missing folder";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
    }
}

std::set<std::string> namesIn(const fs::path& folder) {
    const auto names = test::fileNames(folder);
    return {names.begin(), names.end()};
}

// Something that only looks like a dead run's leftover stays: a folder without our marker,
// other name forms, a link, a hard link, a pipe, and files on which somebody holds a record lock.
TEST(PartialFile, TheSweepLeavesWhatIsNotProvablyOurs) {
    test::TempDir dir;
    const fs::path target = dir / "name.mov";
    fs::create_directories(dir / ".name.mov.0badcafe.partial" / "Media");
    test::writeFile(dir / ".name.mov.0badcafe.partial" / "Media" / "clip.mov", "clip");
    for (const char* name : {".name.mov.ab12.partial", ".name.mov.0123456789abcdef.partial", ".name.mov.0BADCAFE.partial",
                             ".name.mov.0badcafe.saving", "victim.txt"})
        test::writeFile(dir / name, name);
    fs::create_symlink(dir / "victim.txt", dir / ".name.mov.1badcafe.partial");
    test::writeFile(dir / "linked.txt", "linked");
    fs::create_hard_link(dir / "linked.txt", dir / ".name.mov.5badcafe.partial");
    ASSERT_EQ(::mkfifo((dir / ".name.mov.2badcafe.partial").c_str(), 0666), 0);

    // Files of our very form that other programs hold: one with a record lock taken by a
    // process of its own, one with an open-file lock taken here.
    const fs::path recordLocked = dir / freshHiddenName("name.mov"), fileLocked = dir / freshHiddenName("name.mov");
    test::writeFile(recordLocked, "appended");
    test::writeFile(fileLocked, "appended");
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int fd = ::open(recordLocked.c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        char c = ::fcntl(fd, F_SETLK, &lock) == 0 ? 'y' : 'n';
        if (::write(ready[1], &c, 1) != 1 || ::read(release[0], &c, 1) < 0) ::_exit(1);
        ::_exit(0);
    }
    char locked = 0;
    ASSERT_EQ(::read(ready[0], &locked, 1), 1);
    ASSERT_EQ(locked, 'y');
    const int ofd = ::open(fileLocked.c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(ofd, F_OFD_SETLK, &lock), 0);

    // And what a dead run of ours left, which goes.
    const auto before = namesIn(dir.path());
    test::runAndKill([&] { static const PartialFile dead(target); });
    const PartialSweep sweep = sweepPartials(target);
    EXPECT_EQ(sweep.removed, 1);
    EXPECT_EQ(sweep.live, 2);
    EXPECT_EQ(namesIn(dir.path()), before);
    EXPECT_EQ(test::readFile(dir / ".name.mov.0badcafe.partial" / "Media" / "clip.mov"), "clip");
    EXPECT_EQ(test::readFile(dir / ".name.mov.ab12.partial"), ".name.mov.ab12.partial");
    EXPECT_EQ(test::readFile(dir / "victim.txt"), "victim.txt");
    EXPECT_EQ(fs::hard_link_count(dir / "linked.txt"), 2u);
    EXPECT_EQ(test::readFile(recordLocked), "appended");
    EXPECT_EQ(sweepPartialsIn(dir.path(), [](std::string_view) { return true; }).removed, 0);

    ::close(ofd);
    EXPECT_EQ(::write(release[1], "x", 1), 1);
    int status = 0;
    ::waitpid(holder, &status, 0);
    for (const int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

// The run writes through its descriptor and publishes only the file it made: a link swapped in
// under the hidden name is never written through, nor put under the target.
TEST(PartialFile, AHiddenNameSwappedForALinkIsNotPublished) {
    test::TempDir dir;
    const fs::path target = dir / "Show.mov";
    test::writeFile(dir / "victim.txt", "victim");
    PartialFile file(target);
    ASSERT_EQ(::write(file.descriptor(), "movie", 5), 5);
    EXPECT_TRUE(file.stillNamed());
    fs::rename(file.path(), dir / "moved");
    fs::create_symlink(dir / "victim.txt", file.path());
    EXPECT_FALSE(file.stillNamed());
    EXPECT_EQ(file.publish(), ESTALE);
    file.discard();
    EXPECT_EQ(test::readFile(dir / "victim.txt"), "victim");
    EXPECT_TRUE(fs::is_symlink(file.path()));  // not ours to remove
    EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
}

// A folder appears under its name only when published, without the marker; what a killed run
// left stays hidden until the next sweep.
TEST(PartialFolder, AppearsOnlyWhenPublished) {
    test::TempDir dir;
    const fs::path target = dir / "Show_PNG";
    test::runAndKill([&] {
        static const PartialFolder dead(target);
        test::writeFile(dead.path() / "Show_PNG_000000.png", "frame");
    });
    {
        PartialFolder folder(target);
        test::writeFile(folder.path() / "Show_PNG_000000.png", "frame");
        EXPECT_EQ(sweepPartials(target).removed, 1);
        EXPECT_FALSE(fs::exists(target));
        EXPECT_EQ(folder.publish(), 0);
    }
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"Show_PNG"});
    EXPECT_EQ(namesIn(target), std::set<std::string>{"Show_PNG_000000.png"});

    // A name taken meanwhile is not replaced, and the folder goes when dropped.
    {
        PartialFolder late(target);
        test::writeFile(late.path() / "Show_PNG_000000.png", "late");
        EXPECT_EQ(late.publish(), EEXIST);
    }
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"Show_PNG"});
    EXPECT_EQ(test::readFile(target / "Show_PNG_000000.png"), "frame");
}

// Replacing puts the new folder at the target without its marker, over a folder or a file, and
// leaves nothing hidden. A swap killed between its two renames (file systems without the
// exchange) left the old folder marked under ".Name.<hex>.old" and no target: it is put back,
// unmarked, and the staging folder beside it is swept.
TEST(PartialFolder, ReplacesWhatIsThereAndPutsBackWhatAKilledSwapSetAside) {
    test::TempDir dir;
    const fs::path target = dir / "Show.qmpack";
    test::writeFile(target / "Media" / "a.mov", "old");
    for (const bool overFile : {false, true}) {
        if (overFile) {
            fs::remove_all(target);
            test::writeFile(target, "a file");
        }
        {
            PartialFolder folder(target);
            test::writeFile(folder.path() / "project.qmproj", "new");
            EXPECT_EQ(folder.replace(), 0);
        }
        EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"Show.qmpack"});
        EXPECT_EQ(namesIn(target), std::set<std::string>{"project.qmproj"});
    }

    const fs::path aside = dir / freshHiddenName("Show.qmpack", "old");
    test::runAndKill([&] {
        static const PartialFolder staging(target);
        test::writeFile(staging.path() / "project.qmproj", "cut");
        test::writeFile(target / std::string(kStagingMarker), "");
        fs::rename(target, aside);
    });
    fs::create_directories(dir / ".Show.qmpack.1badc0de.old");  // unmarked: not ours to put back
    EXPECT_EQ(namesIn(dir.path()).size(), 3u);
    EXPECT_TRUE(restoreSetAside(target));
    EXPECT_FALSE(restoreSetAside(target));  // something stands there now
    EXPECT_EQ(sweepPartials(target).removed, 1);
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{".Show.qmpack.1badc0de.old", "Show.qmpack"}));
    EXPECT_EQ(namesIn(target), std::set<std::string>{"project.qmproj"});
    EXPECT_EQ(test::readFile(target / "project.qmproj"), "new");
}

// A folder that took its name with the marker still inside (its run stopped between the two)
// loses the marker once no run holds the folder; a look-alike of the marker stays.
TEST(PartialFolder, AMarkerLeftInsideGoesOnceItsRunLetsGo) {
    test::TempDir dir;
    const fs::path target = dir / "Show_PNG", marker = target / std::string(kStagingMarker);
    {
        const PartialFolder stopped(target);
        fs::rename(stopped.path(), target);
        EXPECT_FALSE(clearStagingMarker(target));
    }
    EXPECT_TRUE(clearStagingMarker(target));
    EXPECT_TRUE(fs::is_empty(target));
    test::writeFile(dir / "notes.txt", "notes");
    fs::create_hard_link(dir / "notes.txt", marker);
    EXPECT_TRUE(clearStagingMarker(target));
    EXPECT_EQ(fs::hard_link_count(dir / "notes.txt"), 2u);
}

// Hidden names that would pass the file-name limit are shortened, and the sweep still tells
// them apart by target.
TEST(PartialFile, NamesNearTheLimitAreSweptByTheirOwnTarget) {
    test::TempDir dir;
    const fs::path target = dir / (std::string(240, 'a') + ".mov");
    const fs::path sibling = dir / (std::string(240, 'a') + "b.mov");  // the same start, another name
    test::runAndKill([&] { static PartialFile dead(target), other(sibling); });
    PartialFile live(target);
    const PartialSweep sweep = sweepPartials(target);
    EXPECT_EQ(sweep.removed, 1);
    EXPECT_EQ(sweep.live, 1);
    EXPECT_EQ(live.publish(), 0);
    EXPECT_EQ(sweepPartials(sibling).removed, 1);
    EXPECT_EQ(test::fileNames(dir.path()), std::vector<std::string>{target.filename()});
}

// A run's hidden items are named, or go, in their folder wherever that was moved meanwhile.
TEST(PartialFile, HiddenItemsFollowTheirMovedFolder) {
    test::TempDir dir;
    fs::create_directories(dir / "out");
    std::optional<PartialFile> movie(std::in_place, dir / "out" / "Show.mov");
    std::optional<PartialFolder> frames(std::in_place, dir / "out" / "Frames");
    PartialFolder kept(dir / "out" / "Kept");
    fs::rename(dir / "out", dir / "moved");
    movie.reset();
    frames.reset();
    EXPECT_EQ(kept.publish(), 0);
    EXPECT_EQ(test::fileNames(dir / "moved"), std::vector<std::string>{"Kept"});
    EXPECT_TRUE(fs::is_empty(dir / "moved" / "Kept"));  // its marker gone too
}

// A dead run's staging folder is emptied only through the descriptor it was checked by: another
// user of the output folder exchanging its name with a link to a folder of ours, over and over
// while the sweep goes, never leads the removal there.
TEST(PartialFolder, ASweepNeverFollowsALinkSwappedInForADeadFolder) {
    test::TempDir dir;
    const fs::path out = dir / "out", victim = dir / "Photos", link = out / ".swap";
    fs::create_directories(out);
    fs::create_directories(victim);
    const auto photo = [](int i) { return "IMG_" + std::to_string(i) + ".jpg"; };
    for (int i = 0; i < 100; ++i) test::writeFile(victim / photo(i), "photo");
    for (int round = 0; round < 6; ++round) {
        test::runAndKill([&] {
            static const PartialFolder dead(out / "Frames");
            for (int i = 0; i < 400; ++i) test::writeFile(dead.path() / photo(i), "frame");
        });
        const auto hidden = test::fileNames(out);
        ASSERT_EQ(hidden.size(), 1u);
        const fs::path staging = out / hidden.front();
        fs::create_directory_symlink(victim, link);
        std::atomic<bool> stop{false};
        std::thread swapper([&] {
            while (!stop) ::renameat2(AT_FDCWD, link.c_str(), AT_FDCWD, staging.c_str(), RENAME_EXCHANGE);
        });
        // Until the folder is gone, under whichever of the two names it stands.
        const auto folderLeft = [&] { return fs::is_directory(fs::symlink_status(staging)) || fs::is_directory(fs::symlink_status(link)); };
        for (int sweep = 0; sweep < 200 && folderLeft(); ++sweep) sweepPartials(out / "Frames");
        stop = true;
        swapper.join();
        if (!fs::is_symlink(link)) ::renameat2(AT_FDCWD, link.c_str(), AT_FDCWD, staging.c_str(), RENAME_EXCHANGE);
        if (fs::is_symlink(link)) fs::remove(link);
        ASSERT_EQ(test::fileNames(victim).size(), 100u) << "round " << round;
        // Once nobody swaps, what is left of the folder goes with the next sweep.
        sweepPartials(out / "Frames");
        ASSERT_TRUE(test::fileNames(out).empty()) << "round " << round;
    }
}

// Only this user's runs' leftovers are ever theirs to remove. A leftover of another user, still
// read by a process of that user, stays when a user who may write the folder sweeps it, though
// the sweeping user's lease cannot see the other open file.
TEST(PartialFile, AnotherUsersLeftoverStays) {
    if (::geteuid() != 0) GTEST_SKIP() << "sweeping as another user needs root";
    test::TempDir dir;
    const fs::path out = dir / "shared", target = out / "Show.mov";
    fs::create_directories(out);
    fs::permissions(out, fs::perms::all);
    test::runAndKill([&] { static const PartialFile dead(target); });
    const auto left = test::fileNames(out);
    ASSERT_EQ(left.size(), 1u);
    const int reading = ::open((out / left.front()).c_str(), O_RDONLY);
    ASSERT_GE(reading, 0);
    const pid_t sweeper = ::fork();
    if (sweeper == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        const PartialSweep sweep = sweepPartials(target);
        ::_exit(sweep.removed == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(sweeper, &status, 0), sweeper);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(test::fileNames(out), left);
    ::close(reading);
}

// The user's secret in a data folder of the test's own, for the runs it starts meanwhile.
class OwnDataHome {
public:
    OwnDataHome() : kept_(std::getenv("XDG_DATA_HOME") ? std::optional<std::string>(std::getenv("XDG_DATA_HOME")) : std::nullopt) {
        fs::create_directories(dir_ / "Quillmere");
        fs::permissions(dir_ / "Quillmere", fs::perms::owner_all);
        ::setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
    }
    ~OwnDataHome() { kept_ ? ::setenv("XDG_DATA_HOME", kept_->c_str(), 1) : ::unsetenv("XDG_DATA_HOME"); }
    fs::path key() const { return dir_ / "Quillmere" / "hidden-names.key"; }

private:
    test::TempDir dir_;
    std::optional<std::string> kept_;
};

// A key that is a named pipe hangs no run (opening it would wait for a writer for ever): the run
// takes it for no key, and a fresh, private one takes its place.
// Hidden names are made on worker threads, which may end while the process exits, as the crypto
// library's own exit handler runs: such a thread's end must not touch what that handler frees (it
// corrupted the heap, now and then, as a test process or the app quit). Each run is a process of
// its own, whose workers are let go by an exit handler that runs just before the library's.
TEST(PartialFile, ThreadsThatMadeHiddenNamesMayEndAsTheProcessExits) {
    if (std::getenv("QM_EXIT_RACE_CHILD") != nullptr) {
        static std::atomic<bool> release{false};
        static std::atomic<int> named{0};
        (void)freshHiddenName("Warm.mov");
        std::atexit([] { release = true; });
        constexpr int kWorkers = 16;
        for (int i = 0; i < kWorkers; ++i)
            std::thread([] {
                if (!freshHiddenName("Show.mov").empty()) ++named;
                while (!release) std::this_thread::yield();
            }).detach();
        while (named < kWorkers) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::exit(0);
    }
    for (int run = 0; run < 40; ++run) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::setenv("QM_EXIT_RACE_CHILD", "1", 1);
            ::execl("/proc/self/exe", "qm_core_tests",
                    "--gtest_filter=PartialFile.ThreadsThatMadeHiddenNamesMayEndAsTheProcessExits",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "run " << run << ": status " << status;
    }
}

TEST(PartialFile, AKeyThatIsAPipeHangsNoRun) {
    test::TempDir dir;
    const OwnDataHome data;
    ASSERT_EQ(::mkfifo(data.key().c_str(), 0600), 0);
    const pid_t run = ::fork();
    if (run == 0) {
        ::execl(QM_USER_FILE_HELPER, QM_USER_FILE_HELPER, "leave", (dir / "Show.mov").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // A run waiting in its open for a writer on the pipe would wait there for ever.
    const auto hung = test::signalWhen(run, [&] {
        return test::readFile("/proc/" + std::to_string(run) + "/wchan").starts_with("wait_for_partner");
    }, SIGKILL);
    ASSERT_FALSE(hung) << "the run waits on the pipe";
    EXPECT_EQ(test::fileNames(dir.path()).size(), 1u);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(data.key())));
    EXPECT_EQ(fs::status(data.key()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// A key others could read is replaced by the first runs that meet it. Two meeting it at once, the
// first held after writing its fresh key aside, the second let go as it comes to a lock: both take
// the one key that holds the name, so that a run that finds what either left knows it for ours.
TEST(PartialFile, RunsThatReplaceARejectedKeyAtOnceTakeTheSameKey) {
    test::TempDir dir;
    const OwnDataHome data;
    test::writeFile(data.key(), std::string(32, 'k'));
    fs::permissions(data.key(), fs::perms(0644));
    test::HeldProcess first({QM_USER_FILE_HELPER, "leave", (dir / "first.mov").string()}, {SYS_fsync});
    if (!first.started()) GTEST_SKIP() << first.whyNot();
    ASSERT_TRUE(first.next());  // its fresh key written aside, not yet named
    test::HeldProcess second({QM_USER_FILE_HELPER, "leave", (dir / "second.mov").string()}, {SYS_flock});
    ASSERT_TRUE(second.started()) << second.whyNot();
    ASSERT_TRUE(second.next());
    const int firstEnded = first.finish(), secondEnded = second.finish();
    EXPECT_TRUE(WIFEXITED(firstEnded) && WEXITSTATUS(firstEnded) == 0) << firstEnded;
    EXPECT_TRUE(WIFEXITED(secondEnded) && WEXITSTATUS(secondEnded) == 0) << secondEnded;
    ASSERT_EQ(test::fileNames(dir.path()).size(), 2u);
    EXPECT_EQ(test::run({QM_USER_FILE_HELPER, "sweep", dir.path().string()}).output, "2\n");
    EXPECT_TRUE(test::fileNames(dir.path()).empty());
    EXPECT_EQ(fs::status(data.key()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
}  // namespace qm
