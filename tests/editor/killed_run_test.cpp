// Runs killed with SIGKILL half-way, as a crash or a power cut would end them: a movie never
// appears under the name the user chose, an image sequence never shows a half-written frame nor a
// gap, a package is always the old one or the new one and what a killed run left goes with the next.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "editor_views/project_json.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using namespace test::project_json;

// A project of one long clip, big enough that its export takes a while.
fs::path longProject(const test::TempDir& dir, int width = 1920, int height = 1080) {
    test::ffmpeg({"-f", "lavfi", "-i", lavfiVideo("testsrc2", 320, 180, 60), "-c:v", "libx264", "-preset", "ultrafast",
                  "-pix_fmt", "yuv420p", (dir / "long.mov").string()});
    json media = {{"id", newID()}, {"path", (dir / "long.mov").string()}, {"name", "long.mov"}, {"width", 320},
                  {"height", 180}, {"frameRate", 30}, {"duration", 60}, {"hasAudio", false}, {"codecName", "H.264"}};
    const fs::path file = dir / "long.qmproj";
    test::writeFile(file, project(width, height, {media}, {track("Layer 1", {clip(media)})}).dump());
    return file;
}

// Starts editor-script on `script` and kills it once the run is midway: a hidden item beside a
// movie's `destination` holds bytes, or a sequence's folder holds frames. False when the run
// ended first.
bool killMidway(const fs::path& scriptFile, const fs::path& destination, bool sequence) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(QM_BENCH, QM_BENCH, "editor-script", scriptFile.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto writing = [&] {
        std::error_code ec;
        if (sequence) {
            int frames = 0;
            for (fs::directory_iterator it(destination, ec), end; !ec && it != end; it.increment(ec))
                frames += !it->path().filename().string().starts_with(".");
            return frames >= 2;
        }
        for (const auto& entry : fs::directory_iterator(destination.parent_path())) {
            const std::string name = entry.path().filename();
            if (!name.starts_with("." + destination.filename().string() + ".")) continue;
            if (entry.is_directory() ? !fs::is_empty(entry.path(), ec) : entry.file_size(ec) > 0) return true;
        }
        return false;
    };
    bool killed = false;
    int status = 0;
    // Bounded by the run itself: it either shows its hidden output or ends.
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (writing()) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            killed = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return killed;
}

TEST(KilledRun, AnExportKilledMidwayLeavesNothingUnderItsName) {
    test::TempDir dir;
    const fs::path projectFile = longProject(dir);
    for (const auto& [format, name] : {std::pair{"proRes422", "Show.mov"}, std::pair{"pngSequence", "Show PNG"}}) {
        const fs::path destination = dir / name;
        const json script = json::array({{{"op", "open"}, {"path", projectFile.string()}},
                                          {{"op", "export"}, {"format", format}, {"path", destination.string()}}});
        test::writeFile(dir / "script.json", script.dump());
        const bool sequence = std::string(format) == "pngSequence";
        ASSERT_TRUE(killMidway(dir / "script.json", destination, sequence)) << format << ": the export ended before it was killed";
        if (!sequence) {
            EXPECT_FALSE(fs::exists(destination)) << format;
            continue;
        }
        // A sequence keeps the frames it finished, each whole; what was being written stays hidden.
        for (const auto& entry : fs::directory_iterator(destination)) {
            const std::string name = entry.path().filename();
            if (name.starts_with(".")) continue;
            EXPECT_TRUE(test::readFile(entry.path()).ends_with(std::string("IEND\xae\x42\x60\x82", 8))) << name << " is cut";
        }
    }
}

