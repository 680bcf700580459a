#pragma once
// Helpers shared by the test suites: temporary folders, running the peer
// command-line tools (ffmpeg, ffprobe, zip, python3) and reading their output.

#include <filesystem>
#include <functional>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace qm::test {

// A fresh folder under the system temporary directory, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// A small tmpfs of its own under a fresh folder (mounting needs root). Where it cannot be
// mounted, mounted() is false and whyNot() says why, for GTEST_SKIP.
class SmallDisk {
public:
    explicit SmallDisk(std::size_t bytes = 1 << 20);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& whyNot() const { return whyNot_; }
    const std::filesystem::path& path() const { return dir_.path(); }
    std::filesystem::path operator/(const std::string& name) const { return dir_ / name; }
    // Takes every free byte with a filler file, then gives `leave` bytes of it back.
    void fill(std::size_t leave = 0);
    // Remounts the disk read-only, or writable again: unlike a folder's mode, this stops root too.
    // False where the remount fails.
    bool setReadOnly(bool readOnly);

private:
    TempDir dir_;
    bool mounted_ = false;
    std::string whyNot_;
};

// A small exFAT of its own, through FUSE on a loop device, as a memory card is met on a desktop
// (needs root, exfatprogs and exfat-fuse). Where it cannot be made, mounted() is false and
// whyNot() says why, for GTEST_SKIP.
class ExfatDisk {
public:
    explicit ExfatDisk(std::size_t bytes = 64 << 20);
    ~ExfatDisk();
    ExfatDisk(const ExfatDisk&) = delete;
    ExfatDisk& operator=(const ExfatDisk&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& whyNot() const { return whyNot_; }
    std::filesystem::path path() const { return dir_ / "disk"; }
    std::filesystem::path operator/(const std::string& name) const { return path() / name; }

private:
    TempDir dir_;
    std::string loop_;
    bool mounted_ = false;
    std::string whyNot_;
};

// Runs `work` in a child process, as a run of the application would, and kills the child with
// SIGKILL once `work` has returned: what the run holds is left behind as a crash leaves it.
void runAndKill(const std::function<void()>& work);

// Sends `signal` to the child `pid` once `midway` holds (looked at every few milliseconds, leaving
// the cores to the child) and returns how the child ended; nothing when it ended first.
std::optional<int> signalWhen(int pid, const std::function<bool()>& midway, int signal);

// A program run in a child whose calls of the given system calls (numbers, SYS_*) each wait
// until the test lets them go on, so that the test can act while the child stands exactly
// there (after a rename, before a stat ...). Needs the kernel's seccomp user notification
// (x86-64); where that cannot be had, started() is false and whyNot() says why.
class HeldProcess {
public:
    HeldProcess(const std::vector<std::string>& argv, const std::vector<long>& calls);
    // Lets the child go on and waits for it.
    ~HeldProcess();
    HeldProcess(const HeldProcess&) = delete;
    HeldProcess& operator=(const HeldProcess&) = delete;
    bool started() const { return listener_ >= 0; }
    const std::string& whyNot() const { return whyNot_; }
    int pid() const { return pid_; }
    // Waits until the child stands at its next call of those given and returns its number (the
    // child waits there until resume()); nothing once the child has ended.
    std::optional<long> next();
    // The thread that makes the call next() returned, and that call's arguments.
    int caller() const { return caller_; }
    uint64_t argument(int index) const { return arguments_[index]; }
    // Lets the call that next() returned be made.
    void resume();
    // Lets every call go on until the child ends; how it ended (a wait status).
    int finish();

private:
    int pid_ = -1;
    int listener_ = -1;
    uint64_t held_ = 0;
    bool holding_ = false;
    int caller_ = -1;
    uint64_t arguments_[6] = {};
    std::optional<int> status_;
    std::string whyNot_;
};

struct CommandResult {
    int exitCode = -1;
    std::string output;  // standard output only; standard error goes to the test log
};

// Runs argv without a shell (arguments are passed as they stand).
CommandResult run(const std::vector<std::string>& argv);

// Runs ffmpeg quietly with the given arguments (after "-y -v error"); fails the test on error.
void ffmpeg(const std::vector<std::string>& args);

// ffprobe -show_streams -show_format as JSON.
nlohmann::json ffprobe(const std::filesystem::path& file);

// The newer FFmpeg that scripts/setup.sh builds for the tests alone: it reads what the system's
// ffmpeg cannot (HEVC alpha layers, DXV frames with alpha). peerFfmpeg runs it like ffmpeg() above
// and fails the test, saying where it was looked for, when it is missing.
std::filesystem::path peerFfmpegPath();
std::filesystem::path peerFfprobePath();
void peerFfmpeg(const std::vector<std::string>& args);

// A file kept in tests/fixtures/ (media whose damage was found rather than made by a test), by its
// path below that folder.
std::filesystem::path fixture(const std::string& name);

// The names of a folder's entries, sorted.
std::vector<std::string> fileNames(const std::filesystem::path& folder);

// The frame names of an image-sequence folder, sorted: the folder's own name, "_", the index in
// six digits, the extension.
std::vector<std::string> sequenceFrameNames(const std::filesystem::path& folder, int count, const std::string& extension);

// Every file of a folder, by name, with its bytes (sub-folders are not entered).
std::map<std::string, std::string> folderFiles(const std::filesystem::path& folder);

// Reads or writes a whole file.
std::string readFile(const std::filesystem::path& file);
void writeFile(const std::filesystem::path& file, const std::string& bytes);

// 10·log10(255² / mean squared error) over every byte of two pictures of one size and layout
// (99 when equal, 0 when the sizes differ).
double psnr(std::string_view a, std::string_view b);

}  // namespace qm::test
