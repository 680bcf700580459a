// Runs killed with SIGKILL half-way, as a crash or a power cut would end them: a movie never
// appears under the name the user chose, an image sequence never shows a half-written frame.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include "editor_views/project_json.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using namespace test::project_json;

// A project of one long clip, big enough that its export takes a while.
fs::path longProject(const test::TempDir& dir) {
    test::ffmpeg({"-f", "lavfi", "-i", lavfiVideo("testsrc2", 320, 180, 60), "-c:v", "libx264", "-preset", "ultrafast",
                  "-pix_fmt", "yuv420p", (dir / "long.mov").string()});
    json media = {{"id", newID()}, {"path", (dir / "long.mov").string()}, {"name", "long.mov"}, {"width", 320},
                  {"height", 180}, {"frameRate", 30}, {"duration", 60}, {"hasAudio", false}, {"codecName", "H.264"}};
    const fs::path file = dir / "long.qmproj";
    test::writeFile(file, project(1920, 1080, {media}, {track("Layer 1", {clip(media)})}).dump());
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

}  // namespace
}  // namespace qm
