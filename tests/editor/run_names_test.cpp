// Runs of qm-bench (Convert's transcode, the editor's export-project) into one folder: the names
// they take, what they put under them, and what the next run clears of what killed ones left.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <set>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/partial_file.h"
#include "editor_views/project_json.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using namespace test::project_json;

std::vector<std::string> entries(const fs::path& folder, bool hidden) {
    std::vector<std::string> found = test::fileNames(folder);
    std::erase_if(found, [&](const std::string& name) { return name.starts_with('.') != hidden; });
    return found;
}

fs::path movie(const fs::path& file, double seconds) {
    test::ffmpeg({"-f", "lavfi", "-i", lavfiVideo("testsrc2", 320, 180, seconds), "-c:v", "libx264", "-preset",
                  "ultrafast", "-pix_fmt", "yuv420p", file.string()});
    return file;
}

// A run started now, printing into `log`; finish() gives its exit code and first line printed.
pid_t start(std::vector<std::string> arguments, const fs::path& log) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        std::vector<char*> argv{const_cast<char*>(QM_BENCH)};
        for (std::string& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(QM_BENCH, argv.data());
        ::_exit(127);
    }
    return pid;
}

std::pair<int, std::string> finish(pid_t pid, const fs::path& log) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    const std::string text = test::readFile(log);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.substr(0, text.find('\n'))};
}

// Two exports of one project and a Convert of the movie of its name, started together, take a
// name each; a file saved under a Convert's name while it writes stays, and the movie takes the
// next free name, which the run reports.
TEST(RunNames, RunsIntoOneFolderNeverShareANameNorReplaceAFileThatCameThere) {
    test::TempDir dir;
    const fs::path source = movie(dir / "P.mov", 3), out = dir / "out";
    fs::create_directories(out);
    json media = {{"id", newID()}, {"path", source.string()}, {"name", "P.mov"}, {"width", 320}, {"height", 180},
                  {"frameRate", 30}, {"duration", 3}, {"hasAudio", false}, {"codecName", "H.264"}};
    test::writeFile(dir / "P.qmproj", project(320, 180, {media}, {track("Layer 1", {clip(media)})}).dump());
    const std::vector<std::string> exported{"export-project", (dir / "P.qmproj").string(), "--format", "hap", "--out", out};
    const std::vector<std::vector<std::string>> runs{
        exported, exported, {"transcode", source.string(), "--format", "hap", "--out", out.string()}};
    std::vector<pid_t> pids;
    for (size_t i = 0; i < runs.size(); ++i) pids.push_back(start(runs[i], dir / std::to_string(i)));
    std::set<std::string> printed;
    for (size_t i = 0; i < runs.size(); ++i) {
        const auto [code, path] = finish(pids[i], dir / std::to_string(i));
        EXPECT_EQ(code, 0) << runs[i].front();
        printed.insert(fs::path(path).filename().string());
    }
    EXPECT_EQ(printed, (std::set<std::string>{"P_Hap.mov", "P_Hap 2.mov", "P_Hap 3.mov"}));
    EXPECT_EQ(test::fileNames(out), std::vector<std::string>(printed.begin(), printed.end()));

    const fs::path later = dir / "later";
    fs::create_directories(later);
    const pid_t pid = start({"transcode", movie(dir / "A.mov", 20).string(), "--format", "hap", "--out", later}, dir / "log");
    // Saved once the movie grows under its hidden name.
    int status = 0;
    const auto writing = [&] {
        std::error_code ec;
        for (const std::string& name : entries(later, true))
            if (fs::file_size(later / name, ec) > 0 && !ec) return true;
        return false;
    };
    while (!writing() && ::waitpid(pid, &status, WNOHANG) == 0) ::usleep(2000);
    test::writeFile(later / "A_Hap.mov", "the user's");
    EXPECT_EQ(finish(pid, dir / "log"), std::pair(0, (later / "A_Hap 2.mov").string()));
    EXPECT_TRUE(test::readFile(later / "A_Hap.mov") == "the user's");
    EXPECT_EQ(test::fileNames(later), (std::vector<std::string>{"A_Hap 2.mov", "A_Hap.mov"}));
}

// A sequence whose name is too long for its hidden names to spell it out, killed while it writes
// its frames, leaves hidden frames in its folder: the next run into the folder clears them.
TEST(RunNames, AKilledLongNamedSequenceIsClearedByTheNextRun) {
    test::TempDir dir;
    const fs::path source = movie(dir / (std::string(251, 'n') + ".mov"), 20), out = dir / "out";
    fs::create_directories(out);
    const pid_t pid = start({"transcode", source.string(), "--format", "pngSequence", "--out", out}, dir / "log");
    fs::path folder;
    const auto writing = [&] {
        const std::vector<std::string> folders = entries(out, false);
        folder = folders.empty() ? fs::path() : out / folders.front();
        return !folders.empty() && !entries(folder, false).empty() && !entries(folder, true).empty();
    };
    ASSERT_TRUE(test::signalWhen(pid, writing, SIGKILL)) << "the run ended before it was killed";
    ASSERT_FALSE(entries(folder, true).empty());
    const auto frames = entries(folder, false);

    ASSERT_EQ(test::run({QM_BENCH, "transcode", source.string(), "--format", "hap", "--out", out}).exitCode, 0);
    EXPECT_EQ(test::fileNames(folder), frames);
    EXPECT_TRUE(entries(out, true).empty());
}

// Files and folders of other programs in our hidden names' form stay, whatever they hold, and so
// does a dead run's own file while another process (this one) has it open; the next run once it
// is closed clears it.
TEST(RunNames, TheSweepKeepsOtherProgramsItemsAndFilesHeldOpen) {
    test::TempDir dir;
    const fs::path source = movie(dir / "S.mov", 0.2), out = dir / "out";
    fs::create_directories(out / ".Thesis.0a0b0c0d.partial");
    fs::create_directories(out / ".Notes.0a0b0c0d.partial");
    const std::vector<std::string> files{".report.pdf.0a0b0c0d.partial", ".Budget.xlsx.0a0b0c0d.partial",
                                         ".Other.qmproj.0a0b0c0e.saving", ".Thesis.0a0b0c0d.partial/thesis.docx"};
    for (const std::string& file : files) test::writeFile(out / file, file);
    test::runAndKill([&] { static const PartialFile dead(out / "Dead_Hap.mov"); });
    std::vector<std::string> expected = test::fileNames(out);
    const std::string dead = *std::find_if(expected.begin(), expected.end(), [](const std::string& name) {
        return name.starts_with(".Dead_Hap.mov.");
    });
    const int writer = ::open((out / files.front()).c_str(), O_WRONLY | O_APPEND), reader = ::open((out / dead).c_str(), O_RDONLY);

    const auto transcode = [&] { return test::run({QM_BENCH, "transcode", source.string(), "--format", "hap", "--out", out}); };
    ASSERT_EQ(transcode().exitCode, 0);
    expected.insert(expected.end(), "S_Hap.mov");
    EXPECT_EQ(test::fileNames(out), expected);
    for (const std::string& file : files) EXPECT_TRUE(test::readFile(out / file) == file) << file;

    ::close(writer);
    ::close(reader);
    ASSERT_EQ(transcode().exitCode, 0);
    std::erase(expected, dead);
    expected.push_back("S_Hap 2.mov");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(test::fileNames(out), expected);
}

}  // namespace
}  // namespace qm
