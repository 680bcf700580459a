#include "platform/system/staged_folder.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include "core/partial_file.h"
#include "platform/system/file_error.h"
#include "platform/system/user_file.h"

namespace qm {

namespace {

// A hidden name beside the target that no other run picks.
QString siblingName(const QString& target, const char* role) {
    const QFileInfo info(target);
    return info.dir().filePath(QStringLiteral(".%1.%2.%3")
                                   .arg(info.fileName(), QUuid::createUuid().toString(QUuid::Id128).left(8),
                                        QString::fromLatin1(role)));
}

void removeItem(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) {
        QDir(path).removeRecursively();
    } else {
        QFile::remove(path);
    }
}

int openLocked(const QString& folder, int operation) {
    const QByteArray name = QFile::encodeName(folder);
    const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    if (::flock(fd, operation) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Marks a folder of ours (our staging folder, or an old item on its way out) so that a sweep
// after a kill knows it for ours; an unmarked hidden folder is never removed.
QString markerIn(const QString& folder) {
    return folder + QLatin1Char('/') + QString::fromLatin1(kStagingMarker.data(), qsizetype(kStagingMarker.size()));
}

void mark(const QString& folder) {
    const QByteArray name = QFile::encodeName(markerIn(folder));
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) ::close(fd);
}

bool isFolder(const QString& path) {
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
}

// Removes what killed runs for this target left: marked staging folders and, while the target
// is in place, old items set aside during a swap. A folder whose run is still going holds its
// lock and stays; what is not provably ours stays too.
void removeStaleSiblings(const QString& target) {
    const std::filesystem::path path = QFile::encodeName(target).toStdString();
    sweepPartials(path);
    if (QFileInfo(target).exists()) sweepPartials(path, "old");
}

}  // namespace

StagedFolder::StagedFolder(QString target) : target_(QDir::cleanPath(QFileInfo(target).absoluteFilePath())) {
    const QString parent = QFileInfo(target_).absolutePath();
    if (!QDir().mkpath(parent)) throwFileError("Could not create the folder", parent);
    removeStaleSiblings(target_);
    staging_ = siblingName(target_, "partial");
    const QByteArray name = QFile::encodeName(staging_);
    if (::mkdir(name.constData(), 0777) != 0) throwFileError("Could not create", target_, systemReason(errno));
    // Locked before it is marked, so that no sweep takes it for a dead run's meanwhile.
    lock_ = openLocked(staging_, LOCK_EX);
    mark(staging_);
}

StagedFolder::~StagedFolder() {
    if (!committed_) removeItem(staging_);
    if (lock_ >= 0) ::close(lock_);
}

QString StagedFolder::userText(QString text) const { return text.replace(staging_, target_); }

void StagedFolder::commit() {
    // The marker is the staging folder's only, never part of what is put in place.
    QFile::remove(markerIn(staging_));
    const QFileInfo existing(target_);
    const QByteArray from = QFile::encodeName(staging_);
    // Only the folder this run made and filled is put in place, never what was swapped in for it.
    struct stat held {}, named {};
    if (lock_ >= 0 && (::fstat(lock_, &held) != 0 || ::lstat(from.constData(), &named) != 0 ||
                       held.st_dev != named.st_dev || held.st_ino != named.st_ino))
        throwFileError("Could not move into place", target_, systemReason(ESTALE));
    const QByteArray to = QFile::encodeName(target_);
    const QByteArray parent = QFile::encodeName(existing.absolutePath());
    const auto durable = [&] {
        committed_ = true;
        if (const int fd = ::open(parent.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    };
    if (!existing.exists() && !existing.isSymLink()) {
        if (std::rename(from.constData(), to.constData()) != 0) throwFileError("Could not move into place", target_, systemReason(errno));
        durable();
        return;
    }
    // The staged folder and the old item trade places in one step; the old item then lives under
    // the staging name and goes with it.
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) == 0) {
        durable();
        if (isFolder(staging_)) mark(staging_);
        removeItem(staging_);
        return;
    }
    // File systems without the exchange: the old item steps aside, the new one takes its place.
    const QString aside = siblingName(target_, "old");
    const QByteArray asideName = QFile::encodeName(aside);
    if (std::rename(to.constData(), asideName.constData()) != 0) throwFileError("Could not replace", target_, systemReason(errno));
    if (std::rename(from.constData(), to.constData()) != 0) {
        const int error = errno;
        std::rename(asideName.constData(), to.constData());
        throwFileError("Could not move into place", target_, systemReason(error));
    }
    durable();
    if (isFolder(aside)) mark(aside);
    removeItem(aside);
}

}  // namespace qm
