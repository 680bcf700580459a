#include "platform/system/bookmarks.h"

#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>

namespace qm {

std::optional<QByteArray> createBookmark(const QString& path, BookmarkScope) {
    if (path.isEmpty()) return std::nullopt;
    const QFileInfo info(path);
    if (!info.exists()) return std::nullopt;
    return QDir::cleanPath(info.absoluteFilePath()).toUtf8();
}

std::optional<ResolvedBookmark> resolveBookmark(const QByteArray& bookmark, BookmarkScope) {
    if (bookmark.isEmpty()) return std::nullopt;
    const QString stored = QString::fromUtf8(bookmark);
    if (!QDir::isAbsolutePath(stored)) return std::nullopt;
    const QFileInfo info(stored);
    const QString canonical = info.canonicalFilePath();  // empty when nothing is there
    if (canonical.isEmpty()) return std::nullopt;
    return ResolvedBookmark{canonical, canonical != stored};
}

bool startAccessing(const QString& path, AccessMode mode) {
    const QFileInfo info(path);
    if (!info.exists() || !info.isReadable()) return false;
    if (info.isDir() && !info.isExecutable()) return false;
    if (mode == AccessMode::readWrite && info.isDir() && !info.isWritable()) return false;
    return true;
}

void stopAccessing(const QString&) {}

bool isSandboxed() {
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    return !env.isEmpty() && env.contains(QStringLiteral("APP_SANDBOX_CONTAINER_ID"));
}

}  // namespace qm
