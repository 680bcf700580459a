// Convert runs (qm-bench transcode: the queue's naming and transcoder) whose names come near the
// file-name limit, which counts bytes, and whose output folder is renamed while they run.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/conversion_error.h"
#include "engine/output_naming.h"
#include "support/test_support.h"
#include "transcoder_test_media.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

using test::names;

std::string repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

// A short source under the name `stem` + ".mp4".
fs::path sourceNamed(const fs::path& folder, const std::string& stem) {
    const fs::path file = folder / (stem + ".mp4");
    std::vector<std::string> args = test::testPicture(64, 48, 0.2);
    args.insert(args.end(), {"-c:v", "libx264", "-pix_fmt", "yuv420p", file.string()});
    test::ffmpeg(args);
    return file;
}

TEST(NamesNearTheLimit, AreWrittenWholeOrCutToFitKeepingTagAndNumber) {
    test::TempDir dir;
    const fs::path out = dir / "out";
    fs::create_directories(out);
    const auto transcode = [&](const fs::path& source, const char* format) {
        return test::run({QM_BENCH, "transcode", source.string(), "--format", format, "--out", out.string(), "--no-audio"});
    };

    // Names that fit are written as they are, though their hidden files' names would not fit:
    // 252 bytes, and 82 three-byte characters making 254.
    for (const std::string& stem : {std::string(244, 'm'), repeated("\xe5\x90\x8d", 82)}) {
        const auto run = transcode(sourceNamed(dir.path(), stem), "hap");
        const fs::path movie = out / (stem + "_Hap.mov");
        ASSERT_EQ(run.exitCode, 0) << movie.filename().string().size() << " bytes";
        EXPECT_EQ(run.output.substr(0, run.output.find('\n')), movie.string());
        EXPECT_EQ(test::countFrames(movie), 5);
    }
    EXPECT_TRUE(names(out, true).empty());

    // A sequence folder that would leave no room for its frames' names is cut, at a character
    // boundary, before its tag; the next run's number is kept too.
    const fs::path source = sourceNamed(dir.path(), repeated("\xe5\x90\x8d", 83));
    std::vector<fs::path> folders;
    for (int i = 0; i < 2; ++i) {
        const auto run = transcode(source, "tiffSequence");
        ASSERT_EQ(run.exitCode, 0);
        folders.emplace_back(run.output.substr(0, run.output.find('\n')));
    }
    EXPECT_TRUE(folders[0].filename().string().ends_with("\xe5\x90\x8d_TIFF"));
    EXPECT_TRUE(folders[1].filename().string().ends_with("\xe5\x90\x8d_TIFF 2"));
    for (const fs::path& folder : folders) {
        EXPECT_EQ(folder.parent_path(), out);
        const std::vector<std::string> frames = test::fileNames(folder);
        ASSERT_EQ(frames.size(), 5u) << folder;
        EXPECT_LE(frames.back().size(), 255u);
    }
    EXPECT_TRUE(names(out, true).empty());

    // A name a caller chose past the limit (an export's folder) is cut to fit too.
    const auto reservation = reserveOutputName(OutputFormat::pngSequence, out / std::string(256, 's'));
    EXPECT_EQ(reservation->target().filename().string(), std::string(255 - 11, 's'));
}

// A run whose output folder is renamed meanwhile finishes there and names where its output is,
// and leaves nothing hidden behind in it.
TEST(MovedOutputFolder, TheRunFinishesThereAndNamesWhere) {
    test::TempDir dir;
    test::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30:duration=10", "-c:v", "libx264", "-preset",
                  "ultrafast", "-pix_fmt", "yuv420p", (dir / "long.mov").string()});
    for (const char* format : {"hap", "pngSequence"}) {
        SCOPED_TRACE(format);
        const fs::path out = dir / "out", moved = dir / "moved";
        fs::create_directories(out);
        const fs::path log = dir / "stdout";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
            ::execl(QM_BENCH, QM_BENCH, "transcode", (dir / "long.mov").c_str(), "--format", format, "--out",
                    out.c_str(), "--no-audio", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Renamed once the output is under way: the movie's hidden file has bytes, or the
        // sequence's first frames have their names.
        const bool movie = std::string(format) == "hap";
        int status = 0;
        bool renamed = false, ended = false;
        while (!renamed && !(ended = ::waitpid(pid, &status, WNOHANG) != 0)) {
            bool midway = false;
            if (movie) {
                for (const std::string& name : names(out, true)) {
                    std::error_code ec;
                    midway = midway || (name.starts_with(".long_Hap.mov.") && fs::file_size(out / name, ec) > 0 && !ec);
                }
            } else {
                midway = names(out / "long_PNG", false).size() >= 2;
            }
            if (midway) {
                fs::rename(out, moved);
                renamed = true;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        if (!ended) ::waitpid(pid, &status, 0);
        ASSERT_TRUE(renamed) << "the run ended before its folder was renamed";
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        const fs::path output = moved / (movie ? "long_Hap.mov" : "long_PNG");
        const std::string printed = test::readFile(log);
        EXPECT_EQ(printed.substr(0, printed.find('\n')), output.string());
        EXPECT_EQ(names(moved, false), std::vector<std::string>{output.filename()});
        EXPECT_TRUE(names(moved, true).empty());
        if (movie)
            EXPECT_EQ(test::countFrames(output), 300);
        else
            EXPECT_EQ(names(output, false).size(), 300u);
        fs::remove_all(moved);
    }
}

}  // namespace
}  // namespace qm
