#include "platform/system/staged_folder.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
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

// Removes what killed runs for this target left: staging folders (also the older credits form
// ".Name.partial-…") and, while the target is in place, old items set aside during a swap. A
// folder whose run is still going holds its lock and stays.
void removeStaleSiblings(const QString& target) {
    sweepPartials(QFile::encodeName(target).toStdString());
    const QFileInfo info(target);
    const QString name = QRegularExpression::escape(info.fileName());
    const QRegularExpression partial(QStringLiteral("^\\.%1\\.partial-[0-9a-f]{12}$").arg(name));
    const QRegularExpression aside(QStringLiteral("^\\.%1\\.([0-9a-f]{8}\\.old|old-[0-9a-f]{12})$").arg(name));
    const bool targetPresent = info.exists();
    const QDir parent = info.dir();
    for (const QString& entry : parent.entryList(QDir::Dirs | QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        const bool stale = partial.match(entry).hasMatch() || (targetPresent && aside.match(entry).hasMatch());
        if (!stale) continue;
        const QString path = parent.filePath(entry);
        const QFileInfo item(path);
        if (!item.isDir() || item.isSymLink()) {
            QFile::remove(path);
            continue;
        }
        const int fd = openLocked(path, LOCK_EX | LOCK_NB);
        if (fd < 0) continue;
        QDir(path).removeRecursively();
        ::close(fd);
    }
}

}  // namespace

StagedFolder::StagedFolder(QString target) : target_(QDir::cleanPath(QFileInfo(target).absoluteFilePath())) {
    const QString parent = QFileInfo(target_).absolutePath();
    if (!QDir().mkpath(parent)) throwFileError("Could not create the folder", parent);
    removeStaleSiblings(target_);
    staging_ = siblingName(target_, "partial");
    const QByteArray name = QFile::encodeName(staging_);
    if (::mkdir(name.constData(), 0777) != 0) throwFileError("Could not create", target_, systemReason(errno));
    lock_ = openLocked(staging_, LOCK_EX);
}

StagedFolder::~StagedFolder() {
    if (!committed_) removeItem(staging_);
    if (lock_ >= 0) ::close(lock_);
}

QString StagedFolder::userText(QString text) const { return text.replace(staging_, target_); }

void StagedFolder::commit() {
    const QFileInfo existing(target_);
    const QByteArray from = QFile::encodeName(staging_);
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
    removeItem(aside);
}

}  // namespace qm
