#include "platform/media/partial_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace qm {

std::filesystem::path partialPathFor(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x.partial",
                  static_cast<unsigned>(::getpid()) * 2654435761u + counter.fetch_add(1) * 40503u);
    return target.parent_path() / ("." + target.filename().string() + suffix);
}

int publishPartial(const std::filesystem::path& partial, const std::filesystem::path& target) {
    const int fd = ::open(partial.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        return error;
    }
    ::close(fd);
    if (::rename(partial.c_str(), target.c_str()) != 0) return errno;
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

}  // namespace qm