// Killed during its first frames, an export leaves no visible folder of hidden frames: the
// folder appears with its first complete frame.
TEST(KilledRun, AnExportKilledDuringItsFirstFramesLeavesNoFolderOfHiddenFrames) {
    test::TempDir dir;
    const fs::path projectFile = longProject(dir);
    const fs::path destination = dir / "Show PNG";
    const json script = json::array({{{"op", "open"}, {"path", projectFile.string()}},
                                      {{"op", "export"}, {"format", "pngSequence"}, {"path", destination.string()}}});
    test::writeFile(dir / "script.json", script.dump());
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(QM_BENCH, QM_BENCH, "editor-script", (dir / "script.json").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto folderMade = [&] {
        std::error_code ec;
        for (fs::directory_iterator it(dir.path(), ec), end; !ec && it != end; it.increment(ec))
            if (it->is_directory(ec)) return true;
        return false;
    };
    int status = 0;
    bool killed = false;
    // Bounded by the run itself: it either makes a folder or ends.
    while (!killed && ::waitpid(pid, &status, WNOHANG) == 0) {
        if (folderMade()) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            killed = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(killed) << "the export ended before it was killed";
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename();
        if (!entry.is_directory() || name.starts_with(".")) continue;
        int frames = 0;
        for (const auto& frame : fs::directory_iterator(entry.path())) frames += !frame.path().filename().string().starts_with(".");
        EXPECT_GT(frames, 0) << name << " holds only hidden frames";
    }
}

// Frames are encoded many at once and finish in any order. Convert runs and editor exports to a
// PNG sequence, each killed once it shows a random number of frames, show frames 0 ... k-1, each a
// whole PNG, and no gap.
TEST(KilledRun, SequenceRunsKilledAtRandomMomentsLeaveNoGap) {
    test::TempDir dir;
    // Pictures the size of the source: thirty runs stay well inside the test's limit on a busy
    // machine, and frames still finish out of order.
    const fs::path projectFile = longProject(dir, 320, 180);
    const auto shownIn = [](const fs::path& folder) {
        std::vector<std::string> names;
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
            if (!it->path().filename().string().starts_with(".")) names.push_back(it->path().filename());
        std::ranges::sort(names);
        return names;
    };
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random{seed};
    for (int i = 0; i < 30; ++i) {
        // Even runs are a Convert (qm-bench transcode), odd ones an editor export.
        const fs::path out = dir / ("run" + std::to_string(i)), folder = out / (i % 2 ? "Show" : "long_PNG");
        fs::create_directories(out);
        test::writeFile(out / "script.json", json::array({{{"op", "open"}, {"path", projectFile.string()}},
                                                          {{"op", "export"}, {"format", "pngSequence"}, {"path", folder.string()}}})
                                                 .dump());
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (i % 2 == 0)
                ::execl(QM_BENCH, QM_BENCH, "transcode", (dir / "long.mov").c_str(), "--format", "pngSequence", "--out",
                        out.c_str(), "--no-audio", static_cast<char*>(nullptr));
            ::execl(QM_BENCH, QM_BENCH, "editor-script", (out / "script.json").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const std::size_t killAt = std::uniform_int_distribution<std::size_t>(1, 120)(random);
        int status = 0;
        // Bounded by the run itself: it either shows killAt frames or ends. The pause leaves the
        // cores to the run, which writes a frame in several milliseconds at best.
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (shownIn(folder).size() < killAt) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        EXPECT_TRUE(WIFSIGNALED(status)) << "run " << i << " ended before it was killed";
        const auto shown = shownIn(folder);
        EXPECT_EQ(shown, test::sequenceFrameNames(folder, int(shown.size()), "png")) << "run " << i;
        for (const std::string& name : shown)
            EXPECT_TRUE(test::readFile(folder / name).ends_with(std::string("IEND\xae\x42\x60\x82", 8))) << name << " is cut";
    }
}

// Runs qm-bench with `arguments` and sends it `signal` once a hidden file in `folder` holds bytes;
// how it ended, or nothing when it ended first.
std::optional<int> stopMidway(const std::vector<std::string>& arguments, const fs::path& folder, int signal) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGINT, SIG_DFL);  // as from a terminal, even where the tests run in the background
        std::vector<char*> argv{const_cast<char*>(QM_BENCH)};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(QM_BENCH, argv.data());
        ::_exit(127);
    }
    const auto writing = [&] {
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
            if (it->path().filename().string().starts_with(".") && it->is_regular_file(ec) && it->file_size(ec) > 0) return true;
        return false;
    };
    return test::signalWhen(pid, writing, signal);
}

