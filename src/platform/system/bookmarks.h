#pragma once
// Bookmarks and file access. A bookmark is the absolute path as UTF-8 bytes; resolving it fails
// when nothing exists there any more. Access is granted when the item exists and is readable
// (and, for a folder the caller writes into, writable); stopping access has nothing to release.

#include <optional>

#include <QByteArray>
#include <QString>

namespace qm {

enum class BookmarkScope {
    plain,
    securityScoped,
};

struct ResolvedBookmark {
    QString path;        // absolute, canonical
    bool stale = false;  // the stored path no longer names the item directly (moved link, "..")
};

std::optional<QByteArray> createBookmark(const QString& path, BookmarkScope scope);
std::optional<ResolvedBookmark> resolveBookmark(const QByteArray& bookmark, BookmarkScope scope);

enum class AccessMode {
    read,
    readWrite,  // a folder the caller will write into
};

bool startAccessing(const QString& path, AccessMode mode = AccessMode::read);
void stopAccessing(const QString& path);

// True when the process environment carries APP_SANDBOX_CONTAINER_ID.
bool isSandboxed();

}  // namespace qm
