// Convert runs in processes of their own (qm-bench transcode: the queue's naming and transcoder),
// killed with SIGKILL midway as a crash would end them, started side by side, and run under a
// file-size limit.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <cstddef>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/partial_file.h"
#include "engine/output_naming.h"
#include "platform/media/media_capabilities.h"
#include "support/test_support.h"
#include "transcoder_test_media.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

// Under `fileSizeLimit`, the run starts as from a shell with `prlimit --fsize`: SIGXFSZ at its
// default, which ends a process that does not ignore it. Its standard error goes to `errors`. On
// one processor, it is pinned to the first this test may use, as `taskset -c` pins it.
// Makes the kernel kill this process at its first rename that may replace what it renames over
// (renameat, or renameat2 without flags), inherited across exec. False where that cannot be set.
bool killAtPlainRename() {
#if defined(__x86_64__)
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat, 4, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[4])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
    return false;
#endif
}

pid_t startTranscode(const fs::path& source, const fs::path& out, const char* format,
                     rlim_t fileSizeLimit = RLIM_INFINITY, const fs::path& errors = {}, bool oneProcessor = false,
                     bool killedAtPlainRename = false) {
    cpu_set_t processors;
    ::sched_getaffinity(0, sizeof processors, &processors);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a run that never ends goes with the test
        if (oneProcessor) {
            int first = 0;
            while (!CPU_ISSET(first, &processors)) ++first;
            CPU_ZERO(&processors);
            CPU_SET(first, &processors);
            ::sched_setaffinity(0, sizeof processors, &processors);
        }
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::signal(SIGINT, SIG_DFL);  // as from a terminal, even where the tests run in the background
        if (!errors.empty()) ::dup2(::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        if (fileSizeLimit != RLIM_INFINITY) {
            ::signal(SIGXFSZ, SIG_DFL);
            const rlimit limit{fileSizeLimit, fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (killedAtPlainRename && !killAtPlainRename()) ::_exit(126);
        ::execl(QM_BENCH, QM_BENCH, "transcode", source.c_str(), "--format", format, "--out", out.c_str(), "--no-audio",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

// Kills the run once `midway` holds; false when the run ended first.
bool killWhen(pid_t pid, const std::function<bool()>& midway) { return test::signalWhen(pid, midway, SIGKILL).has_value(); }

using test::names;

TEST(KilledConvertRun, LeavesNothingUnderItsNameAndTheNextRunTakesIt) {
    test::TempDir dir;
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30:duration=20", "-c:v", "libx264", "-preset",
                  "ultrafast", "-pix_fmt", "yuv420p", (dir / "long.mov").string()});
    const fs::path out = dir / "out";
    fs::create_directories(out);

    // A movie: killed while its hidden file grows, nothing visible stays, and the next run takes
    // the same name and clears what the dead one left.
    const bool movieKilled = killWhen(startTranscode(dir / "long.mov", out, "hap"), [&] {
        for (const auto& name : names(out, true)) {
            std::error_code ec;
            if (name.starts_with(".long_Hap.mov.") && fs::file_size(out / name, ec) > 0 && !ec) return true;
        }
        return false;
    });
    ASSERT_TRUE(movieKilled) << "the run ended before it was killed";
    EXPECT_TRUE(names(out, false).empty());
    {
        const auto next = reserveOutputURL(OutputFormat::hap, dir / "long.mov", out);
        EXPECT_EQ(next->target(), out / "long_Hap.mov");
        EXPECT_EQ(names(out, true), std::vector<std::string>{next->path().filename()});
    }

    // A sequence: the frames it finished stay, each whole; nothing half-written is visible, and
    // the next run clears the dead run's hidden files and takes the next name.
    const fs::path frames = out / "long_PNG";
    const bool sequenceKilled = killWhen(startTranscode(dir / "long.mov", out, "pngSequence"),
                                         [&] { return names(frames, false).size() >= 3; });
    ASSERT_TRUE(sequenceKilled) << "the run ended before it was killed";
    EXPECT_EQ(names(out, false), std::vector<std::string>{"long_PNG"});
    for (const auto& name : names(frames, false))
        EXPECT_TRUE(test::readFile(frames / name).ends_with(std::string("IEND\xae\x42\x60\x82", 8))) << name << " is cut";
    const auto next = reserveOutputURL(OutputFormat::pngSequence, dir / "long.mov", out);
    EXPECT_EQ(next->target(), out / "long_PNG 2");
    EXPECT_EQ(names(out, true), std::vector<std::string>{next->path().filename()});
    EXPECT_TRUE(names(frames, true).empty());
}

// Told to stop (a service manager's SIGTERM, Ctrl+C's SIGINT), a run cancels itself and ends by
// the same signal, on one processor too: nothing of a movie stays, hidden or not; a sequence keeps
// whole frames from the first and nothing hidden.
TEST(KilledConvertRun, ARunToldToStopRemovesWhatItMadeAndEndsByTheSignal) {
    test::TempDir dir;
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30:duration=20", "-c:v", "libx264", "-preset",
                  "ultrafast", "-pix_fmt", "yuv420p", (dir / "long.mov").string()});
    for (const auto& [signal, format, oneProcessor] :
         {std::tuple{SIGTERM, "proRes422", false}, std::tuple{SIGINT, "pngSequence", false},
          std::tuple{SIGTERM, "proRes422", true}, std::tuple{SIGTERM, "pngSequence", true}}) {
        SCOPED_TRACE(std::string(format) + (oneProcessor ? " on one processor" : ""));
        const fs::path out = dir / (format + std::string(oneProcessor ? " 1" : "")), frames = out / "long_PNG";
        fs::create_directories(out);
        const bool sequence = std::string(format) == "pngSequence";
        const pid_t pid = startTranscode(dir / "long.mov", out, format, RLIM_INFINITY, {}, oneProcessor);
        const auto status = test::signalWhen(pid, [&] {
            if (sequence) return names(frames, false).size() >= 3;
            for (const auto& name : names(out, true)) {
                std::error_code ec;
                if (fs::file_size(out / name, ec) > 0 && !ec) return true;
            }
            return false;
        }, signal);
        ASSERT_TRUE(status) << "the run ended before it was stopped";
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == signal) << "status " << *status;
        EXPECT_EQ(names(out, true), std::vector<std::string>{});
        if (!sequence) {
            EXPECT_EQ(names(out, false), std::vector<std::string>{});
            continue;
        }
        EXPECT_EQ(names(out, false), std::vector<std::string>{"long_PNG"});
        EXPECT_EQ(names(frames, true), std::vector<std::string>{});
        const auto shown = names(frames, false);
        EXPECT_EQ(shown, test::sequenceFrameNames(frames, int(shown.size()), "png"));
        for (const auto& name : shown)
            EXPECT_TRUE(test::readFile(frames / name).ends_with(std::string("IEND\xae\x42\x60\x82", 8))) << name << " is cut";
    }
}

