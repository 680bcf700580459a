#include <algorithm>
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstddef>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qm::test {

TempDir::TempDir() {
    std::random_device rd;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("qm-test-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

SmallDisk::SmallDisk(std::size_t bytes) {
    const std::string options = "size=" + std::to_string(bytes);
    if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0) {
        mounted_ = true;
    } else {
        whyNot_ = std::string("a small tmpfs cannot be mounted here (") + std::strerror(errno) + ")";
    }
}

bool SmallDisk::setReadOnly(bool readOnly) {
    const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
    return mounted_ && ::mount(nullptr, dir_.path().c_str(), nullptr, flags, nullptr) == 0;
}

SmallDisk::~SmallDisk() {
    if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
}

ExfatDisk::ExfatDisk(std::size_t bytes) {
    if (::geteuid() != 0) {
        whyNot_ = "an exFAT disk needs root to be mounted";
        return;
    }
    const std::string image = (dir_ / "exfat.img").string(), disk = path().string();
    std::filesystem::create_directories(disk);
    { std::ofstream(image, std::ios::binary); }
    std::filesystem::resize_file(image, bytes);
    // The FUSE daemon stays behind the mount; its output goes nowhere, so the command ends.
    const std::string tools = "PATH=\"$PATH:/usr/sbin:/sbin\" ";
    if (run({"sh", "-c", tools + "mkfs.exfat \"$0\" >/dev/null 2>&1", image}).exitCode != 0) {
        whyNot_ = "mkfs.exfat (exfatprogs) is missing or failed";
        return;
    }
    const CommandResult loop = run({"sh", "-c", tools + "losetup -f --show \"$0\" 2>/dev/null", image});
    if (loop.exitCode != 0 || loop.output.empty()) {
        whyNot_ = "no loop device can be had here";
        return;
    }
    loop_ = loop.output.substr(0, loop.output.find('\n'));
    if (run({"sh", "-c", tools + "mount.exfat-fuse \"$0\" \"$1\" >/dev/null 2>&1", loop_, disk}).exitCode != 0) {
        whyNot_ = "exFAT cannot be mounted through FUSE here (exfat-fuse missing, or no /dev/fuse)";
        return;
    }
    mounted_ = true;
}

ExfatDisk::~ExfatDisk() {
    if (mounted_) ::umount2(path().c_str(), MNT_DETACH);
    if (!loop_.empty()) run({"sh", "-c", "PATH=\"$PATH:/usr/sbin:/sbin\" losetup -d \"$0\"", loop_});
}

std::optional<int> signalWhen(int pid, const std::function<bool()>& midway, int signal) {
    int status = 0;
    // Bounded by the child itself: it either gets midway or ends.
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (midway()) {
            ::kill(pid, signal);
            ::waitpid(pid, &status, 0);
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return std::nullopt;
}

void runAndKill(const std::function<void()>& work) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(ready[0]);
        try {
            work();
        } catch (...) {
            ::_exit(1);
        }
        const char byte = 1;
        if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char byte = 0;
    const ssize_t n = ::read(ready[0], &byte, 1);  // blocks until the work is done (or the child ended)
    ::close(ready[0]);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_EQ(n, 1) << "the child's work failed";
}

void SmallDisk::fill(std::size_t leave) {
    const auto filler = dir_.path() / ".filler";
    std::FILE* f = std::fopen(filler.c_str(), "ab");
    if (f == nullptr) return;
    std::setvbuf(f, nullptr, _IONBF, 0);
    const std::string block(4096, 'f');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size()) {}
    while (std::fwrite(block.data(), 1, 1, f) == 1) {}
    std::fclose(f);
    std::error_code ec;
    const auto size = std::filesystem::file_size(filler, ec);
    if (!ec && leave > 0) std::filesystem::resize_file(filler, size > leave ? size - leave : 0, ec);
}

namespace {
// One byte with room for one descriptor beside it, as the listener travels from the child.
struct DescriptorMessage {
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    DescriptorMessage() {
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    DescriptorMessage(const DescriptorMessage&) = delete;
    DescriptorMessage& operator=(const DescriptorMessage&) = delete;
};
}  // namespace

HeldProcess::HeldProcess(const std::vector<std::string>& argv, const std::vector<long>& calls) {
#if defined(__x86_64__)
    int channel[2];
    if (argv.empty() || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
        whyNot_ = "no socket pair";
        return;
    }
    // Each given call answers "ask the listener"; every other call goes on.
    std::vector<sock_filter> filter{
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    for (size_t i = 0; i < calls.size(); ++i)
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(calls[i]),
                                  static_cast<uint8_t>(calls.size() - i), 0));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(channel[0]);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
        int listener = -1;
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0)
            listener = int(::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program));
        if (listener < 0) ::_exit(126);
        DescriptorMessage sent;
        cmsghdr* const header = CMSG_FIRSTHDR(&sent.message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &listener, sizeof(int));
        if (::sendmsg(channel[1], &sent.message, 0) != 1) ::_exit(126);
        ::close(listener);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(channel[1]);
    DescriptorMessage received;
    if (pid_ > 0 && ::recvmsg(channel[0], &received.message, 0) == 1) {
        if (const cmsghdr* header = CMSG_FIRSTHDR(&received.message); header != nullptr && header->cmsg_type == SCM_RIGHTS)
            std::memcpy(&listener_, CMSG_DATA(header), sizeof(int));
    }
    ::close(channel[0]);
    if (listener_ < 0) {
        whyNot_ = "system calls cannot be held here (no seccomp user notification)";
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            status_ = status;
        }
    }
