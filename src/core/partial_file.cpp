#include "core/partial_file.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
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

template <typename F>
auto retrying(F&& f) {
    for (;;) {
        auto result = f();
        if (result != -1 || errno != EINTR) return result;
    }
}

constexpr size_t kKeyBytes = 32;
using Key = std::array<unsigned char, kKeyBytes>;

bool randomBytes(unsigned char* into, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::getrandom(into + done, size - done, 0);
        if (n < 0 && errno != EINTR) return false;
        if (n > 0) done += size_t(n);
    }
    return true;
}

// $XDG_DATA_HOME, else ~/.local/share; empty when no home can be told.
std::filesystem::path dataHome() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') return data;
    std::string home;
    if (const char* env = std::getenv("HOME"); env != nullptr && env[0] == '/') home = env;
    if (home.empty()) {
        struct passwd entry {}, *found = nullptr;
        char buffer[4096];
        if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
            found->pw_dir != nullptr && found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    return home.empty() ? std::filesystem::path() : std::filesystem::path(home) / ".local" / "share";
}

constexpr const char* kKeyName = "hidden-names.key";

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The key file open at `fd` when it is whole and nobody else could have read or written it.
std::optional<Key> readKey(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0 ||
        st.st_size != off_t(kKeyBytes))
        return std::nullopt;
    Key key{};
    for (size_t done = 0; done < kKeyBytes;) {
        const ssize_t n = retrying([&] { return ::pread(fd, key.data() + done, kKeyBytes - done, off_t(done)); });
        if (n <= 0) return std::nullopt;
        done += size_t(n);
    }
    return key;
}

