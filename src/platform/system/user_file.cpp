#include "platform/system/user_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

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

// Makes the folder's entries (a rename) durable. Some file systems cannot sync a folder; that
// is not a failure of the write.
void syncFolder(const QByteArray& folder) {
    const int fd = retrying([&] { return ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

QString systemReason(int error) { return qt_error_string(error); }

QString writeUserFile(const QString& path, const QByteArray& bytes) {
    QString target = path;
    const QFileInfo link(path);
    if (link.isSymLink() && !link.canonicalFilePath().isEmpty()) target = link.canonicalFilePath();
    const QFileInfo info(target);
    const QByteArray targetName = QFile::encodeName(target);
    const QByteArray folder = QFile::encodeName(info.absolutePath());

    // A fresh hidden name beside the target: the rename then stays on one file system.
    QByteArray tempName;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        tempName = folder + "/." + QFile::encodeName(info.fileName()) + '.' +
                   QByteArray::number(QRandomGenerator::global()->generate(), 16) + ".saving";
        fd = retrying([&] { return ::open(tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
        if (fd < 0 && (errno != EEXIST || attempt > 16)) return systemReason(errno);
    }
    const auto fail = [&](int error) {
        if (fd >= 0) ::close(fd);
        ::unlink(tempName.constData());
        return systemReason(error);
    };
    struct stat old {};
    if (::stat(targetName.constData(), &old) == 0 && S_ISREG(old.st_mode) && ::fchmod(fd, old.st_mode & 07777) != 0)
        return fail(errno);
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = retrying([&] { return ::write(fd, bytes.constData() + done, size_t(bytes.size() - done)); });
        if (n < 0) return fail(errno);
        done += n;
    }
    if (::fsync(fd) != 0) return fail(errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) return fail(errno);
    if (::rename(tempName.constData(), targetName.constData()) != 0) return fail(errno);
    syncFolder(folder);
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
