#include "platform/system/package_copy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "platform/system/file_error.h"
#include "platform/system/user_file.h"

namespace qm {

QString copyIntoPackage(const QString& source, const QString& package, std::set<QString>& usedNames) {
    const QString media = QDir(package).filePath(QStringLiteral("Media"));
    if (!QDir().mkpath(media)) throwFileError("Could not create the folder", media);

    const QFileInfo info(source);
    // Copying a named pipe or a device would block or never end.
    if (info.exists() && !info.isFile()) throwFileError("Could not copy", source, QStringLiteral("Not a regular file"));
    const QString fileName = info.fileName();
    // The extension is what follows the last dot, as a path extension is; a leading dot alone
    // (".hidden") is a name without extension.
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const bool hasExtension = dot > 0;
    const QString base = hasExtension ? fileName.left(dot) : fileName;
    const QString extension = hasExtension ? fileName.mid(dot + 1) : QString();

    QString candidate = fileName;
    for (int n = 2; usedNames.count(candidate.toLower()) > 0; ++n) {
        candidate = base + QLatin1Char(' ') + QString::number(n);
        if (hasExtension) candidate += QLatin1Char('.') + extension;
    }
    usedNames.insert(candidate.toLower());

    const QString destination = QDir(media).filePath(candidate);
    const QFileInfo target(destination);
    // Packaging a project that already lives in this package would otherwise delete the very
    // file it is about to copy.
    if (target.exists() && target.canonicalFilePath() == info.canonicalFilePath()) return target.absoluteFilePath();

    // Copy aside first, so that a failed copy leaves an earlier copy in place.
    const QString partial = destination + QStringLiteral(".partial");
    QFile::remove(partial);
    if (const QString reason = copyUserFile(source, partial); !reason.isEmpty()) throwFileError("Could not copy", source, reason);
    if (target.exists() || target.isSymLink()) {
        const bool removed = target.isDir() ? QDir(destination).removeRecursively() : QFile::remove(destination);
        if (!removed) {
            QFile::remove(partial);
            throwFileError("Could not remove", destination);
        }
    }
    if (!QFile::rename(partial, destination)) {
        QFile::remove(partial);
        throwFileError("Could not copy", source);
    }
    return QFileInfo(destination).absoluteFilePath();
}

bool isInsidePackage(const QString& package, const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) return true;
    const QString root = QFileInfo(package).canonicalFilePath();
    const QString target = info.canonicalFilePath();
    return !root.isEmpty() && target.startsWith(root + QLatin1Char('/'));
}

std::optional<QString> packagedCopy(const QString& package, const QString& packagedPath) {
    if (packagedPath.isEmpty() || QDir::isAbsolutePath(packagedPath)) return std::nullopt;
    for (const QString& part : packagedPath.split(QLatin1Char('/')))
        if (part == QLatin1String("..")) return std::nullopt;
    const QString candidate = QDir::cleanPath(package + QLatin1Char('/') + packagedPath);
    if (!QFileInfo::exists(candidate) || !isInsidePackage(package, candidate)) return std::nullopt;
    return candidate;
}

}  // namespace qm
