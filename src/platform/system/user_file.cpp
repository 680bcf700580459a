#include "platform/system/user_file.h"

#include <cerrno>
#include <filesystem>
#include <optional>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <QFile>
#include <QFileInfo>

#include "core/partial_file.h"
#include "core/stop_signals.h"

namespace qm {

namespace {

// Runs a system call again while a signal interrupts it.
template <typename F>
auto retrying(F&& f) {
    for (;;) {
        auto result = f();
        if (result != -1 || errno != EINTR) return result;
    }
}

}  // namespace

QString systemReason(int error) { return qt_error_string(error); }

QString writeUserFile(const QString& path, const QByteArray& bytes) {
    QString target = path;
    const QFileInfo link(path);
    if (link.isSymLink() && !link.canonicalFilePath().isEmpty()) target = link.canonicalFilePath();
    const QByteArray targetName = QFile::encodeName(target);

    // A fresh hidden name beside the target, so the rename stays on one file system; locked while
    // this save lives, so the next save or run into the same folder can tell a killed save's
    // leftover from a save still going, and removes only the former.
    const std::filesystem::path targetPath(targetName.toStdString());
    // A stop that comes meanwhile waits for the save to land or fail; it would leave the hidden copy.
    const auto stopAfterwards = StopSignals::hold();
    // What killed saves into this folder left goes, whatever file they were saving.
    sweepPartialsIn(targetPath.has_parent_path() ? targetPath.parent_path() : std::filesystem::path("."),
                    [](std::string_view) { return true; }, "saving");
    std::optional<PartialFile> temporary;
    try {
        temporary.emplace(targetPath, "saving");
    } catch (const std::system_error& e) {
        return systemReason(e.code().value());
    }
    const int fd = temporary->descriptor();
    struct stat old {};
    if (::stat(targetName.constData(), &old) == 0 && S_ISREG(old.st_mode) && ::fchmod(fd, old.st_mode & 07777) != 0)
        return systemReason(errno);
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = retrying([&] { return ::write(fd, bytes.constData() + done, size_t(bytes.size() - done)); });
        if (n < 0) return systemReason(errno);
        done += n;
    }
    if (const int error = temporary->publish(); error != 0) return systemReason(error);
    return {};
}

QString copyUserFile(const QString& source, const QString& destination) {
    const QByteArray from = QFile::encodeName(source), to = QFile::encodeName(destination);
    // Not blocking: a named pipe must not hang the copy; only regular files are copied.
    const int in = retrying([&] { return ::open(from.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); });
    if (in < 0) return systemReason(errno);
    struct stat st {};
    const int statError = ::fstat(in, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (statError != 0) {
        ::close(in);
        return statError == EINVAL ? QStringLiteral("not a regular file") : systemReason(statError);
    }
    const int out = retrying([&] { return ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777); });
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return systemReason(error);
    }
    int error = 0;
    std::vector<char> buffer(std::size_t(1) << 20);
    for (;;) {
        const ssize_t n = retrying([&] { return ::read(in, buffer.data(), buffer.size()); });
        if (n <= 0) {
            if (n < 0) error = errno;
            break;
        }
        for (ssize_t done = 0; done < n && error == 0;) {
            const ssize_t w = retrying([&] { return ::write(out, buffer.data() + done, size_t(n - done)); });
            if (w < 0) error = errno;
            else done += w;
        }
        if (error != 0) break;
    }
    if (error == 0 && ::fsync(out) != 0) error = errno;
    if (::close(out) != 0 && error == 0) error = errno;
    ::close(in);
    if (error == 0) return {};
    ::unlink(to.constData());
    return systemReason(error);
}

}  // namespace qm
