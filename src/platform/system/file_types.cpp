#include "platform/system/file_types.h"

#include <array>

#include <QFileInfo>
#include <QMimeDatabase>
#include <QMimeType>

namespace qm {

namespace {

constexpr std::array<const char*, 8> kPackageExtensions = {
    "qmpack", "qmcredits", "app", "bundle", "framework", "plugin", "rtfd", "fcpbundle",
};

// Container types that the shared MIME database files outside video/.
constexpr std::array<const char*, 3> kOtherMovieTypes = {
    "application/mxf",
    "application/x-matroska",
    "application/vnd.ms-asf",
};

bool typeOrAncestorMatches(const QMimeType& type, auto&& predicate) {
    if (predicate(type.name())) return true;
    for (const QString& ancestor : type.allAncestors()) {
        if (predicate(ancestor)) return true;
    }
    return false;
}

QMimeType contentType(const QString& path) {
    static const QMimeDatabase database;
    return database.mimeTypeForFile(path, QMimeDatabase::MatchDefault);
}

}  // namespace

bool isPackageFolder(const QString& path) {
    const QFileInfo info(path);
    if (!info.isDir()) return false;
    const QString suffix = info.suffix().toLower();
    for (const char* extension : kPackageExtensions) {
        if (suffix == QLatin1String(extension)) return true;
    }
    return false;
}

bool isHiddenItem(const QString& path) {
    return QFileInfo(path).fileName().startsWith(QLatin1Char('.'));
}

bool isMovieFile(const QString& path) {
    const QFileInfo info(path);
    if (!info.isFile()) return false;
    const auto isMovieType = [](const QString& name) {
        if (name.startsWith(QLatin1String("video/"))) return true;
        for (const char* other : kOtherMovieTypes) {
            if (name == QLatin1String(other)) return true;
        }
        return false;
    };
    if (typeOrAncestorMatches(contentType(path), isMovieType)) return true;
    // A suffix shared with a text format (".ts" for transport streams and translations): the
    // movie reading wins unless the bytes are text.
    static const QMimeDatabase database;
    for (const QMimeType& candidate : database.mimeTypesForFileName(info.fileName())) {
        if (!typeOrAncestorMatches(candidate, isMovieType)) continue;
        const QMimeType byContent = database.mimeTypeForFile(path, QMimeDatabase::MatchContent);
        return !byContent.inherits(QStringLiteral("text/plain"));
    }
    return false;
}

bool isImageFile(const QString& path) {
    const QFileInfo info(path);
    if (!info.isFile()) return false;
    return typeOrAncestorMatches(contentType(path),
                                 [](const QString& name) { return name.startsWith(QLatin1String("image/")); });
}

}  // namespace qm
