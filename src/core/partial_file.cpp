#include "core/partial_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/file_name.h"

namespace qm {

namespace {

// Eight hex digits of a 64-bit value, its bits mixed first (splitmix64's finaliser).
std::string mixedHex(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(z));
    return text;
}

// Eight hex digits no other run in this or another process is likely to pick; the exclusive
// create settles the rest.
std::string freshNonce() {
    static const uint64_t seed = [] {
        std::random_device device;
        return (uint64_t(device()) << 32) ^ device() ^ uint64_t(::getpid());
    }();
    static std::atomic<uint64_t> counter{0};
    return mixedHex(seed + counter.fetch_add(1) * 0x9e3779b97f4a7c15ull);
}

uint64_t fnv1a(std::string_view bytes, uint64_t digest = 0xcbf29ce484222325ull) {
    for (const char c : bytes) digest = (digest ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return digest;
}

// The eight hex digits after the nonce that make a hidden name ours: a digest of the stem, the
// role and the nonce under a key of this program's own. Another program's file of the same form
// carries them only by a one-in-four-billion chance, so its name alone never makes it ours.
std::string nameCheck(std::string_view stem, std::string_view nonce, std::string_view role) {
    return mixedHex(fnv1a(nonce, fnv1a(role, fnv1a(stem, fnv1a("quillmere hidden item\n")))));
}

template <typename F>
auto retrying(F&& f) {
    for (;;) {
        auto result = f();
        if (result != -1 || errno != EINTR) return result;
    }
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The folder `name` relative to the folder open at `at` (AT_FDCWD for the working one).
void syncFolderAt(int at, const char* name) {
    const int fd = retrying([&] { return ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return;
    ::fsync(fd);  // some file systems cannot sync a folder; that does not fail the write
    ::close(fd);
}

void syncFolder(const std::filesystem::path& folder) { syncFolderAt(AT_FDCWD, folder.c_str()); }

std::filesystem::path folderOf(const std::filesystem::path& target) {
    return target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
}

// ".", "." <8 hex nonce> <8 hex check> "." <role>
constexpr size_t kNonceDigits = 8;
constexpr size_t kHexDigits = 2 * kNonceDigits;
size_t hiddenOverhead(std::string_view role) { return 1 + 1 + kHexDigits + 1 + role.size(); }
constexpr size_t kDigestDigits = 16;

// The stem kept of a name too long to be spelt out: what fits before "~" and the digest.
size_t shortenedBytes(std::string_view role) {
    const size_t overhead = hiddenOverhead(role) + 1 + kDigestDigits;
    return kFileNameMax > overhead ? kFileNameMax - overhead : 0;
}

// Where the item open at `fd` stands now (empty when that cannot be told, as of one removed).
std::filesystem::path whereNow(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::error_code ec;
    const std::filesystem::path place = std::filesystem::read_symlink(link, ec);
    struct stat there {}, held {};
    if (ec || !place.is_absolute() || ::lstat(place.c_str(), &there) != 0 || ::fstat(fd, &held) != 0 ||
        !sameFile(there, held))
        return {};
    return place;
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// The target name (or its stem) of a hidden item ".Name.<nonce><check>.<role>", the only form
// PartialFile makes, or empty when the item is not one or its check is not ours.
std::string_view targetNameOf(std::string_view entry, std::string_view role) {
    if (entry.size() < 1 + 1 + 1 + kHexDigits + 1 + role.size() || entry.front() != '.') return {};
    if (!entry.ends_with(role) || entry[entry.size() - role.size() - 1] != '.') return {};
    const std::string_view rest = entry.substr(1, entry.size() - role.size() - 2);  // "Name.<hex>"
    const std::string_view hex = rest.substr(rest.size() - kHexDigits);
    if (rest[rest.size() - kHexDigits - 1] != '.') return {};
    for (const char c : hex)
        if (!isHexDigit(c)) return {};
    const std::string_view stem = rest.substr(0, rest.size() - kHexDigits - 1);
    if (nameCheck(stem, hex.substr(0, kNonceDigits), role) != hex.substr(kNonceDigits)) return {};
    return stem;
}

enum class LockState { free, held, unknown };

// Whether another open file holds the file open at `fd` (ours, read-only): a write lease is
// granted only to the one open file of a file. The lease is let go at once; a break of it in
// between is told by a signal nobody minds rather than SIGIO, whose default ends the process.
// Where the file system grants no leases (or the file is another user's) nothing can be told.
bool openElsewhere(int fd) {
    if (::fcntl(fd, F_SETSIG, SIGURG) != 0) return false;
    if (::fcntl(fd, F_SETLEASE, F_WRLCK) != 0) return errno == EAGAIN || errno == EBUSY;
    ::fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
}

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
    if (retrying([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0)
        return errno == EWOULDBLOCK ? LockState::held : LockState::unknown;
    return folder || !openElsewhere(fd) ? LockState::free : LockState::held;
}

bool carriesMarker(int folderFd) {
    struct stat marker {};
    const std::string name(kStagingMarker);
    return ::fstatat(folderFd, name.c_str(), &marker, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(marker.st_mode);
}

// A staging folder with nothing in it, not even its marker: a run killed between making it and
// marking it. Only the ".partial" form, which the staging folder is made under; any other hidden
// folder without a marker is the user's.
bool isUnmarkedStagingFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    return folder.filename().string().ends_with(".partial") && std::filesystem::is_empty(folder, ec) && !ec;
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

// Opens a hidden item and returns its descriptor, holding our flock, when it provably is a dead
// run's: a regular file without a second link, or a marked staging folder, reached without a
// link, that nobody holds a lock on and that still stands under its name. -1 otherwise; a locked
// one counts as live.
int claimDead(const std::filesystem::path& item, const PartialFile* own, PartialSweep& result, struct stat& held) {
    const int fd =
        retrying([&] { return ::open(item.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    if (fd < 0) return -1;  // gone meanwhile, a link, or not ours to open
    const auto refuse = [fd] {
        ::close(fd);
        return -1;
    };
    if (::fstat(fd, &held) != 0) return refuse();
    if (own != nullptr && own->descriptor() >= 0) {
        struct stat mine {};
        if (::fstat(own->descriptor(), &mine) == 0 && sameFile(mine, held)) return refuse();
    }
    const bool folder = S_ISDIR(held.st_mode);
    // A second link means somebody else named this file too; ours never have one. An empty folder
    // is taken too: a run that made one and died before marking it leaves nothing else, and one
    // still being made is then locked, or finds it gone under our lock and makes another.
    if (!(S_ISREG(held.st_mode) && held.st_nlink == 1) && !(folder && (carriesMarker(fd) || isUnmarkedStagingFolder(item))))
        return refuse();
    switch (lockOn(fd, folder)) {
    case LockState::held: ++result.live; return refuse();
    case LockState::unknown: return refuse();
    case LockState::free: break;
    }
    // Another sweep may have removed it between our open and our lock.
    struct stat now {};
    if (::lstat(item.c_str(), &now) != 0 || !sameFile(now, held)) return refuse();
    return fd;
}

void sweepOne(const std::filesystem::path& item, const PartialFile* own, PartialSweep& result,
              const std::function<bool()>& first) {
    struct stat held {};
    const int fd = claimDead(item, own, result, held);
    if (fd < 0) return;
    // While anything the item stands for stays, so does the item. An unmarked folder goes only
    // while empty: rmdir takes nothing else.
    const bool removed = (!first || first()) && (!S_ISDIR(held.st_mode) ? ::unlink(item.c_str()) == 0
                                                 : carriesMarker(fd)    ? removeStagingFolder(item)
                                                                        : ::rmdir(item.c_str()) == 0);
    ++(removed ? result.removed : result.left);
    ::close(fd);
}

const std::string kMarkerName(kStagingMarker);

// Renames without replacing anything at `to`, also where the file system lacks the flag: a file
// gets the name as a second link first; where links are refused too (exFAT, FAT), the name is
// taken by an empty item made exclusively, which the rename then replaces once it is still ours.
int renameNoReplaceAt(int fromAt, const char* from, int toAt, const char* to) {
    if (::renameat2(fromAt, from, toAt, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    struct stat moving {};
    if (::fstatat(fromAt, from, &moving, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    const bool folder = S_ISDIR(moving.st_mode);
    if (!folder) {
        if (::linkat(fromAt, from, toAt, to, 0) == 0) {
            ::unlinkat(fromAt, from, 0);
            return 0;
        }
        if (errno == EEXIST) return EEXIST;
    }
    struct stat placeholder {}, there {};
    if (folder) {
        if (::mkdirat(toAt, to, 0700) != 0 || ::fstatat(toAt, to, &placeholder, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    } else {
        const int fd = retrying([&] { return ::openat(toAt, to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); });
        if (fd < 0) return errno;
        const bool known = ::fstat(fd, &placeholder) == 0;
        ::close(fd);
        if (!known) return EIO;
    }
    if (::fstatat(toAt, to, &there, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(there, placeholder)) return EEXIST;
    if (::renameat(fromAt, from, toAt, to) == 0) return 0;
    const int error = errno;
    if (::fstatat(toAt, to, &there, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(there, placeholder))
        ::unlinkat(toAt, to, folder ? AT_REMOVEDIR : 0);
    return error;
}

int renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) {
    return renameNoReplaceAt(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str());
}

std::string hiddenName(const std::filesystem::path& target, std::string_view role) {
    return freshHiddenName(target.filename().string(), role);
}

}  // namespace

std::string hiddenStem(std::string_view name, std::string_view role) {
    if (name.size() + hiddenOverhead(role) <= kFileNameMax) return std::string(name);
    const uint64_t digest = fnv1a(name);
    char text[kDigestDigits + 1];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(digest));
    return std::string(utf8Prefix(name, shortenedBytes(role))) + "~" + text;
}

std::string freshHiddenName(std::string_view name, std::string_view role) {
    const std::string stem = hiddenStem(name, role), nonce = freshNonce();
    return "." + stem + "." + nonce + nameCheck(stem, nonce, role) + "." + std::string(role);
}

std::optional<FileId> fileIdAt(const std::filesystem::path& path) {
    struct stat there {};
    if (::lstat(path.c_str(), &there) != 0 || !S_ISREG(there.st_mode)) return std::nullopt;
    return FileId{there.st_dev, there.st_ino};
}

bool isShortenedStemOf(std::string_view stem, std::string_view prefix, std::string_view role) {
    if (stem.size() < 1 + kDigestDigits || stem[stem.size() - kDigestDigits - 1] != '~') return false;
    for (const char c : stem.substr(stem.size() - kDigestDigits))
        if (!isHexDigit(c)) return false;
    const std::string_view kept = stem.substr(0, stem.size() - kDigestDigits - 1);
    // A cut at a character boundary keeps at most three bytes fewer than the room there is.
    const size_t room = shortenedBytes(role);
    if (kept.size() > room || kept.size() + 3 < room) return false;
    return kept.starts_with(prefix) || prefix.starts_with(kept);
}

PartialFile::PartialFile(std::filesystem::path target, std::string_view role)
    : target_(std::move(target)),
      folderFd_(retrying([&] { return ::open(folderOf(target_).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); })),
      targetName_(target_.filename().string()) {
    if (folderFd_ < 0) throw std::system_error(errno, std::generic_category(), folderOf(target_).string());
    try {
        create(role);
    } catch (...) {
        ::close(folderFd_);
        throw;
    }
}

PartialFile::PartialFile(int folder, const std::filesystem::path& folderPath, const std::string& name, std::string_view role)
    : target_(folderPath / name), folderFd_(::fcntl(folder, F_DUPFD_CLOEXEC, 0)), targetName_(name) {
    if (folderFd_ < 0) throw std::system_error(errno, std::generic_category(), target_.string());
    try {
        create(role);
    } catch (...) {
        ::close(folderFd_);
        throw;
    }
}

void PartialFile::create(std::string_view role) {
    for (int attempt = 0;; ++attempt) {
        name_ = hiddenName(target_, role);
        path_ = folderOf(target_) / name_;
        fd_ = retrying([&] { return ::openat(folderFd_, name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
        if (fd_ < 0) {
            if (errno == EEXIST && attempt < 64) continue;
            throw std::system_error(errno, std::generic_category(), path_.string());
        }
        // Between the create and the lock a sweep may take the file for a dead run's; then it
        // is unlinked (or being unlinked under its lock) and a new name is tried.
        retrying([&] { return ::flock(fd_, LOCK_EX); });
        if (stillNamed()) return;
        ::close(fd_);
        fd_ = -1;
        if (attempt >= 64) throw std::system_error(EAGAIN, std::generic_category(), path_.string());
    }
}

PartialFile::~PartialFile() {
    if (!published_) discard();
    if (fd_ >= 0) ::close(fd_);
    ::close(folderFd_);
}

bool PartialFile::stillNamed() const {
    struct stat held {}, named {};
    return fd_ >= 0 && ::fstat(fd_, &held) == 0 && held.st_nlink > 0 &&
           ::fstatat(folderFd_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(named.st_mode) &&
           sameFile(held, named);
}

void PartialFile::discard() {
    if (published_ || path_.empty()) return;
    // Whatever was swapped in under the hidden name is not ours to remove; ours stays while what
    // it stands for does.
    if (stillNamed() && (!clearFirst_ || clearFirst_())) ::unlinkat(folderFd_, name_.c_str(), 0);
    published_ = true;  // done with the hidden name
}

void PartialFile::syncFolder() const { syncFolderAt(folderFd_, "."); }

std::filesystem::path PartialFile::currentTarget() const {
    // Something under the target's own path was written there (into the folder made again, when
    // its run's writer came after the move).
    std::error_code ec;
    if (std::filesystem::symlink_status(target_, ec).type() != std::filesystem::file_type::not_found) return target_;
    const std::filesystem::path folder = whereNow(folderFd_);
    return folder.empty() ? target_ : folder / targetName_;
}

int PartialFile::sync() {
    if (published_ || fd_ < 0) return ENOENT;
    return retrying([&] { return ::fsync(fd_); }) == 0 ? 0 : errno;
}

int PartialFile::publish(bool durable) { return publishOver(durable, [this] {
    return ::renameat(folderFd_, name_.c_str(), folderFd_, targetName_.c_str()) == 0 ? 0 : errno;
}); }

int PartialFile::publishNew(const std::optional<FileId>& replaceable, bool durable) {
    return publishOver(durable, [&] {
        struct stat there {};
        if (replaceable && ::fstatat(folderFd_, targetName_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(there.st_mode) && FileId{there.st_dev, there.st_ino} == *replaceable)
            return ::renameat(folderFd_, name_.c_str(), folderFd_, targetName_.c_str()) == 0 ? 0 : errno;
        return renameNoReplaceAt(folderFd_, name_.c_str(), folderFd_, targetName_.c_str());
    });
}

void PartialFile::retarget(const std::string& name) {
    target_ = target_.parent_path() / name;
    targetName_ = name;
}

int PartialFile::publishOver(bool durable, const std::function<int()>& rename) {
    if (published_) return ENOENT;
    if (durable && retrying([&] { return ::fsync(fd_); }) != 0) return errno;
    if (!stillNamed()) return ESTALE;
    if (const int error = rename(); error != 0) return error;
    published_ = true;
    // A swap between the look and the rename put something else under the target: it goes
    // again (a rename never moves a folder over a file), and the run fails.
    struct stat held {}, named {};
    if (::fstat(fd_, &held) == 0 &&
        (::fstatat(folderFd_, targetName_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(held, named))) {
        if (::fstatat(folderFd_, targetName_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(named.st_mode))
            ::unlinkat(folderFd_, targetName_.c_str(), 0);
        return ESTALE;
    }
    if (durable) syncFolder();
    ::close(fd_);
    fd_ = -1;
    return 0;
}

PartialFolder::PartialFolder(std::filesystem::path target)
    : target_(std::move(target)),
      parentFd_(retrying([&] { return ::open(folderOf(target_).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); })) {
    if (parentFd_ < 0) throw std::system_error(errno, std::generic_category(), folderOf(target_).string());
    try {
        create();
    } catch (...) {
        ::close(parentFd_);
        throw;
    }
}

void PartialFolder::create() {
    for (int attempt = 0;; ++attempt) {
        name_ = hiddenName(target_, "partial");
        path_ = folderOf(target_) / name_;
        if (::mkdirat(parentFd_, name_.c_str(), 0777) != 0) {
            if (errno == EEXIST && attempt < 64) continue;
            throw std::system_error(errno, std::generic_category(), path_.string());
        }
        // Locked before it is marked. A sweep may take the empty folder for a dead run's before our
        // lock: then it is gone (or another by now) once we hold the lock, and we make another.
        fd_ = retrying([&] { return ::openat(parentFd_, name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
        if (fd_ < 0 && errno == ENOENT && attempt < 64) continue;
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), path_.string());
        retrying([&] { return ::flock(fd_, LOCK_EX); });
        if (!stillNamed()) {
            ::close(fd_);
            fd_ = -1;
            if (attempt < 64) continue;
            throw std::system_error(ESTALE, std::generic_category(), path_.string());
        }
        const int made = retrying([&] {
            return ::openat(fd_, kMarkerName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        });
        if (made < 0) {
            const int error = errno;
            ::close(fd_);
            fd_ = -1;
            ::unlinkat(parentFd_, name_.c_str(), AT_REMOVEDIR);
            throw std::system_error(error, std::generic_category(), path_.string());
        }
        ::close(made);
        return;
    }
}

PartialFolder::~PartialFolder() {
    if (!published_ && stillNamed()) {
        // From wherever the folder it was made in was moved meanwhile.
        const std::filesystem::path here = whereNow(fd_);
        removeStagingFolder(here.empty() ? path_ : here);
    }
    if (fd_ >= 0) ::close(fd_);
    ::close(parentFd_);
}

bool PartialFolder::stillNamed() const {
    struct stat held {}, named {};
    return fd_ >= 0 && ::fstat(fd_, &held) == 0 &&
           ::fstatat(parentFd_, name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(held, named);
}

void PartialFolder::settle() {
    published_ = true;
    ::unlinkat(fd_, kMarkerName.c_str(), 0);  // should this fail, the next run's clearStagingMarker() takes it
    syncFolderAt(parentFd_, ".");
}

int PartialFolder::publish() {
    if (published_) return ENOENT;
    if (!stillNamed()) return ESTALE;
    const std::string targetName = target_.filename().string();
    if (const int error = renameNoReplaceAt(parentFd_, name_.c_str(), parentFd_, targetName.c_str()); error != 0)
        return error;
    settle();
    return 0;
}

int PartialFolder::replace() {
    if (published_) return ENOENT;
    if (!stillNamed()) return ESTALE;
    struct stat old {};
    if (::lstat(target_.c_str(), &old) != 0) return errno == ENOENT ? publish() : errno;
    // A folder there is marked, and held, before it leaves the target's name.
    int oldFd = -1;
    bool markedOld = false;
    if (S_ISDIR(old.st_mode)) {
        oldFd = retrying([&] { return ::open(target_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
        if (oldFd >= 0) {
            ::flock(oldFd, LOCK_EX | LOCK_NB);  // held by a run just ending: it lets go soon, and nothing waits
            const int made = ::openat(oldFd, kMarkerName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            markedOld = made >= 0;
            if (made >= 0) ::close(made);
        }
    }
    const auto keepOld = [&](int error) {
        if (markedOld) ::unlinkat(oldFd, kMarkerName.c_str(), 0);
        if (oldFd >= 0) ::close(oldFd);
        return error;
    };
    // The old item now lives under `gone`; it goes once the new folder stands at the target.
    const auto dropOld = [&](const std::filesystem::path& gone) {
        settle();
        struct stat now {};
        if (::lstat(gone.c_str(), &now) == 0 && sameFile(now, old)) {
            if (S_ISDIR(now.st_mode))
                removeStagingFolder(gone);
            else
                ::unlink(gone.c_str());
        }
        if (oldFd >= 0) ::close(oldFd);
        return 0;
    };
    if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE) == 0) return dropOld(path_);
    // File systems without the exchange: the old item steps aside, the new one takes its place.
    const std::filesystem::path aside = folderOf(target_) / hiddenName(target_, "old");
    if (::rename(target_.c_str(), aside.c_str()) != 0) return keepOld(errno);
    if (::rename(path_.c_str(), target_.c_str()) != 0) {
        const int error = errno;
        ::rename(aside.c_str(), target_.c_str());
        return keepOld(error);
    }
    return dropOld(aside);
}

bool restoreSetAside(const std::filesystem::path& target) {
    struct stat there {};
    if (target.filename().empty() || ::lstat(target.c_str(), &there) == 0 || errno != ENOENT) return false;
    const std::string stem = hiddenStem(target.filename().string(), "old");
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folderOf(target), ec), end; !ec && it != end; it.increment(ec)) {
        if (targetNameOf(it->path().filename().string(), "old") != stem) continue;
        PartialSweep ignored;
        struct stat held {};
        const int fd = claimDead(it->path(), nullptr, ignored, held);
        if (fd < 0) continue;
        const bool restored = renameNoReplace(it->path(), target) == 0;
        if (restored && S_ISDIR(held.st_mode)) ::unlinkat(fd, kMarkerName.c_str(), 0);
        ::close(fd);
        if (restored) {
            syncFolder(folderOf(target));
            return true;
        }
    }
    return false;
}

PartialSweep sweepPartials(const std::filesystem::path& target, std::string_view role, const PartialFile* own,
                           const std::function<bool()>& first) {
    PartialSweep result;
    const std::string name = target.filename().string();
    if (name.empty()) return result;
    const std::string stem = hiddenStem(name, role);
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folderOf(target), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (targetNameOf(entry, role) == stem) sweepOne(it->path(), own, result, first);
    }
    return result;
}

PartialSweep sweepPartialsIn(const std::filesystem::path& folder, const std::function<bool(std::string_view)>& isTarget,
                             std::string_view role, const std::function<bool(std::string_view)>& first) {
    PartialSweep result;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        const std::string_view name = targetNameOf(entry, role);
        if (name.empty() || !isTarget(name)) continue;
        sweepOne(it->path(), nullptr, result, first ? std::function<bool()>([&] { return first(name); }) : std::function<bool()>());
    }
    return result;
}

bool clearStagingMarker(const std::filesystem::path& folder) {
    const int fd = retrying([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR || errno == ELOOP;  // no folder of ours there
    const int marker = retrying(
        [&] { return ::openat(fd, kMarkerName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    bool cleared = marker < 0 && (errno == ENOENT || errno == ELOOP);
    struct stat held {}, named {};
    if (marker >= 0 && ::fstat(marker, &held) == 0) {
        if (!S_ISREG(held.st_mode) || held.st_nlink != 1)
            cleared = true;  // a look-alike, not ours to remove
        else if (lockOn(fd, true) == LockState::free && lockOn(marker, false) == LockState::free &&
                 ::fstatat(fd, kMarkerName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(held, named))
            cleared = ::unlinkat(fd, kMarkerName.c_str(), 0) == 0;
    }
    if (marker >= 0) ::close(marker);
    ::close(fd);
    return cleared;
}

}  // namespace qm