// Told to stop, an export (qm-bench's own, or the editor's in a script) is cancelled, leaves
// nothing of its movie, and ends by the signal, the script's later commands not run.
TEST(KilledRun, AnExportToldToStopRemovesItsMovieAndEndsByTheSignal) {
    test::TempDir dir;
    const fs::path projectFile = longProject(dir);
    const fs::path out = dir / "out";
    fs::create_directories(out);
    test::writeFile(dir / "script.json",
                    json::array({{{"op", "open"}, {"path", projectFile.string()}},
                                 {{"op", "export"}, {"format", "proRes422"}, {"path", (out / "Show.mov").string()}},
                                 {{"op", "write"}, {"path", (out / "after.qmproj").string()}}})
                        .dump());
    const std::pair<int, std::vector<std::string>> runs[] = {
        {SIGTERM, {"export-project", projectFile.string(), "--format", "proRes422", "--out", out.string()}},
        {SIGINT, {"editor-script", (dir / "script.json").string()}}};
    for (const auto& [signal, arguments] : runs) {
        SCOPED_TRACE(arguments.front());
        const auto status = stopMidway(arguments, out, signal);
        ASSERT_TRUE(status) << "the export ended before it was stopped";
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == signal) << "status " << *status;
        EXPECT_EQ(test::fileNames(out), std::vector<std::string>{});
    }
}