#else
    (void)argv;
    (void)calls;
    whyNot_ = "system calls are held on x86-64 only";
#endif
}

HeldProcess::~HeldProcess() {
    if (started()) finish();
    if (listener_ >= 0) ::close(listener_);
}

std::optional<long> HeldProcess::next() {
    if (listener_ < 0) return std::nullopt;
    resume();
    for (;;) {
        pollfd watch{listener_, POLLIN, 0};
        if (::poll(&watch, 1, -1) < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if ((watch.revents & POLLIN) == 0) return std::nullopt;  // every task of the child has ended
        seccomp_notif request{};
        if (::ioctl(listener_, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) {
            if (errno == EINTR || errno == ENOENT) continue;
            return std::nullopt;
        }
        held_ = request.id;
        holding_ = true;
        caller_ = int(request.pid);
        std::copy(std::begin(request.data.args), std::end(request.data.args), std::begin(arguments_));
        return request.data.nr;
    }
}

void HeldProcess::resume() {
    if (!holding_) return;
    holding_ = false;
    seccomp_notif_resp response{};
    response.id = held_;
    response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
    ::ioctl(listener_, SECCOMP_IOCTL_NOTIF_SEND, &response);  // ENOENT: the call was cut short by a signal
}

int HeldProcess::finish() {
    while (next()) {
    }
    if (!status_ && pid_ > 0) {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        status_ = status;
    }
    return status_.value_or(-1);
}

CommandResult run(const std::vector<std::string>& argv) {
    CommandResult result;
    if (argv.empty()) return result;
    int pipefd[2];
    if (::pipe(pipefd) != 0) return result;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipefd[1], 1);
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipefd[1]);
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(pipefd[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<size_t>(n));
    ::close(pipefd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

void ffmpeg(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"ffmpeg", "-nostdin", "-y", "-v", "error"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = run(argv);
    ASSERT_EQ(r.exitCode, 0) << "ffmpeg failed";
}

nlohmann::json ffprobe(const std::filesystem::path& file) {
    const auto r = run({"ffprobe", "-v", "error", "-print_format", "json", "-show_streams", "-show_format",
                        file.string()});
    if (r.exitCode != 0 || r.output.empty()) return nlohmann::json();
    return nlohmann::json::parse(r.output, nullptr, false);
}

std::filesystem::path peerFfmpegPath() { return QM_PEER_FFMPEG; }

std::filesystem::path peerFfprobePath() { return QM_PEER_FFPROBE; }

std::filesystem::path fixture(const std::string& name) { return std::filesystem::path(QM_TEST_FIXTURES) / name; }

void peerFfmpeg(const std::vector<std::string>& args) {
    const std::filesystem::path tool = peerFfmpegPath();
    ASSERT_EQ(::access(tool.c_str(), X_OK), 0) << "the peer FFmpeg is missing at " << tool
                                               << " (scripts/setup.sh builds it)";
    std::vector<std::string> argv{tool.string(), "-nostdin", "-y", "-v", "error"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = run(argv);
    ASSERT_EQ(r.exitCode, 0) << "the peer FFmpeg failed";
}

std::vector<std::string> fileNames(const std::filesystem::path& folder) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) out.push_back(entry.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> sequenceFrameNames(const std::filesystem::path& folder, int count, const std::string& extension) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        char index[16];
        std::snprintf(index, sizeof index, "_%06d.", i);
        names.push_back(folder.filename().string() + index + extension);
    }
    return names;
}

std::map<std::string, std::string> folderFiles(const std::filesystem::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.is_regular_file()) files[entry.path().filename()] = readFile(entry.path());
    return files;
}

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

double psnr(std::string_view a, std::string_view b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double d = double(uint8_t(a[i])) - double(uint8_t(b[i]));
        sum += d * d;
    }
    return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / (sum / double(a.size())));
}

}  // namespace qm::test
