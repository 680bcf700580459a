#include "platform/system/staged_folder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include "platform/system/file_error.h"

namespace qm {

namespace {

// A hidden name beside the target that no other run picks.
QString siblingName(const QString& target, const char* role) {
    const QFileInfo info(target);
    return info.dir().filePath(QStringLiteral(".%1.%2-%3")
                                   .arg(info.fileName(), QString::fromLatin1(role),
                                        QUuid::createUuid().toString(QUuid::Id128).left(12)));
}

void removeItem(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) {
        QDir(path).removeRecursively();
    } else {
        QFile::remove(path);
    }
}

}  // namespace

StagedFolder::StagedFolder(QString target) : target_(QDir::cleanPath(QFileInfo(target).absoluteFilePath())) {
    staging_ = siblingName(target_, "partial");
    if (!QDir().mkpath(staging_)) throwFileError("Could not create the folder", staging_);
}

StagedFolder::~StagedFolder() {
    if (!committed_) removeItem(staging_);
}

void StagedFolder::commit() {
    const QFileInfo existing(target_);
    const QByteArray from = QFile::encodeName(staging_);
    const QByteArray to = QFile::encodeName(target_);
    if (!existing.exists() && !existing.isSymLink()) {
        if (std::rename(from.constData(), to.constData()) != 0) throwFileError("Could not move into place", target_, QString::fromLocal8Bit(std::strerror(errno)));
        committed_ = true;
        return;
    }
    // The staged folder and the old item trade places in one step; the old item then lives under
    // the staging name and goes with it.
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) == 0) {
        committed_ = true;
        removeItem(staging_);
        return;
    }
    const QString aside = siblingName(target_, "old");
    const QByteArray asideName = QFile::encodeName(aside);
    if (std::rename(to.constData(), asideName.constData()) != 0) throwFileError("Could not replace", target_, QString::fromLocal8Bit(std::strerror(errno)));
    if (std::rename(from.constData(), to.constData()) != 0) {
        const int error = errno;
        std::rename(asideName.constData(), to.constData());
        throwFileError("Could not move into place", target_, QString::fromLocal8Bit(std::strerror(error)));
    }
    committed_ = true;
    removeItem(aside);
}

}  // namespace qm