// A project that editor-script's write replaces, cut short (here by the file-size limit, as a
// kill or a full disk would), stays whole: the new one is written beside it.
TEST(KilledRun, AProjectWriteCutShortKeepsTheOldProject) {
    test::TempDir dir;
    const fs::path projectFile = longProject(dir), old = dir / "Show.qmproj";
    const std::string before = test::readFile(projectFile);
    test::writeFile(old, before);
    test::writeFile(dir / "script.json", json::array({{{"op", "open"}, {"path", projectFile.string()}},
                                                      {{"op", "write"}, {"path", old.string()}}})
                                             .dump());
    const pid_t pid = ::fork();
    if (pid == 0) {
        const rlimit limit{512, 512};  // room for the error's words, not for the project
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::dup2(::open((dir / "errors.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        ::execl(QM_BENCH, QM_BENCH, "editor-script", (dir / "script.json").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    const std::string errors = test::readFile(dir / "errors.txt");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << "status " << status;
    EXPECT_NE(errors.find("(write)"), std::string::npos) << errors;
    EXPECT_NE(errors.find("File too large"), std::string::npos) << errors;
    EXPECT_EQ(test::readFile(old), before);
    EXPECT_EQ(test::fileNames(dir.path()), (std::vector<std::string>{"Show.qmproj", "errors.txt", "long.mov", "long.qmproj", "script.json"}));
}

// Hidden items in `folder` and in every folder in it.
std::vector<std::string> hiddenIn(const fs::path& folder) {
    std::vector<std::string> hidden;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.path().filename().string().starts_with(".")) hidden.push_back(fs::relative(entry.path(), folder));
    return hidden;
}

// qm-bench's export takes the first free name, past the folder of an export killed before it:
// the killed run's hidden leftovers, beside that folder and in it, go all the same.
TEST(KilledRun, AWholeExportClearsWhatAnExportKilledBeforeItLeft) {
    test::TempDir dir;
    test::ffmpeg({"-f", "lavfi", "-i", lavfiVideo("testsrc2", 320, 180, 4), "-c:v", "libx264", "-preset", "ultrafast",
                  "-pix_fmt", "yuv420p", (dir / "short.mov").string()});
    json media = {{"id", newID()}, {"path", (dir / "short.mov").string()}, {"name", "short.mov"}, {"width", 320},
                  {"height", 180}, {"frameRate", 30}, {"duration", 4}, {"hasAudio", false}, {"codecName", "H.264"}};
    const fs::path projectFile = dir / "Show.qmproj", out = dir / "out";
    test::writeFile(projectFile, project(960, 540, {media}, {track("Layer 1", {clip(media)})}).dump());
    fs::create_directories(out);
    const auto exportProject = [&] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execl(QM_BENCH, QM_BENCH, "export-project", projectFile.c_str(), "--format", "pngSequence", "--out",
                    out.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return pid;
    };
    const pid_t killed = exportProject();
    int status = 0;
    // Bounded by the run itself: it either shows two frames or ends.
    while (::waitpid(killed, &status, WNOHANG) == 0) {
        std::error_code ec;
        if (std::distance(fs::directory_iterator(out / "Show_PNG", ec), fs::directory_iterator()) >= 2) {
            ::kill(killed, SIGKILL);
            ::waitpid(killed, &status, 0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "the export ended before it was killed";
    ASSERT_FALSE(hiddenIn(out).empty());

    for (int run = 0; run < 2; ++run) {
        ::waitpid(exportProject(), &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "run " << run;
        EXPECT_EQ(hiddenIn(out), std::vector<std::string>{}) << "run " << run;
    }
    EXPECT_EQ(test::fileNames(out), (std::vector<std::string>{"Show_PNG", "Show_PNG 2", "Show_PNG 3"}));
    EXPECT_EQ(test::fileNames(out / "Show_PNG 3"), test::sequenceFrameNames(out / "Show_PNG 3", 120, "png"));
}

// Whether `package` holds the project and a whole copy of every medium, and nothing else.
void expectWholePackage(const fs::path& package, const std::vector<fs::path>& media, const std::string& when) {
    std::vector<std::string> names;
    for (const fs::path& medium : media) names.push_back(medium.filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(test::fileNames(package / "Media"), names) << when;
    for (const fs::path& medium : media) {
        EXPECT_TRUE(test::readFile(package / "Media" / medium.filename()) == test::readFile(medium))
            << when << ": " << medium.filename() << " differs from its source";
    }
    const json project = json::parse(test::readFile(package / "project.qmproj"), nullptr, false);
    ASSERT_FALSE(project.is_discarded()) << when << ": the project file is cut";
    EXPECT_EQ(project.at("media").size(), media.size()) << when;
}

// Package runs killed at moments spread over the run, the swap and the old package's removal
// included: the package stays whole throughout, and after one whole run nothing hidden of any
// killed run is left beside it.
TEST(KilledRun, KilledPackageRunsLeaveTheirPackageWholeAndNothingHiddenAfterTheNextRun) {
    test::TempDir dir;
    // Six movies of noise, 6 MB each, so that copying and removing them takes a while.
    std::vector<fs::path> media;
    std::vector<json> entries, clips;
    for (int i = 0; i < 6; ++i) {
        const fs::path file = dir / ("clip" + std::to_string(i) + ".mov");
        test::ffmpeg({"-f", "lavfi", "-i",
                      "nullsrc=s=480x270:r=30:d=1,geq=lum='mod(random(1)*255+" + std::to_string(i * 40) + ",256)':cb=128:cr=128",
                      "-c:v", "libx264", "-preset", "ultrafast", "-qp", "0", "-pix_fmt", "yuv420p", file.string()});
        json entry = {{"id", newID()}, {"path", file.string()}, {"name", file.filename().string()}, {"width", 480},
                      {"height", 270}, {"frameRate", 30}, {"duration", 1}, {"hasAudio", false}, {"codecName", "H.264"}};
        clips.push_back(clip(entry));
        entries.push_back(std::move(entry));
        media.push_back(file);
    }
    test::writeFile(dir / "show.qmproj", project(480, 270, entries, {track("Layer 1", clips)}).dump());
    const fs::path package = dir / "Show.qmpack";
    const json script = json::array({{{"op", "open"}, {"path", (dir / "show.qmproj").string()}},
                                      {{"op", "package"}, {"path", package.string()}}});
    test::writeFile(dir / "script.json", script.dump());

    const auto hidden = [&] {
        std::vector<std::string> left;
        for (const std::string& name : test::fileNames(dir.path()))
            if (name.starts_with(".Show.qmpack.")) left.push_back(name);
        return left;
    };
    using Clock = std::chrono::steady_clock;
    // Starts a run and, once its staging folder shows, lets it go on for `lead` (or to its end
    // when none) before killing it. Returns whether it was killed and how long it had staged.
    const auto packageRun = [&](std::optional<Clock::duration> lead) {
        const auto before = hidden();
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execl(QM_BENCH, QM_BENCH, "editor-script", (dir / "script.json").c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        std::optional<Clock::time_point> staged;
        int status = 0;
        bool killed = false;
        // Bounded by the run itself, which ends on its own.
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (!staged && std::ranges::any_of(hidden(), [&](const std::string& name) {
                    return std::ranges::find(before, name) == before.end();
                }))
                staged = Clock::now();
            if (staged && lead && Clock::now() - *staged >= *lead) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                killed = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        EXPECT_TRUE(killed || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << "a whole run failed";
        return std::pair{killed, staged ? Clock::now() - *staged : Clock::duration{}};
    };

    // Whole runs first: the package that the killed runs replace, and how long a run that
    // replaces one stages.
    packageRun(std::nullopt);
    Clock::duration staging = packageRun(std::nullopt).second;
    expectWholePackage(package, media, "the first runs");
    std::mt19937 random{std::random_device{}()};
    int killed = 0, leftBehind = 0;
    // Bounded: a run that ends before its moment is tried again with a shorter time.
    for (int attempt = 0; killed < 12 && attempt < 36; ++attempt) {
        // The k-th twelfth of the staging time, at a random point within it.
        const double at = (killed + std::uniform_real_distribution<double>(0, 1)(random)) / 12;
        const auto lead = std::chrono::duration_cast<Clock::duration>(staging * at);
        if (!packageRun(lead).first) {
            staging = staging * 4 / 5;
            continue;
        }
        ++killed;
        leftBehind += !hidden().empty();
        expectWholePackage(package, media, "after kill " + std::to_string(killed));
    }
    ASSERT_EQ(killed, 12) << "the runs kept ending before they were killed";
    std::printf("%d killed runs left hidden items for the next run\n", leftBehind);

    EXPECT_FALSE(packageRun(std::nullopt).first);
    EXPECT_EQ(hidden(), std::vector<std::string>{});
    EXPECT_EQ(test::fileNames(package), (std::vector<std::string>{"Media", "project.qmproj"}));
    expectWholePackage(package, media, "the last run");
}

// A package run killed while it copies leaves its hidden staging folder, which the next package of
// another name in that folder takes away, and so does a project saved there.
TEST(KilledRun, WhatAKilledPackageLeftGoesWithTheNextPackageOrSaveOfAnyNameInItsFolder) {
    test::TempDir dir;
    const fs::path project = longProject(dir, 320, 180);
    // A medium big enough that copying it takes a while (sparse: it costs no disk to make).
    {
        std::ofstream big(dir / "big.mov", std::ios::binary);
        big.seekp((256 << 20) - 1);
        big.put('\0');
    }
    json file = json::parse(test::readFile(project));
    file["media"].push_back({{"id", newID()}, {"path", (dir / "big.mov").string()}, {"name", "big.mov"}, {"width", 320},
                             {"height", 180}, {"frameRate", 30}, {"duration", 60}, {"hasAudio", false},
                             {"codecName", "H.264"}});
    test::writeFile(project, file.dump());
    const auto script = [&](const std::string& name, const json& last) {
        const fs::path path = dir / name;
        test::writeFile(path, json::array({{{"op", "open"}, {"path", project.string()}}, last}).dump());
        return path;
    };
    const fs::path packageB = script("b.json", {{"op", "package"}, {"path", (dir / "B.qmpack").string()}});
    const auto stagings = [&] {
        std::vector<std::string> left;
        for (const std::string& name : test::fileNames(dir.path()))
            if (name.starts_with(".B.qmpack.") && name.ends_with(".partial")) left.push_back(name);
        return left;
    };
    const auto killPackageB = [&] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execl(QM_BENCH, QM_BENCH, "editor-script", packageB.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        bool killed = false;
        // Bounded by the run itself: it either shows a copy under way or ends.
        while (!killed && ::waitpid(pid, &status, WNOHANG) == 0) {
            for (const std::string& staging : stagings()) {
                std::error_code ec;
                for (const auto& entry : fs::directory_iterator(dir / staging / "Media", ec))
                    if (entry.file_size(ec) > 0) killed = true;
            }
            if (killed) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return killed;
    };

    ASSERT_TRUE(killPackageB()) << "the package ended before its copy was seen";
    ASSERT_EQ(stagings().size(), 1u);
    const test::CommandResult other =
        test::run({QM_BENCH, "editor-script", script("c.json", {{"op", "package"}, {"path", (dir / "C.qmpack").string()}}).string()});
    ASSERT_EQ(other.exitCode, 0) << other.output;
    EXPECT_EQ(stagings(), std::vector<std::string>{});

    ASSERT_TRUE(killPackageB()) << "the package ended before its copy was seen";
    ASSERT_EQ(stagings().size(), 1u);
    const test::CommandResult saved = test::run(
        {QM_BENCH, "editor-script", script("s.json", {{"op", "save"}, {"as", true}, {"path", (dir / "saved.qmproj").string()}}).string()});
    ASSERT_EQ(saved.exitCode, 0) << saved.output;
    EXPECT_NE(saved.output.find("save "), std::string::npos) << saved.output;
    EXPECT_EQ(stagings(), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(dir / "B.qmpack"));
}

}  // namespace
}  // namespace qm
