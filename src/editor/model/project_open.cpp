// Opening a project file or package: read and decode it, point each medium at a file the editor
// can reach (packaged copy, then bookmark, then the stored path), and give clips stored without a
// transform the one they are drawn with.

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "editor/model/project.h"
#include "platform/system/bookmarks.h"
#include "platform/system/package_copy.h"

namespace qm {

namespace {

void migrateLegacyClips(Project& project) {
    for (Track& track : project.tracks) {
        for (Clip& clip : track.clips) {
            if (clip.transform) continue;
            if (auto transform = project.defaultTransform(clip)) {
                clip.transform = std::move(*transform);
                clip.opacity = 1.0;
            }
        }
    }
}

}  // namespace

Project Project::open(const QString& path) {
    const QFileInfo given(QDir::cleanPath(path));
    const bool isPackage = given.suffix().toLower() == QLatin1String("qmpack");
    const QString packageDir = QDir::cleanPath(given.absoluteFilePath());
    const QString filePath = isPackage ? packageDir + QStringLiteral("/project.qmproj") : path;

    // Like its media, a package's project file must lie inside it: through a link, a later save
    // would write somewhere else on the disk.
    if (isPackage && !isInsidePackage(packageDir, filePath)) {
        throw ProjectFileError(ProjectFileError::Kind::unreadable, "",
                               "The project file “project.qmproj” could not be opened: it lies outside the package.");
    }
    QFile file(filePath);
    // A named pipe would block the read until some writer came.
    if (QFileInfo(filePath).exists() && !QFileInfo(filePath).isFile()) {
        throw ProjectFileError(ProjectFileError::Kind::unreadable, "",
                               "The project file “" + QFileInfo(filePath).fileName().toStdString() +
                                   "” could not be opened: Not a regular file");
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throw ProjectFileError(ProjectFileError::Kind::unreadable, "",
                               "The project file “" + QFileInfo(filePath).fileName().toStdString() +
                                   "” could not be opened: " + file.errorString().toStdString());
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throw ProjectFileError(ProjectFileError::Kind::unreadable, "",
                               "The project file “" + QFileInfo(filePath).fileName().toStdString() +
                                   "” could not be read: " + file.errorString().toStdString());
    }
    Project project = decode(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));

    for (MediaItem& item : project.media) {
        if (isPackage && item.packagedPath) {
            if (const auto copy = packagedCopy(packageDir, *item.packagedPath)) {
                item.path = *copy;
                continue;
            }
        }
        if (item.bookmark) {
            if (const auto resolved = resolveBookmark(*item.bookmark, BookmarkScope::securityScoped)) {
                // Held for the rest of the session: the editor reads the file whenever it renders.
                startAccessing(resolved->path);
                item.path = resolved->path;
            }
        }
    }
    migrateLegacyClips(project);
    return project;
}

}  // namespace qm
