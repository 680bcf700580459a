#include "engine/output_naming.h"

#include <cerrno>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/conversion_error.h"

namespace qm {

namespace {

// The first candidate name that `take` accepts.
std::filesystem::path firstName(OutputFormat format, const std::filesystem::path& source,
                                const std::filesystem::path& folder,
                                const std::function<bool(const std::filesystem::path&)>& take) {
    const std::string base = source.stem().string() + "_" + std::string(fileTag(format));
    const std::string extension = isImageSequence(format) ? std::string() : "." + std::string(fileExtension(format));
    for (long n = 1;; ++n) {
        std::string name = n == 1 ? base : base + " " + std::to_string(n);
        auto candidate = folder / (name + extension);
        if (take(candidate)) return candidate;
    }
}

}  // namespace

std::filesystem::path outputURL(OutputFormat format, const std::filesystem::path& source,
                                const std::filesystem::path& folder,
                                const std::function<bool(const std::filesystem::path&)>& exists) {
    return firstName(format, source, folder, [&](const std::filesystem::path& candidate) {
        if (exists) return !exists(candidate);
        std::error_code ec;
        return std::filesystem::symlink_status(candidate, ec).type() == std::filesystem::file_type::not_found;
    });
}

std::filesystem::path reserveOutputURL(OutputFormat format, const std::filesystem::path& source,
                                       const std::filesystem::path& folder) {
    const bool sequence = isImageSequence(format);
    return firstName(format, source, folder, [&](const std::filesystem::path& candidate) {
        // Both calls fail with EEXIST on anything already there, a dangling link included.
        int rc = 0;
        if (sequence) {
            rc = ::mkdir(candidate.c_str(), 0777);
        } else {
            rc = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (rc >= 0) rc = ::close(rc);
        }
        if (rc == 0) return true;
        if (errno == EEXIST) return false;
        throw ConversionError::writerFailed(candidate.filename().string() + " (" +
                                            std::generic_category().message(errno) + ")");
    });
}

void releaseOutputURL(const std::filesystem::path& output) {
    std::error_code ignored;
    std::filesystem::remove(output, ignored);  // a folder with frames in it is not empty: it stays
}

}  // namespace qm
