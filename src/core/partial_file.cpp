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

// The target name of a hidden item ".Name.<hex>.<role>", or empty when the item is not one.
std::string_view targetNameOf(std::string_view entry, std::string_view role) {
    if (entry.size() < role.size() + 4 || entry.front() != '.') return {};
    if (!entry.ends_with(role) || entry[entry.size() - role.size() - 1] != '.') return {};
    const std::string_view rest = entry.substr(1, entry.size() - role.size() - 2);  // "Name.<hex>"
    const size_t dot = rest.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    const std::string_view hex = rest.substr(dot + 1);
    if (hex.empty() || hex.size() > 16) return {};
    for (const char c : hex)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return {};
    return rest.substr(0, dot);
}

// Removes one hidden item when no run holds its lock; counts it as live when one does.
void sweepOne(const std::filesystem::path& item, const PartialFile* own, PartialSweep& result) {
    const int fd = retrying([&] { return ::open(item.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) return;  // gone meanwhile, a link, or not ours to open
    struct stat held {};
    if (::fstat(fd, &held) != 0) {
        ::close(fd);
        return;
    }
    if (own != nullptr && own->descriptor() >= 0) {
        struct stat mine {};
        if (::fstat(own->descriptor(), &mine) == 0 && sameFile(mine, held)) {
            ::close(fd);
            return;
        }
    }
    if (retrying([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
        if (errno == EWOULDBLOCK) ++result.live;
        ::close(fd);
        return;
    }
    // Another sweep may have removed it between our open and our lock.
    struct stat now {};
    if (::lstat(item.c_str(), &now) == 0 && sameFile(now, held)) {
        std::error_code ignored;
        if (S_ISDIR(held.st_mode) ? std::filesystem::remove_all(item, ignored) != static_cast<std::uintmax_t>(-1)
                                  : ::unlink(item.c_str()) == 0)
            ++result.removed;
    }
    ::close(fd);
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

void PartialFile::discard() {
    if (published_ || path_.empty()) return;
    ::unlink(path_.c_str());
    published_ = true;  // nothing of ours is left under the hidden name
}

int PartialFile::publish(bool durable) {
    if (published_) return ENOENT;
    if (durable && retrying([&] { return ::fsync(fd_); }) != 0) return errno;
    if (::rename(path_.c_str(), target_.c_str()) != 0) return errno;
    published_ = true;
    if (durable) syncFolder(folderOf(target_));
    ::close(fd_);
    fd_ = -1;
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
