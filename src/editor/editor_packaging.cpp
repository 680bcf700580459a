// Writing a self-contained package of the open project: copies of the readable media in
// "Media", the project pointing at them in "project.qmproj". The package is built beside its
// final place and swapped in whole, so a failure leaves an earlier package as it was.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <stdexcept>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPromise>
#include <QSaveFile>
#include <QThreadPool>
#include <QUuid>

#include "editor/editor_model.h"
#include "platform/system/model_support.h"
#include "platform/system/package_copy.h"

namespace qm {

namespace {

QString tr(const char* text) { return QCoreApplication::translate("EditorModel", text); }

struct PackageEntry {
    QUuid id;
    QString path;
    QString name;
};

// Whether `path` is `root` or lies inside it, judged on resolved paths.
bool isOrInside(const QString& path, const QString& root) {
    const QString p = QFileInfo(path).canonicalFilePath();
    const QString r = QFileInfo(root).exists() ? QFileInfo(root).canonicalFilePath() : QDir::cleanPath(root);
    if (p.isEmpty() || r.isEmpty()) return false;
    return p == r || p.startsWith(r + QLatin1Char('/'));
}

// Puts `built` at `target`: exchanged atomically with an existing item, which is then removed.
void swapIn(const QString& built, const QString& target) {
    const QByteArray from = QFile::encodeName(built), to = QFile::encodeName(target);
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink()) {
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) != 0)
            throw std::runtime_error(tr("The package “%1” could not replace the old one: %2")
                                         .arg(QFileInfo(target).fileName(), QString::fromLocal8Bit(std::strerror(errno)))
                                         .toStdString());
        // `built` now names the old package.
        const QFileInfo old(built);
        if (old.isDir() && !old.isSymLink()) QDir(built).removeRecursively();
        else QFile::remove(built);
        return;
    }
    if (::rename(from.constData(), to.constData()) != 0)
        throw std::runtime_error(tr("The package “%1” could not be written: %2")
                                     .arg(QFileInfo(target).fileName(), QString::fromLocal8Bit(std::strerror(errno)))
                                     .toStdString());
}

// Copies and rewrites the project into a new folder `building`, with media paths as they will be
// once it is renamed to `package`. Reports each entry done through `progress`.
QStringList writePackageInto(const QString& building, const QString& package, Project& project,
                             const std::vector<PackageEntry>& entries, const std::function<void(int)>& progress) {
    if (!QDir().mkpath(building))
        throw std::runtime_error(tr("The folder “%1” could not be created.").arg(building).toStdString());
    std::set<QString> used;
    QStringList missing;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PackageEntry& entry = entries[i];
        const QFileInfo source(entry.path);
        auto item = std::find_if(project.media.begin(), project.media.end(),
                                 [&](const MediaItem& m) { return m.id == entry.id; });
        if (source.isFile() && source.isReadable() && item != project.media.end()) {
            const QString copy = copyIntoPackage(entry.path, building, used);
            const QString name = QFileInfo(copy).fileName();
            item->path = QDir(package).filePath(QStringLiteral("Media/") + name);
            item->packagedPath = QStringLiteral("Media/") + name;
            item->bookmark.reset();
        } else {
            missing.append(entry.name);
        }
        progress(int(i + 1));
    }
    const QByteArray bytes = project.encoded();
    QSaveFile out(QDir(building).filePath(QStringLiteral("project.qmproj")));
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        throw std::runtime_error(tr("The project file could not be written: %1").arg(out.errorString()).toStdString());
    return missing;
}

}  // namespace

QFuture<void> EditorModel::packageProject(const QString& path) {
    if (packagingProgress_) return QtFuture::makeReadyFuture();
    const QString package = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    Project project = project_;
    std::vector<PackageEntry> entries;
    for (const MediaItem& item : project.media) entries.push_back({item.id, item.path, item.name});
    // Replacing the target removes it: it must not be, or hold, a file the project uses.
    for (const PackageEntry& entry : entries) {
        if (isOrInside(entry.path, package)) {
            appendImportError(tr("The package can’t be written to “%1”: it holds “%2”, a media file of this project.")
                                  .arg(QFileInfo(package).fileName(), entry.name));
            return QtFuture::makeReadyFuture();
        }
    }
    const int total = int(entries.size());
    setPackagingProgress(PackagingProgress{0, total});
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    workers()->start([this, package, project = std::move(project), entries = std::move(entries), total,
                      promise]() mutable {
        const QFileInfo target(package);
        const QString building = QDir(target.absolutePath())
                                     .filePath(QStringLiteral(".") + target.fileName() + QStringLiteral(".") +
                                               QUuid::createUuid().toString(QUuid::Id128).left(8) +
                                               QStringLiteral(".partial"));
        QString error;
        QStringList missing;
        try {
            // Progress is posted from this one thread, so it arrives in order and before the end.
            missing = writePackageInto(building, package, project, entries, [this, total](int done) {
                postTo(this, [this, done, total] { setPackagingProgress(PackagingProgress{done, total}); });
            });
            swapIn(building, package);
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
            QDir(building).removeRecursively();
        }
        postTo(this, [this, package, error, missing, promise] {
            setPackagingProgress(std::nullopt);
            if (!error.isEmpty())
                appendImportError(error);
            else
                setPackageResult(PackageResult{QUuid::createUuid(), package, missing});
            promise->finish();
        });
    });
    return promise->future();
}

}  // namespace qm