int runTranscode(const fs::path& source, const fs::path& out, const char* format, bool oneProcessor = false) {
    int status = 0;
    ::waitpid(startTranscode(source, out, format, RLIM_INFINITY, {}, oneProcessor), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// On one processor (a one-CPU machine, container or VM) oneTBB has no worker to share; a movie
// and a sequence are written all the same.
TEST(KilledConvertRun, OnOneProcessorARunConvertsAMovieAndASequence) {
    test::TempDir dir;
    const fs::path source = test::makeH264Source(dir.path(), "clip.mov", 64, 48, 48000, 0, 0.4);  // 10 frames
    const fs::path out = dir / "out";
    fs::create_directories(out);
    EXPECT_EQ(runTranscode(source, out, "hap", true), 0);
    EXPECT_EQ(runTranscode(source, out, "pngSequence", true), 0);
    EXPECT_EQ(names(out, false), (std::vector<std::string>{"clip_Hap.mov", "clip_PNG"}));
    EXPECT_EQ(names(out, true), std::vector<std::string>{});
    EXPECT_EQ(test::countFrames(out / "clip_Hap.mov"), 10);
    EXPECT_EQ(test::fileNames(out / "clip_PNG"), test::sequenceFrameNames(out / "clip_PNG", 10, "png"));
}

// A sequence killed during its first frames: its folder is not visible before a frame in it is,
// and the next run clears the hidden folder it left.
TEST(KilledConvertRun, ASequenceFolderAppearsWithItsFirstFrame) {
    test::TempDir dir;
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30:duration=3", "-c:v", "libx264", "-preset",
                  "ultrafast", "-pix_fmt", "yuv420p", (dir / "big.mov").string()});
    const fs::path out = dir / "out";
    fs::create_directories(out);
    const bool killed = killWhen(startTranscode(dir / "big.mov", out, "pngSequence"), [&] {
        std::error_code ec;
        for (fs::directory_iterator it(out, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_directory(ec)) return true;
        return false;
    });
    ASSERT_TRUE(killed) << "the run ended before it was killed";
    for (const auto& folder : names(out, false))
        EXPECT_FALSE(names(out / folder, false).empty()) << folder << " holds only hidden files";
    const auto next = reserveOutputURL(OutputFormat::pngSequence, dir / "big.mov", out);
    EXPECT_EQ(names(out, true), std::vector<std::string>{next->path().filename()});
}

// A Convert sweeps only what dead runs of ours left: never a user's file or folder that merely
// looks like a hidden file of ours, beside a movie or inside a sequence folder.
TEST(KilledConvertRun, TheSweepLeavesTheUsersLookAlikes) {
    test::TempDir dir;
    const fs::path source = test::makeH264Source(dir.path(), "name.mov", 64, 48, 48000, 0, 1.0);
    const fs::path out = dir / "out";
    fs::create_directories(out / ".name_Hap.mov.0badcafe.partial");
    test::writeFile(out / ".name_Hap.mov.0badcafe.partial" / "keep.txt", "folder");
    test::writeFile(out / ".name_Hap.mov.ab12.partial", "file");
    fs::create_directories(out / "name_PNG");
    test::writeFile(out / "name_PNG" / ".notes.txt.2024.partial", "notes");
    test::writeFile(out / "name_PNG" / ".name_PNG_000001.png.1.partial", "frame");
    fs::create_directories(out / "name_PNG" / ".name_PNG.0000abcd.partial");
    test::writeFile(out / "name_PNG" / ".name_PNG.0000abcd.partial" / "keep.txt", "sequence");
    // What dead runs of ours left for both names, in our exact forms.
    test::runAndKill([&] {
        static const PartialFile movie(out / "name_Hap.mov"), sequence(out / "name_PNG"),
            frame(out / "name_PNG" / "name_PNG_000001.png");
    });
    ASSERT_EQ(runTranscode(source, out, "hap"), 0);
    ASSERT_EQ(runTranscode(source, out, "pngSequence"), 0);

    EXPECT_EQ(names(out, false), (std::vector<std::string>{"name_Hap.mov", "name_PNG", "name_PNG 2"}));
    EXPECT_EQ(names(out, true), (std::vector<std::string>{".name_Hap.mov.0badcafe.partial", ".name_Hap.mov.ab12.partial"}));
    EXPECT_EQ(names(out / "name_PNG", true), (std::vector<std::string>{".name_PNG.0000abcd.partial", ".name_PNG_000001.png.1.partial",
                                                                      ".notes.txt.2024.partial"}));
    EXPECT_TRUE(names(out / "name_PNG", false).empty());
    EXPECT_EQ(test::readFile(out / ".name_Hap.mov.0badcafe.partial" / "keep.txt"), "folder");
    EXPECT_EQ(test::readFile(out / ".name_Hap.mov.ab12.partial"), "file");
    EXPECT_EQ(test::readFile(out / "name_PNG" / ".notes.txt.2024.partial"), "notes");
    EXPECT_EQ(test::readFile(out / "name_PNG" / ".name_PNG_000001.png.1.partial"), "frame");
    EXPECT_EQ(test::readFile(out / "name_PNG" / ".name_PNG.0000abcd.partial" / "keep.txt"), "sequence");
    EXPECT_EQ(test::countFrames(out / "name_Hap.mov"), 25);
}

// A run into a folder clears what runs killed there left under any other name (a killed ProRes
// run's gigabytes need not wait for a run of its own name): hidden movies, a staging folder, a
// sequence's reservation and the hidden frames it stands for. What a live run holds stays.
TEST(KilledConvertRun, TheNextRunIntoTheFolderClearsWhatKilledRunsLeftUnderOtherNames) {
    test::TempDir dir;
    const fs::path source = test::makeH264Source(dir.path(), "name.mov", 64, 48, 48000, 0, 1.0);
    const fs::path out = dir / "out";
    fs::create_directories(out / "Show");
    test::writeFile(out / "Show" / "Show_000000.png", "frame");
    test::runAndKill([&] {
        static const PartialFile movie(out / "other_ProRes422.mov"), reservation(out / "Show"),
            frame(out / "Show" / "Show_000001.jpg");
        if (::write(movie.descriptor(), "movie", 5) != 5) throw std::runtime_error("write");
        static const PartialFolder staging(out / "Other PNG");
    });
    ASSERT_EQ(names(out, true).size(), 3u);
    const PartialFile live(out / "busy_Hap.mov");

    ASSERT_EQ(runTranscode(source, out, "hap"), 0);
    EXPECT_EQ(names(out, true), std::vector<std::string>{live.path().filename()});
    EXPECT_EQ(names(out, false), (std::vector<std::string>{"Show", "name_Hap.mov"}));
    EXPECT_EQ(test::fileNames(out / "Show"), std::vector<std::string>{"Show_000000.png"});
}

// A run killed while it sweeps what a dead sequence run left (the hidden frames in its folder and
// the hidden file beside it that marks them dead) leaves enough for the next run to finish it.
TEST(KilledConvertRun, ASweepKilledMidwayIsFinishedByTheNextRun) {
    test::TempDir dir;
    const fs::path source = test::makeH264Source(dir.path(), "name.mov", 64, 48, 48000, 0, 0.2);
    const fs::path out = dir / "out", frames = out / "name_JPEG";
    fs::create_directories(frames);
    test::writeFile(frames / "name_JPEG_000000.jpg", "frame");
    // Enough hidden frames that the sweep is still at them when the kill lands.
    char frame[64];
    for (int i = 1; i <= 3000; ++i) {
        std::snprintf(frame, sizeof frame, "name_JPEG_%06d.jpg", i);
        test::writeFile(frames / freshHiddenName(frame), "dead");
    }
    test::writeFile(out / freshHiddenName("name_JPEG"), "");
    // Killed at the first item the sweep removes, wherever it is.
    const int watch = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ::inotify_add_watch(watch, out.c_str(), IN_DELETE);
    ::inotify_add_watch(watch, frames.c_str(), IN_DELETE);
    const pid_t pid = startTranscode(source, out, "jpegSequence");
    alignas(inotify_event) char events[4096];
    ASSERT_GT(::read(watch, events, sizeof events), 0);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(watch);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_FALSE(names(frames, true).empty()) << "the sweep ended before it was killed";

    ASSERT_EQ(runTranscode(source, out, "jpegSequence"), 0);
    EXPECT_EQ(names(out, false), (std::vector<std::string>{"name_JPEG", "name_JPEG 2"}));
    EXPECT_TRUE(names(out, true).empty());
    EXPECT_EQ(names(frames, true).size(), 0u);
    EXPECT_EQ(names(frames, false), std::vector<std::string>{"name_JPEG_000000.jpg"});
    EXPECT_EQ(names(out / "name_JPEG 2", false), test::sequenceFrameNames(out / "name_JPEG 2", 5, "jpg"));
}

// A movie that meets the file-size limit fails in words, as a full disk does, rather than the
// signal ending the run; nothing of it is published or left behind.
TEST(KilledConvertRun, AFileSizeLimitFailsTheRunInWords) {
    test::TempDir dir;
    // Noise, so both encoders' movies pass 2 MB well before their end.
    const fs::path source = dir / "noise.mov";
    test::ffmpeg({"-f", "lavfi", "-i", "nullsrc=s=640x360:r=30:d=4,geq=lum='random(1)*255':cb=128:cr=128", "-c:v",
                  "prores_ks", "-profile:v", "0", source.string()});
    std::vector<const char*> formats{"proRes422"};
    if (hevcAlphaEncoderAvailable()) formats.push_back("hevcAlpha");
    for (const char* format : formats) {
        SCOPED_TRACE(format);
        const fs::path out = dir / format;
        fs::create_directories(out);
        int status = 0;
        ::waitpid(startTranscode(source, out, format, 2 << 20, dir / "errors.txt"), &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_NE(test::readFile(dir / "errors.txt").find("(File too large)"), std::string::npos)
            << test::readFile(dir / "errors.txt");
        EXPECT_TRUE(names(out, false).empty());
        EXPECT_TRUE(names(out, true).empty());
    }
}

// A hidden name with the check digits of earlier versions, whose key was written in the program
// and so is known to anyone.
std::string withPublicKey(const std::string& stem, const std::string& role) {
    const auto fnv = [](std::string_view bytes, uint64_t digest) {
        for (const char c : bytes) digest = (digest ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
        return digest;
    };
    const std::string nonce = "0badcafe";
    uint64_t z = fnv(nonce, fnv(role, fnv(stem, fnv("quillmere hidden item\n", 0xcbf29ce484222325ull))));
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    char check[9];
    std::snprintf(check, sizeof check, "%08x", static_cast<unsigned>(z));
    return "." + stem + "." + nonce + check + "." + role;
}

// Only this user's runs' leftovers are ever taken for theirs: names made with a key anyone can
// compute (those earlier versions left stay), stems that name the folder itself or the one above
// it, and a hidden name beside a user's empty folder leave all they point at. What a save killed
// in the folder left goes with the next run into it, whatever its name.
TEST(KilledConvertRun, CraftedHiddenNamesSteerNothing) {
    test::TempDir dir;
    const fs::path out = dir / "out";
    fs::create_directories(out / "Photos");
    const std::string marker(kStagingMarker);
    test::writeFile(dir / marker, "");
    test::writeFile(out / marker, "");
    const std::vector<std::string> crafted{withPublicKey("Photos", "partial"), withPublicKey("Clip_Hap.mov", "partial"),
                                           withPublicKey("Show.qmproj", "saving"),  freshHiddenName("."),
                                           freshHiddenName(".."),                    freshHiddenName(".", "saving")};
    for (const auto& name : crafted) test::writeFile(out / name, "");
    test::runAndKill([&] {
        static const PartialFile save(out / "Project.qmproj", "saving");
        if (::write(save.descriptor(), "cut", 3) != 3) ::_exit(1);
    });
    ASSERT_EQ(names(out, true).size(), crafted.size() + 2);
    EXPECT_EQ(reserveOutputURL(OutputFormat::hap, dir / "Clip.mov", out)->target(), out / "Clip_Hap.mov");

    std::vector<std::string> kept = crafted;
    kept.push_back(marker);
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(names(out, true), kept);
    EXPECT_EQ(names(out, false), std::vector<std::string>{"Photos"});
    EXPECT_TRUE(fs::exists(dir / marker));
}

// What dead runs of ours left beside a user's folder of the same name goes, never the folder: one
// left empty, and one holding nothing but a file of the user's named like our staging marker.
TEST(KilledConvertRun, TheUsersFoldersBesideDeadReservationsStay) {
    test::TempDir dir;
    const fs::path source = test::makeH264Source(dir.path(), "name.mov", 64, 48, 48000, 0, 0.4);
    const fs::path out = dir / "out";
    const std::string marker(kStagingMarker);
    for (const char* folder : {"Empty", "Marked"}) fs::create_directories(out / folder);
    test::writeFile(out / "Marked" / marker, "");
    test::runAndKill([&] { static const PartialFile empty(out / "Empty"), marked(out / "Marked"); });
    ASSERT_EQ(names(out, true).size(), 2u);

    ASSERT_EQ(runTranscode(source, out, "hap"), 0);
    EXPECT_TRUE(names(out, true).empty());
    EXPECT_EQ(names(out, false), (std::vector<std::string>{"Empty", "Marked", "name_Hap.mov"}));
    EXPECT_TRUE(fs::is_empty(out / "Empty"));
    EXPECT_EQ(test::fileNames(out / "Marked"), std::vector<std::string>{marker});
}

// A run reads the folder it writes into once, however many names it holds, and takes its name
// without reading it again.
TEST(KilledConvertRun, ARunReadsItsFolderOnce) {
    test::TempDir dir;
    const fs::path source = test::makeH264Source(dir.path(), "name.mov", 64, 48, 48000, 0, 0.2);
    const fs::path out = dir / "out";
    fs::create_directories(out);
    for (int i = 0; i < 200; ++i) test::writeFile(out / ("IMG_" + std::to_string(i) + ".jpg"), std::string(64, 'x'));
    for (const char* name : {".name_Hap.mov.ab12.partial", ".notes.txt.0badcafe0badcafe.saving", "name_Hap.mov"})
        test::writeFile(out / name, "user's");
    test::HeldProcess run({QM_BENCH, "transcode", source.string(), "--format", "hap", "--out", out.string(), "--no-audio"},
                          {SYS_getdents64});
    if (!run.started()) GTEST_SKIP() << run.whyNot();
    // A read of the folder is a call that lists it and one that finds nothing more.
    int calls = 0;
    while (run.next()) {
        std::error_code ec;
        const fs::path read = fs::read_symlink("/proc/" + std::to_string(run.caller()) + "/fd/" + std::to_string(run.argument(0)), ec);
        if (read == out) ++calls;
    }
    const int status = run.finish();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(test::countFrames(out / "name_Hap 2.mov"), 5);
}

// A run that can neither read nor make the user's secret takes no other run's leftover for its
// own (it never falls back to a key anyone could compute); the next run that has the secret
// clears it.
TEST(KilledConvertRun, ARunWithoutTheUsersSecretRemovesNothingOfOthers) {
    test::TempDir dir;
    const fs::path source = test::makeH264Source(dir.path(), "name.mov", 64, 48, 48000, 0, 0.4);
    const fs::path out = dir / "out";
    fs::create_directories(out);
    test::runAndKill([&] { static const PartialFile dead(out / "other_Hap.mov"); });
    const auto left = names(out, true);
    ASSERT_EQ(left.size(), 1u);
    const char* const data = std::getenv("XDG_DATA_HOME");
    const std::string kept = data != nullptr ? data : "";
    ::setenv("XDG_DATA_HOME", "/dev/null/data", 1);
    int status = 0;
    const pid_t run = startTranscode(source, out, "hap");
    data != nullptr ? ::setenv("XDG_DATA_HOME", kept.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
    ::waitpid(run, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(names(out, true), left);
    ASSERT_EQ(runTranscode(source, out, "hapQ"), 0);
    EXPECT_TRUE(names(out, true).empty());
    EXPECT_EQ(names(out, false), (std::vector<std::string>{"name_Hap.mov", "name_HapQ.mov"}));
}

// On exFAT (through FUSE: no hard links, no rename that never replaces) a movie takes its name
// through a placeholder. A run killed between making it and renaming the movie over it leaves
// nothing the next run mistakes for the user's: that run clears it and takes the name itself.
TEST(KilledConvertRun, OnExfatAPlaceholderAKilledRunLeftIsClearedByTheNext) {
    test::ExfatDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    test::TempDir dir;
    const fs::path source = test::makeH264Source(dir.path(), "name.mov", 64, 48, 48000, 0, 1.0);
    const fs::path out = disk / "out";
    fs::create_directories(out);
    (void)freshHiddenName("name");  // the user's secret made before the run, as the run would find it
    int status = 0;
    ::waitpid(startTranscode(source, out, "hap", RLIM_INFINITY, {}, false, true), &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 126) GTEST_SKIP() << "a run cannot be killed at its rename here";
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS) << "status " << status;
    ASSERT_EQ(names(out, false), std::vector<std::string>{"name_Hap.mov"});  // the placeholder

    ASSERT_EQ(runTranscode(source, out, "hap"), 0);
    EXPECT_EQ(names(out, false), std::vector<std::string>{"name_Hap.mov"});
    EXPECT_TRUE(names(out, true).empty());
    EXPECT_EQ(test::countFrames(out / "name_Hap.mov"), 25);
}

TEST(KilledConvertRun, RunsStartedTogetherWriteOneMovieEach) {
    test::TempDir dir;
    const fs::path source = test::makeH264Source(dir.path(), "short.mov", 64, 48, 48000, 0, 1.0);
    const fs::path out = dir / "out";
    fs::create_directories(out);
    std::vector<pid_t> runs;
    for (int i = 0; i < 3; ++i) runs.push_back(startTranscode(source, out, "hap"));
    for (const pid_t pid : runs) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    // Runs that looked at one name at the same moment may both step aside, so the numbers need
    // not be 1, 2, 3; each run has its own name all the same.
    const auto movies = names(out, false);
    EXPECT_EQ(movies.size(), runs.size());
    for (const auto& name : movies) {
        EXPECT_TRUE(name.starts_with("short_Hap") && name.ends_with(".mov")) << name;
        EXPECT_EQ(test::countFrames(out / name), 25) << name;
    }
    EXPECT_TRUE(names(out, true).empty());
}

}  // namespace
}  // namespace qm