// The key in the folder open at `folder`. With `make`, one that is missing or rejected is made
// afresh: written aside, and given the name only where none stands (a rejected one goes first),
// then read again, so that every run takes the key that holds the name.
std::optional<Key> keyIn(int folder, bool make = false) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        // Not blocking: a named pipe there must not hang the run.
        const int fd = retrying(
            [&] { return ::openat(folder, kKeyName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
        struct stat rejected {};
        if (fd >= 0) {
            std::optional<Key> key = readKey(fd);
            const bool named = ::fstat(fd, &rejected) == 0;
            ::close(fd);
            if (key || !make || !named) return key;
        } else if (errno != ENOENT || !make) {
            return std::nullopt;
        }
        Key fresh{};
        unsigned char nonce[4];
        if (!randomBytes(fresh.data(), kKeyBytes) || !randomBytes(nonce, sizeof nonce)) return std::nullopt;
        char aside[64];
        std::snprintf(aside, sizeof aside, "%s.%02x%02x%02x%02x", kKeyName, nonce[0], nonce[1], nonce[2], nonce[3]);
        const int out = retrying(
            [&] { return ::openat(folder, aside, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600); });
        if (out < 0) continue;
        const bool written =
            retrying([&] { return ::write(out, fresh.data(), kKeyBytes); }) == ssize_t(kKeyBytes) && ::fsync(out) == 0;
        ::close(out);
        struct stat there {};
        if (written && fd >= 0 && ::fstatat(folder, kKeyName, &there, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(there, rejected))
            ::unlinkat(folder, kKeyName, 0);
        if (written && ::renameat2(folder, aside, folder, kKeyName, RENAME_NOREPLACE) != 0 && errno != EEXIST &&
            ::linkat(folder, aside, folder, kKeyName, 0) != 0 && errno != EEXIST) {
            ::unlinkat(folder, aside, 0);
            return std::nullopt;
        }
        if (written) ::fsync(folder);
        ::unlinkat(folder, aside, 0);
    }
    return std::nullopt;
}

// The user's own secret for the check digits, made once (atomically: whole or not at all) in a
// folder only the user can enter. Nothing when it can be neither read nor made.
std::optional<Key> usersKey() {
    const std::filesystem::path home = dataHome();
    if (home.empty()) return std::nullopt;
    std::error_code ec;
    if (!std::filesystem::is_directory(home, ec)) {
        std::filesystem::create_directories(home.parent_path(), ec);
        ::mkdir(home.c_str(), 0700);
    }
    const int homeFd = retrying([&] { return ::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (homeFd < 0) return std::nullopt;
    ::mkdirat(homeFd, "Quillmere", 0700);
    const int folder =
        retrying([&] { return ::openat(homeFd, "Quillmere", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    ::close(homeFd);
    if (folder < 0) return std::nullopt;
    std::optional<Key> key;
    struct stat st {};
    if (::fstat(folder, &st) == 0 && st.st_uid == ::geteuid() &&
        ((st.st_mode & 077) == 0 || ::fchmod(folder, st.st_mode & 0700) == 0)) {
        key = keyIn(folder);
        if (!key) {
            // None yet, or one that is cut, not a file, or others could read: one is made afresh,
            // one run at a time, so that runs meeting a rejected key at once never each replace
            // the other's (and keep names no other run knows for ours).
            const bool locked = retrying([&] { return ::flock(folder, LOCK_EX); }) == 0;
            key = keyIn(folder, true);
            if (locked) ::flock(folder, LOCK_UN);
        }
    }
    ::close(folder);
    return key;
}

// The key the check digits are made with. Where the user's own cannot be had, one of this
// process alone: its names stay its own, and no other run's item is ever taken for ours.
const Key& checkKey() {
    static const Key key = [] {
        if (const auto own = usersKey()) return *own;
        Key fresh{};
        if (!randomBytes(fresh.data(), kKeyBytes)) {
            std::random_device device;
            for (auto& byte : fresh) byte = static_cast<unsigned char>(device());
        }
        return fresh;
    }();
    return key;
}

// The first `bytes` bytes, in hex, of a MAC of `message` under the check key.
std::string macHex(std::string_view message, size_t bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const Key& key = checkKey();
    const bool made = ::HMAC(EVP_sha256(), key.data(), int(key.size()),
                             reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
                             &size) != nullptr;
    // The library keeps state for each thread that it frees as the thread ends; a worker thread
    // that ends while the process exits would do so after the library's own teardown, corrupting
    // the heap. Freed here, the thread ends with nothing of the library's.
    OPENSSL_thread_stop();
    if (!made || size < bytes) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < bytes; ++i) text += {kHex[digest[i] >> 4], kHex[digest[i] & 15]};
    return text;
}

// The eight hex digits after the nonce that make a hidden name ours: a MAC of the stem, the role
// and the nonce under the user's own secret. Another program's or user's file of the same form
// carries them only by a one-in-four-billion chance, and nobody without the secret can make them.
std::string nameCheck(std::string_view stem, std::string_view nonce, std::string_view role) {
    std::string message;
    message.append(stem).append(1, '\0').append(role).append(1, '\0').append(nonce);
    return macHex(message, 4);
}

// The folder `name` relative to the folder open at `at` (AT_FDCWD for the working one).
void syncFolderAt(int at, const char* name) {
    const int fd = retrying([&] { return ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return;
    ::fsync(fd);  // some file systems cannot sync a folder; that does not fail the write
    ::close(fd);
}

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
// PartialFile makes, or empty when the item is not one or its check is not ours. A stem that
// would name the folder itself or the one above it is never ours.
std::string_view targetNameOf(std::string_view entry, std::string_view role) {
    if (entry.size() < 1 + 1 + 1 + kHexDigits + 1 + role.size() || entry.front() != '.') return {};
    if (!entry.ends_with(role) || entry[entry.size() - role.size() - 1] != '.') return {};
    const std::string_view rest = entry.substr(1, entry.size() - role.size() - 2);  // "Name.<hex>"
    const std::string_view hex = rest.substr(rest.size() - kHexDigits);
    if (rest[rest.size() - kHexDigits - 1] != '.') return {};
    for (const char c : hex)
        if (!isHexDigit(c)) return {};
    const std::string_view stem = rest.substr(0, rest.size() - kHexDigits - 1);
    if (stem.empty() || stem == "." || stem == "..") return {};
    if (nameCheck(stem, hex.substr(0, kNonceDigits), role) != hex.substr(kNonceDigits)) return {};
    return stem;
}

enum class LockState { free, held, unknown };

// Whether another open file holds the file open at `fd` (ours, read-only): a write lease is
// granted only to the one open file of a file. The lease is let go at once; a break of it in
// between is told by a signal nobody minds rather than SIGIO, whose default ends the process.
// Where the file system grants no leases nothing can be told.
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

// The names in the folder open at `folderFd` (read through a descriptor of its own) that `keep`
// accepts.
std::vector<std::string> namesAt(int folderFd, const std::function<bool(std::string_view)>& keep = {}) {
    std::vector<std::string> names;
    const int fd = retrying([&] { return ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return names;
    DIR* const listing = ::fdopendir(fd);
    if (listing == nullptr) {
        ::close(fd);
        return names;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != ".." && (!keep || keep(name))) names.emplace_back(name);
    }
    ::closedir(listing);
    return names;
}

// Whether the item `name` in the folder open at `folderFd` still is the one open at `fd`.
bool stillAt(int folderFd, const char* name, int fd) {
    struct stat held {}, named {};
    return ::fstat(fd, &held) == 0 && ::fstatat(folderFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(held, named);
}

// A staging folder with nothing in it, not even its marker: a run killed between making it and
// marking it. Only the ".partial" form, which the staging folder is made under; any other hidden
// folder without a marker is the user's.
bool isUnmarkedStagingFolder(std::string_view name, int fd) {
    return name.ends_with(".partial") && namesAt(fd).empty();
}

const std::string kMarkerName(kStagingMarker);

// What a marker of ours holds: a MAC, under the user's secret, of the folder it marks, so that a
// user's file of the same name, or one of ours copied elsewhere, is never taken for one.
std::string markerSeal(int folderFd) {
    struct stat folder {};
    return ::fstat(folderFd, &folder) == 0 ? macHex("staging marker\n" + std::to_string(folder.st_ino), 16) : std::string();
}

// Marks the folder open at `folderFd`; 0 or the errno. On a disk too full for the seal the marker
// stays empty: it still marks a hidden staging folder, but is never taken out of a visible one.
int markFolder(int folderFd) {
    const int made = retrying(
        [&] { return ::openat(folderFd, kMarkerName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666); });
    if (made < 0) return errno;
    const std::string seal = markerSeal(folderFd);
    if (retrying([&] { return ::write(made, seal.data(), seal.size()); }) != ssize_t(seal.size()))
        retrying([&] { return ::ftruncate(made, 0); });
    ::close(made);
    return 0;
}

// Whether the marker open at `markerFd` is the one we made in the folder open at `folderFd`.
bool sealedFor(int folderFd, int markerFd) {
    const std::string seal = markerSeal(folderFd);
    std::string content(seal.size() + 1, '\0');
    return !seal.empty() &&
           retrying([&] { return ::pread(markerFd, content.data(), content.size(), 0); }) == ssize_t(seal.size()) &&
           content.compare(0, seal.size(), seal) == 0;
}

// Empties the folder open at `fd` (but for its marker when `keepMarker`). It never leaves that
// folder by a name: each folder inside is entered by a descriptor opened from the one it was
// found in, without following a link, so nothing swapped in meanwhile leads elsewhere.
bool emptyFolderAt(int fd, bool keepMarker) {
    bool emptied = true;
    for (const std::string& name : namesAt(fd)) {
        if (keepMarker && name == kMarkerName) continue;
        if (::unlinkat(fd, name.c_str(), 0) == 0 || errno == ENOENT) continue;
        const int inside =
            retrying([&] { return ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
        if (inside < 0) {
            emptied = false;
            continue;
        }
        const bool gone = emptyFolderAt(inside, false) && stillAt(fd, name.c_str(), inside) &&
                          ::unlinkat(fd, name.c_str(), AT_REMOVEDIR) == 0;
        ::close(inside);
        emptied = emptied && gone;
    }
    return emptied;
}

// A marked staging folder, open at `fd` and named `name` in the folder open at `parentFd`, goes
// with its content; the marker last, so that a sweep cut short leaves a folder the next sweep
// still knows for ours.
bool removeStagingFolder(int parentFd, const std::string& name, int fd) {
    if (!emptyFolderAt(fd, true)) return false;
    ::unlinkat(fd, kMarkerName.c_str(), 0);
    return stillAt(parentFd, name.c_str(), fd) && ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0;
}

// Opens the hidden item `name` in the folder open at `folderFd` and returns its descriptor,
// holding our flock, when it provably is a dead run's: a regular file without a second link, or a
// marked staging folder, reached without a link, of our own user, that nobody holds a lock on and
// that still stands under its name. -1 otherwise; a locked one counts as live.
int claimDead(int folderFd, const std::string& name, const PartialFile* own, PartialSweep& result, struct stat& held) {
    const int fd = retrying(
        [&] { return ::openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    if (fd < 0) return -1;  // gone meanwhile, a link, or not ours to open
    const auto refuse = [fd] {
        ::close(fd);
        return -1;
    };
    if (::fstat(fd, &held) != 0 || held.st_uid != ::geteuid()) return refuse();
    if (own != nullptr && own->descriptor() >= 0) {
        struct stat mine {};
        if (::fstat(own->descriptor(), &mine) == 0 && sameFile(mine, held)) return refuse();
    }
    const bool folder = S_ISDIR(held.st_mode);
    // A second link means somebody else named this file too; ours never have one. An empty folder
    // is taken too: a run that made one and died before marking it leaves nothing else, and one
    // still being made is then locked, or finds it gone under our lock and makes another.
    if (!(S_ISREG(held.st_mode) && held.st_nlink == 1) &&
        !(folder && (carriesMarker(fd) || isUnmarkedStagingFolder(name, fd))))
        return refuse();
    switch (lockOn(fd, folder)) {
    case LockState::held: ++result.live; return refuse();
    case LockState::unknown: return refuse();
    case LockState::free: break;
    }
    // Another sweep may have removed it between our open and our lock.
    if (!stillAt(folderFd, name.c_str(), fd)) return refuse();
    return fd;
}

void sweepOne(int folderFd, const std::string& name, const PartialFile* own, PartialSweep& result,
              const std::function<bool()>& first) {
    struct stat held {};
    const int fd = claimDead(folderFd, name, own, result, held);
    if (fd < 0) return;
    // While anything the item stands for stays, so does the item. An unmarked folder goes only
    // while empty: rmdir takes nothing else.
    const bool removed = (!first || first()) && (!S_ISDIR(held.st_mode) ? ::unlinkat(folderFd, name.c_str(), 0) == 0
                                                 : carriesMarker(fd) ? removeStagingFolder(folderFd, name, fd)
                                                                     : ::unlinkat(folderFd, name.c_str(), AT_REMOVEDIR) == 0);
    ++(removed ? result.removed : result.left);
    ::close(fd);
}

// The folder `folder` open for reading (through a link, as its user named it), or -1.
int openFolder(const std::filesystem::path& folder) {
    return retrying([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
}

// What a file system without the rename that never replaces holds under a name while a run
// takes it: this content, a MAC of the name under the user's secret, so that what a run killed
// meanwhile left there is known for ours and nothing else is.
constexpr size_t kPlaceholderBytes = 64;
std::string placeholderSeal(std::string_view name) {
    return macHex("placeholder\n" + std::string(name), kPlaceholderBytes / 2);
}

// Whether the file system of the folder open at `fd` may lack the rename that never replaces, and
// so hold placeholders: FUSE and network file systems may; the local ones of the kernel have it.
bool mayHoldPlaceholders(int fd) {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return true;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
    case F2FS_SUPER_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
    case MSDOS_SUPER_MAGIC:
    case EXFAT_SUPER_MAGIC:
        return false;
    default:
        return true;
    }
}

// Removes the visible file `name` in the folder open at `folderFd` when it is such a placeholder
// of ours whose run is gone: sealed for this name, of our user, with no second link, and nobody
// holding it.
bool clearPlaceholderAt(int folderFd, const std::string& name) {
    struct stat held {};
    if (::fstatat(folderFd, name.c_str(), &held, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(held.st_mode) ||
        held.st_size != off_t(kPlaceholderBytes))
        return false;
    const std::string seal = placeholderSeal(name);
    const int fd = retrying(
        [&] { return ::openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    if (fd < 0) return false;
    std::string content(seal.size() + 1, '\0');
    const bool ours = ::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_nlink == 1 &&
                      held.st_uid == ::geteuid() &&
                      retrying([&] { return ::pread(fd, content.data(), content.size(), 0); }) == ssize_t(seal.size()) &&
                      content.compare(0, seal.size(), seal) == 0 && lockOn(fd, false) == LockState::free &&
                      stillAt(folderFd, name.c_str(), fd);
    const bool removed = ours && ::unlinkat(folderFd, name.c_str(), 0) == 0;
    ::close(fd);
    return removed;
}



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
    int held = -1;  // the placeholder file, locked while it stands
    if (folder) {
        if (::mkdirat(toAt, to, 0700) != 0 || ::fstatat(toAt, to, &placeholder, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    } else {
        held = retrying([&] { return ::openat(toAt, to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); });
        if (held < 0) return errno;
        // Locked and sealed, so that once a kill leaves it the next sweep knows it for ours (see
        // clearPlaceholderAt); on a disk too full for the seal it stays empty and is the user's.
        retrying([&] { return ::flock(held, LOCK_EX); });
        const std::string seal = placeholderSeal(std::filesystem::path(to).filename().string());
        if (retrying([&] { return ::write(held, seal.data(), seal.size()); }) != ssize_t(seal.size()))
            retrying([&] { return ::ftruncate(held, 0); });
        if (::fstat(held, &placeholder) != 0) {
            ::close(held);
            return EIO;
        }
    }
    const auto done = [held](int error) {
        if (held >= 0) ::close(held);
        return error;
    };
    if (::fstatat(toAt, to, &there, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(there, placeholder)) return done(EEXIST);
    if (::renameat(fromAt, from, toAt, to) == 0) return done(0);
    const int error = errno;
    if (::fstatat(toAt, to, &there, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(there, placeholder))
        ::unlinkat(toAt, to, folder ? AT_REMOVEDIR : 0);
    return done(error);
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

std::string reservedHiddenName(std::string_view name, std::string_view role) {
    const std::string stem = hiddenStem(name, role);
    std::string message("reserved\n");
    message.append(stem).append(1, '\0').append(role);
    const std::string nonce = macHex(message, kNonceDigits / 2);
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

PartialFile::PartialFile(std::filesystem::path target, std::string_view role, HiddenName kind)
    : target_(std::move(target)),
      folderFd_(retrying([&] { return ::open(folderOf(target_).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); })),
      targetName_(target_.filename().string()) {
    if (folderFd_ < 0) throw std::system_error(errno, std::generic_category(), folderOf(target_).string());
    try {
        create(role, kind);
    } catch (...) {
        ::close(folderFd_);
        throw;
    }
}

PartialFile::PartialFile(int folder, const std::filesystem::path& folderPath, const std::string& name, std::string_view role)
    : target_(folderPath / name), folderFd_(::fcntl(folder, F_DUPFD_CLOEXEC, 0)), targetName_(name) {
    if (folderFd_ < 0) throw std::system_error(errno, std::generic_category(), target_.string());
    try {
        create(role, HiddenName::fresh);
    } catch (...) {
        ::close(folderFd_);
        throw;
    }
}

void PartialFile::create(std::string_view role, HiddenName kind) {
    for (int attempt = 0;; ++attempt) {
        name_ = kind == HiddenName::reserved ? reservedHiddenName(targetName_, role) : hiddenName(target_, role);
        path_ = folderOf(target_) / name_;
        fd_ = retrying([&] { return ::openat(folderFd_, name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
        if (fd_ < 0) {
            if (errno == EEXIST && attempt < 64 && kind == HiddenName::fresh) continue;
            throw std::system_error(errno, std::generic_category(), path_.string());
        }
        // Between the create and the lock a sweep may take the file for a dead run's; then it
        // is unlinked (or being unlinked under its lock) and the name is tried again.
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
    // Something else under the target now is another writer's, which came after ours (a second
    // save of the same file: the later one stands, as saves one after the other leave it), or
    // what a swap between the look and the rename put under the hidden name. Neither is ours to
    // remove. Only the swap leaves our file named elsewhere, and then the run fails.
    struct stat held {}, named {};
    if (::fstat(fd_, &held) == 0 && held.st_nlink > 0 &&
        (::fstatat(folderFd_, targetName_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(held, named)))
        return ESTALE;
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
        if (const int error = markFolder(fd_); error != 0) {
            ::close(fd_);
            fd_ = -1;
            ::unlinkat(parentFd_, name_.c_str(), AT_REMOVEDIR);
            throw std::system_error(error, std::generic_category(), path_.string());
        }
        return;
    }
}

PartialFolder::~PartialFolder() {
    // Through the folder's own descriptor, wherever the folder it was made in was moved meanwhile.
    if (!published_ && stillNamed()) removeStagingFolder(parentFd_, name_, fd_);
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
    const std::string targetName = target_.filename().string();
    struct stat old {};
    if (::fstatat(parentFd_, targetName.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? publish() : errno;
    // A folder there is marked, and held, before it leaves the target's name.
    int oldFd = -1;
    bool markedOld = false;
    if (S_ISDIR(old.st_mode)) {
        oldFd = retrying(
            [&] { return ::openat(parentFd_, targetName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
        if (oldFd >= 0 && !stillAt(parentFd_, targetName.c_str(), oldFd)) {
            ::close(oldFd);
            oldFd = -1;
        }
        if (oldFd >= 0) {
            ::flock(oldFd, LOCK_EX | LOCK_NB);  // held by a run just ending: it lets go soon, and nothing waits
            markedOld = markFolder(oldFd) == 0;
        }
    }
    const auto keepOld = [&](int error) {
        if (markedOld) ::unlinkat(oldFd, kMarkerName.c_str(), 0);
        if (oldFd >= 0) ::close(oldFd);
        return error;
    };
    // The old item now lives under `gone`; it goes once the new folder stands at the target, a
    // folder only through the descriptor it was marked through.
    const auto dropOld = [&](const std::string& gone) {
        settle();
        struct stat now {};
        if (::fstatat(parentFd_, gone.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(now, old)) {
            if (!S_ISDIR(now.st_mode))
                ::unlinkat(parentFd_, gone.c_str(), 0);
            else if (oldFd >= 0)
                removeStagingFolder(parentFd_, gone, oldFd);
        }
        if (oldFd >= 0) ::close(oldFd);
        return 0;
    };
    if (::renameat2(parentFd_, name_.c_str(), parentFd_, targetName.c_str(), RENAME_EXCHANGE) == 0) return dropOld(name_);
    // File systems without the exchange: the old item steps aside, the new one takes its place.
    const std::string aside = hiddenName(target_, "old");
    if (::renameat(parentFd_, targetName.c_str(), parentFd_, aside.c_str()) != 0) return keepOld(errno);
    if (::renameat(parentFd_, name_.c_str(), parentFd_, targetName.c_str()) != 0) {
        const int error = errno;
        ::renameat(parentFd_, aside.c_str(), parentFd_, targetName.c_str());
        return keepOld(error);
    }
    return dropOld(aside);
}

void PartialFolder::discard(const std::vector<std::string>& files) {
    if (!published_ || fd_ < 0) return;  // unpublished, it goes whole when this object goes
    struct stat there {};
    for (const std::string& file : files)
        if (::fstatat(fd_, file.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(there.st_mode))
            ::unlinkat(fd_, file.c_str(), 0);
    const std::string targetName = target_.filename().string();
    if (namesAt(fd_).empty() && stillAt(parentFd_, targetName.c_str(), fd_))
        ::unlinkat(parentFd_, targetName.c_str(), AT_REMOVEDIR);
}

namespace {

// The hidden items of `role` in the folder open at `folderFd` whose target `isTarget` accepts, with
// that target name (or stem).
std::vector<std::pair<std::string, std::string>> hiddenItemsAt(int folderFd, std::string_view role,
                                                               const std::function<bool(std::string_view)>& isTarget) {
    std::vector<std::pair<std::string, std::string>> items;
    namesAt(folderFd, [&](std::string_view entry) {
        const std::string_view name = targetNameOf(entry, role);
        if (!name.empty() && isTarget(name)) items.emplace_back(entry, name);
        return false;
    });
    return items;
}

}  // namespace

bool restoreSetAside(const std::filesystem::path& target) {
    const std::string targetName = target.filename().string();
    if (targetName.empty()) return false;
    const int folderFd = openFolder(folderOf(target));
    if (folderFd < 0) return false;
    struct stat there {};
    bool restored = false;
    if (::fstatat(folderFd, targetName.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        const std::string stem = hiddenStem(targetName, "old");
        for (const auto& [entry, name] : hiddenItemsAt(folderFd, "old", [&](std::string_view name) { return name == stem; })) {
            PartialSweep ignored;
            struct stat held {};
            const int fd = claimDead(folderFd, entry, nullptr, ignored, held);
            if (fd < 0) continue;
            restored = renameNoReplaceAt(folderFd, entry.c_str(), folderFd, targetName.c_str()) == 0;
            if (restored && S_ISDIR(held.st_mode)) ::unlinkat(fd, kMarkerName.c_str(), 0);
            ::close(fd);
            if (restored) {
                ::fsync(folderFd);
                break;
            }
        }
    }
    ::close(folderFd);
    return restored;
}

PartialSweep sweepPartials(const std::filesystem::path& target, std::string_view role, const PartialFile* own,
                           const std::function<bool()>& first) {
    PartialSweep result;
    const std::string name = target.filename().string();
    if (name.empty()) return result;
    const std::string stem = hiddenStem(name, role);
    const int folderFd = openFolder(folderOf(target));
    if (folderFd < 0) return result;
    for (const auto& [entry, ignored] : hiddenItemsAt(folderFd, role, [&](std::string_view found) { return found == stem; }))
        sweepOne(folderFd, entry, own, result, first);
    ::close(folderFd);
    return result;
}

PartialSweep sweepPartialsIn(const std::filesystem::path& folder, const std::function<bool(std::string_view)>& isTarget,
                             std::string_view role, const std::function<bool(std::string_view)>& first) {
    PartialSweep result;
    const int folderFd = openFolder(folder);
    if (folderFd < 0) return result;
    for (const auto& [entry, name] : hiddenItemsAt(folderFd, role, isTarget))
        sweepOne(folderFd, entry, nullptr, result,
                 first ? std::function<bool()>([&, &name = name] { return first(name); }) : std::function<bool()>());
    ::close(folderFd);
    return result;
}

std::vector<std::string> sweepFolderForRun(const std::filesystem::path& folder,
                                           const std::function<bool(std::string_view)>& first) {
    std::set<std::string> live;
    const int folderFd = openFolder(folder);
    if (folderFd < 0) return {};
    // Only names of our forms get a check, and visible ones a look only where placeholders may be.
    const bool placeholders = mayHoldPlaceholders(folderFd);
    std::vector<std::pair<std::string, std::string>> runs, saves;
    std::vector<std::string> visible;
    namesAt(folderFd, [&](std::string_view entry) {
        if (!entry.starts_with('.')) {
            if (placeholders) visible.emplace_back(entry);
        } else if (const std::string_view name = targetNameOf(entry, "partial"); !name.empty()) {
            runs.emplace_back(entry, name);
        } else if (const std::string_view saved = targetNameOf(entry, "saving"); !saved.empty()) {
            saves.emplace_back(entry, saved);
        }
        return false;
    });
    PartialSweep result;
    for (const auto& [entry, name] : runs) {
        const int liveBefore = result.live;
        sweepOne(folderFd, entry, nullptr, result,
                 first ? std::function<bool()>([&, &name = name] { return first(name); }) : std::function<bool()>());
        if (result.live > liveBefore) live.insert(name);
    }
    for (const auto& [entry, name] : saves) sweepOne(folderFd, entry, nullptr, result, {});
    for (const std::string& name : visible) clearPlaceholderAt(folderFd, name);
    ::close(folderFd);
    return {live.begin(), live.end()};
}

bool clearStagingMarker(const std::filesystem::path& folder) {
    const int fd = retrying([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR || errno == ELOOP;  // no folder of ours there
    const int marker = retrying(
        [&] { return ::openat(fd, kMarkerName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
    bool cleared = marker < 0 && (errno == ENOENT || errno == ELOOP);
    struct stat held {}, named {};
    if (marker >= 0 && ::fstat(marker, &held) == 0) {
        if (!S_ISREG(held.st_mode) || held.st_nlink != 1 || held.st_uid != ::geteuid() || !sealedFor(fd, marker))
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
