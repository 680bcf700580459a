#include "core/partial_file.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qm {

namespace {

// Eight hex digits no other run in this or another process is likely to pick; the exclusive
// create settles the rest.
std::string freshHex() {
    static const uint64_t seed = [] {
        std::random_device device;
        return (uint64_t(device()) << 32) ^ device() ^ uint64_t(::getpid());
    }();
    static std::atomic<uint64_t> counter{0};
    uint64_t z = seed + counter.fetch_add(1) * 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(z));
    return text;
}

template <typename F>
auto retrying(F&& f) {
    for (;;) {
        auto result = f();
        if (result != -1 || errno != EINTR) return result;
    }
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

void syncFolder(const std::filesystem::path& folder) {
    const int fd = retrying([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return;
    ::fsync(fd);  // some file systems cannot sync a folder; that does not fail the write
    ::close(fd);
}

std::filesystem::path folderOf(const std::filesystem::path& target) {
    return target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// The target name of a hidden item ".Name.<8 hex>.<role>", the only form PartialFile makes, or
// empty when the item is not one.
std::string_view targetNameOf(std::string_view entry, std::string_view role) {
    constexpr size_t kHex = 8;
    if (entry.size() < 1 + 1 + 1 + kHex + 1 + role.size() || entry.front() != '.') return {};
    if (!entry.ends_with(role) || entry[entry.size() - role.size() - 1] != '.') return {};
    const std::string_view rest = entry.substr(1, entry.size() - role.size() - 2);  // "Name.<hex>"
    const std::string_view hex = rest.substr(rest.size() - kHex);
    if (rest[rest.size() - kHex - 1] != '.') return {};
    for (const char c : hex)
        if (!isHexDigit(c)) return {};
    return rest.substr(0, rest.size() - kHex - 1);
}

enum class LockState { free, held, unknown };

// Whether anybody holds a lock on the open item: a POSIX record or open-file lock, or a flock.
// When it is free our own exclusive flock stays on it, so no run of ours takes it meanwhile.
LockState lockOn(int fd, bool folder) {
    if (!folder) {
        struct flock probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        if (retrying([&] { return ::fcntl(fd, F_OFD_GETLK, &probe); }) != 0) return LockState::unknown;
        if (probe.l_type != F_UNLCK) return LockState::held;
    }
    if (retrying([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0) return LockState::free;
    return errno == EWOULDBLOCK ? LockState::held : LockState::unknown;
}

bool carriesMarker(int folderFd) {
    struct stat marker {};
    const std::string name(kStagingMarker);
    return ::fstatat(folderFd, name.c_str(), &marker, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(marker.st_mode);
}

// A marked staging folder goes with its content; the marker last, so that a sweep cut short
// leaves a folder the next sweep still knows for ours.
bool removeStagingFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename() != kStagingMarker) std::filesystem::remove_all(it->path(), ec);
    if (ec) return false;
    std::filesystem::remove(folder / kStagingMarker, ec);
    return std::filesystem::remove(folder, ec);
}

// Removes one hidden item when it provably is a dead run's: a regular file or a marked staging
// folder, reached without a link, that nobody holds a lock on. Counts it as live when locked.
void sweepOne(const std::filesystem::path& item, const PartialFile* own, PartialSweep& result) {
    const int fd =
        retrying([&] { return ::open(item.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    if (fd < 0) return;  // gone meanwhile, a link, or not ours to open
    struct Close {
        int fd;
        ~Close() { ::close(fd); }
    } close{fd};
    struct stat held {};
    if (::fstat(fd, &held) != 0) return;
    if (own != nullptr && own->descriptor() >= 0) {
        struct stat mine {};
        if (::fstat(own->descriptor(), &mine) == 0 && sameFile(mine, held)) return;
    }
    const bool folder = S_ISDIR(held.st_mode);
    if (!S_ISREG(held.st_mode) && !(folder && carriesMarker(fd))) return;
    switch (lockOn(fd, folder)) {
    case LockState::held: ++result.live; return;
    case LockState::unknown: return;
    case LockState::free: break;
    }
    // Another sweep may have removed it between our open and our lock.
    struct stat now {};
    if (::lstat(item.c_str(), &now) != 0 || !sameFile(now, held)) return;
    if (folder ? removeStagingFolder(item) : ::unlink(item.c_str()) == 0) ++result.removed;
}

}  // namespace

PartialFile::PartialFile(std::filesystem::path target, std::string_view role) : target_(std::move(target)) {
    const std::string prefix = "." + target_.filename().string() + ".";
    for (int attempt = 0;; ++attempt) {
        path_ = folderOf(target_) / (prefix + freshHex() + "." + std::string(role));
        fd_ = retrying([&] { return ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
        if (fd_ < 0) {
            if (errno == EEXIST && attempt < 64) continue;
            throw std::system_error(errno, std::generic_category(), path_.string());
        }
        // Between the create and the lock a sweep may take the file for a dead run's; then it
        // is unlinked (or being unlinked under its lock) and a new name is tried.
        retrying([&] { return ::flock(fd_, LOCK_EX); });
        struct stat held {}, named {};
        if (::fstat(fd_, &held) == 0 && held.st_nlink > 0 && ::lstat(path_.c_str(), &named) == 0 && sameFile(held, named))
            return;
        ::close(fd_);
        fd_ = -1;
        if (attempt >= 64) throw std::system_error(EAGAIN, std::generic_category(), path_.string());
    }
}

PartialFile::~PartialFile() {
    if (!published_) discard();
    if (fd_ >= 0) ::close(fd_);
}

bool PartialFile::stillNamed() const {
    struct stat held {}, named {};
    return fd_ >= 0 && ::fstat(fd_, &held) == 0 && ::lstat(path_.c_str(), &named) == 0 && S_ISREG(named.st_mode) &&
           sameFile(held, named);
}

void PartialFile::discard() {
    if (published_ || path_.empty()) return;
    // Whatever was swapped in under the hidden name is not ours to remove.
    if (stillNamed()) ::unlink(path_.c_str());
    published_ = true;  // nothing of ours is left under the hidden name
}

int PartialFile::publish(bool durable) {
    if (published_) return ENOENT;
    if (durable && retrying([&] { return ::fsync(fd_); }) != 0) return errno;
    if (!stillNamed()) return ESTALE;
    if (::rename(path_.c_str(), target_.c_str()) != 0) return errno;
    published_ = true;
    // A swap between the look and the rename put something else under the target: it goes
    // again (a rename never moves a folder over a file), and the run fails.
    struct stat held {}, named {};
    if (::fstat(fd_, &held) == 0 && (::lstat(target_.c_str(), &named) != 0 || !sameFile(held, named))) {
        if (::lstat(target_.c_str(), &named) == 0 && !S_ISDIR(named.st_mode)) ::unlink(target_.c_str());
        return ESTALE;
    }
    if (durable) syncFolder(folderOf(target_));
    ::close(fd_);
    fd_ = -1;
    return 0;
}

PartialFolder::PartialFolder(std::filesystem::path target) : target_(std::move(target)) {
    const std::string prefix = "." + target_.filename().string() + ".";
    const std::string marker(kStagingMarker);
    for (int attempt = 0;; ++attempt) {
        path_ = folderOf(target_) / (prefix + freshHex() + ".partial");
        if (::mkdir(path_.c_str(), 0777) != 0) {
            if (errno == EEXIST && attempt < 64) continue;
            throw std::system_error(errno, std::generic_category(), path_.string());
        }
        // Locked before it is marked, so that no sweep takes it for a dead run's meanwhile.
        fd_ = retrying([&] { return ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), path_.string());
        retrying([&] { return ::flock(fd_, LOCK_EX); });
        const int made = retrying([&] {
            return ::openat(fd_, marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        });
        if (made < 0) {
            const int error = errno;
            ::close(fd_);
            fd_ = -1;
            ::rmdir(path_.c_str());
            throw std::system_error(error, std::generic_category(), path_.string());
        }
        ::close(made);
        return;
    }
}

PartialFolder::~PartialFolder() {
    struct stat held {}, named {};
    if (!published_ && fd_ >= 0 && ::fstat(fd_, &held) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
        sameFile(held, named))
        removeStagingFolder(path_);
    if (fd_ >= 0) ::close(fd_);
}

int PartialFolder::publish() {
    if (published_) return ENOENT;
    struct stat held {}, named {};
    if (::fstat(fd_, &held) != 0 || ::lstat(path_.c_str(), &named) != 0 || !sameFile(held, named)) return ESTALE;
    const std::string marker(kStagingMarker);
    if (::unlinkat(fd_, marker.c_str(), 0) != 0) return errno;
    int moved = ::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE);
    if (moved != 0 && errno == EINVAL) {
        // A file system without the flag: a plain rename would replace an empty folder there.
        struct stat there {};
        const bool free = ::lstat(target_.c_str(), &there) != 0 && errno == ENOENT;
        moved = free ? ::rename(path_.c_str(), target_.c_str()) : -1;
        if (!free) errno = EEXIST;
    }
    if (moved != 0) {
        const int error = errno;
        // Still ours to remove should the run end here.
        const int again = ::openat(fd_, marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (again >= 0) ::close(again);
        return error;
    }
    published_ = true;
    syncFolder(folderOf(target_));
    return 0;
}

PartialSweep sweepPartials(const std::filesystem::path& target, std::string_view role, const PartialFile* own) {
    PartialSweep result;
    const std::string name = target.filename().string();
    if (name.empty()) return result;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folderOf(target), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (targetNameOf(entry, role) == name) sweepOne(it->path(), own, result);
    }
    return result;
}

PartialSweep sweepPartialsIn(const std::filesystem::path& folder, const std::function<bool(std::string_view)>& isTarget,
                             std::string_view role) {
    PartialSweep result;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        const std::string_view name = targetNameOf(entry, role);
        if (!name.empty() && isTarget(name)) sweepOne(it->path(), nullptr, result);
    }
    return result;
}

}  // namespace qm
