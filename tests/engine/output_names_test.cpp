// Convert runs (qm-bench transcode: the queue's naming and transcoder) whose names come near the
// file-name limit, which counts bytes, and whose output folder is renamed while they run.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/output_naming.h"
#include "support/test_support.h"
#include "transcoder_test_media.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::names;

const std::string kWide = "\xe5\x90\x8d";  // one character, three bytes

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST(NamesNearTheLimit, AreWrittenWholeOrCutToFitKeepingTagAndNumber) {
    test::TempDir dir;
    const fs::path out = dir / "out";
    const auto transcode = [&](const std::string& stem, const char* format) {
        const fs::path source = dir / (stem + ".mp4");
        if (!fs::exists(source)) fs::copy_file(test::makeH264Source(dir.path(), "s.mov", 64, 48, 0, 0, 0.2), source);
        return test::run({QM_BENCH, "transcode", source.string(), "--format", format, "--out", out.string(), "--no-audio"});
    };
    // Names that fit are written as they are, though their hidden names would not fit: 252 bytes,
    // and 82 characters making 254.
    std::string wide;
    for (int i = 0; i < 82; ++i) wide += kWide;
    for (const std::string& stem : {std::string(244, 'm'), wide}) {
        const auto run = transcode(stem, "hap");
        ASSERT_EQ(run.exitCode, 0);
        EXPECT_EQ(firstLine(run.output), (out / (stem + "_Hap.mov")).string());
        EXPECT_EQ(test::countFrames(out / (stem + "_Hap.mov")), 5);
    }
    // A sequence folder that would leave no room for its frames' names is cut at a character
    // boundary before its tag, and so is the next run's, keeping its number.
    for (const char* end : {"_TIFF", "_TIFF 2"}) {
        const auto run = transcode(wide + kWide, "tiffSequence");
        ASSERT_EQ(run.exitCode, 0);
        const fs::path folder = firstLine(run.output);
        EXPECT_TRUE(folder.filename().string().ends_with(kWide + end)) << folder;
        EXPECT_EQ(names(folder, false).size(), 5u);
    }
    EXPECT_TRUE(names(out, true).empty());
    // A name a caller chose past the limit (an export's folder) is cut to fit too.
    EXPECT_EQ(reserveOutputName(OutputFormat::pngSequence, out / std::string(256, 's'))->target(),
              out / std::string(255 - 11, 's'));
}

// A run whose output folder is renamed meanwhile finishes there, names where its output is, and
// leaves nothing hidden behind.
TEST(MovedOutputFolder, TheRunFinishesThereAndNamesWhere) {
    test::TempDir dir;
    const fs::path source = test::makeH264Source(dir.path(), "long.mov", 640, 360, 0, 0, 10.0);
    for (const auto& [format, output] : {std::pair{"hap", "long_Hap.mov"}, std::pair{"pngSequence", "long_PNG"}}) {
        SCOPED_TRACE(format);
        const bool movie = std::string(format) == "hap";
        const fs::path out = dir / "out", moved = dir / "moved", log = dir / "stdout";
        fs::create_directories(out);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
            ::execl(QM_BENCH, QM_BENCH, "transcode", source.c_str(), "--format", format, "--out", out.c_str(),
                    "--no-audio", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Renamed once the movie's hidden file is there beside the reservation, or the sequence's
        // first frames are in their folder.
        int status = 0;
        bool renamed = false, ended = false;
        while (!renamed && !(ended = ::waitpid(pid, &status, WNOHANG) != 0)) {
            if (movie ? names(out, true).size() >= 2 : names(out / output, false).size() >= 2) {
                fs::rename(out, moved);
                renamed = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!ended) ::waitpid(pid, &status, 0);
        ASSERT_TRUE(renamed) << "the run ended before its folder was renamed";
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(firstLine(test::readFile(log)), (moved / output).string());
        EXPECT_EQ(names(moved, false), std::vector<std::string>{output});
        EXPECT_TRUE(names(moved, true).empty());
        EXPECT_EQ(movie ? test::countFrames(moved / output) : int(names(moved / output, false).size()), 250);
        fs::remove_all(moved);
    }
}

}  // namespace
}  // namespace qm
