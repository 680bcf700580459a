// Writing a self-contained package of the open project: copies of the readable media in
// "Media", the project pointing at them in "project.qmproj". The package is built beside its
// final place and swapped in whole, so a failure leaves an earlier package as it was. The runs
// are EditorPackaging's, on the background pool.

#include <optional>
#include <set>
#include <stdexcept>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPromise>
#include <QUuid>

#include "editor/editor_model.h"
#include "editor/editor_packaging.h"
#include "platform/system/model_support.h"
#include "platform/system/package_copy.h"
#include "platform/system/staged_folder.h"
#include "platform/system/user_file.h"

namespace qm {

namespace {

// The model's texts keep the model's translation context.
QString modelText(const char* text) { return QCoreApplication::translate("EditorModel", text); }

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

// Copies and rewrites the project into a new folder `building`, with media paths as they will be
// once it is renamed to `package`. Reports each entry done through `progress`.
QStringList writePackageInto(const QString& building, const QString& package, Project& project,
                             const std::vector<PackageEntry>& entries, const std::function<void(int)>& progress) {
    std::set<QString> used;
    QStringList missing;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PackageEntry& entry = entries[i];
        const QFileInfo source(entry.path);
        auto item = std::find_if(project.media.begin(), project.media.end(),
                                 [&](const MediaItem& m) { return m.id == entry.id; });
        if (source.exists() && source.isReadable() && item != project.media.end()) {
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
    const QString reason = writeUserFile(QDir(building).filePath(QStringLiteral("project.qmproj")), bytes);
    if (!reason.isEmpty())
        throw std::runtime_error(modelText("The project file could not be written: %1").arg(reason).toStdString());
    return missing;
}

}  // namespace

QString packageRefusal(const Project& project, const QString& path) {
    const QString package = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QString canonicalPackage = QFileInfo(package).canonicalFilePath();
    for (const MediaItem& item : project.media) {
        if (!isOrInside(item.path, package)) continue;
        if (QFileInfo(item.path).canonicalFilePath() == canonicalPackage)
            return modelText("The package can’t be written to “%1”: it is a media file of this project.")
                .arg(QFileInfo(package).fileName());
        return modelText("The package can’t be written to “%1”: it holds “%2”, a media file of this project.")
            .arg(QFileInfo(package).fileName(), item.name);
    }
    return {};
}

EditorPackaging::EditorPackaging(QObject* parent) : QObject(parent) {}

EditorPackaging::~EditorPackaging() {
    ++generation_;
    task_.wait();
}

void EditorPackaging::setProgress(std::optional<PackagingProgress> value) {
    assignAndNotify(this, progress_, std::move(value), &EditorPackaging::progressChanged);
}
void EditorPackaging::setResult(std::optional<PackageResult> value) {
    assignAndNotify(this, result_, std::move(value), &EditorPackaging::resultChanged);
}

QFuture<void> EditorPackaging::start(const Project& source, const QString& path) {
    if (progress_) return QtFuture::makeReadyFuture();
    const QString package = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    Project project = source;
    std::vector<PackageEntry> entries;
    for (const MediaItem& item : project.media) entries.push_back({item.id, item.path, item.name});
    if (const QString refused = packageRefusal(project, package); !refused.isEmpty()) {
        emit failed(refused);
        return QtFuture::makeReadyFuture();
    }
    const int total = int(entries.size());
    const quint64 generation = ++generation_;
    setProgress(PackagingProgress{0, total});
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    task_ = PoolTask([this, package, project = std::move(project), entries = std::move(entries), total, promise,
                   generation]() mutable {
        QString error;
        QStringList missing;
        std::optional<StagedFolder> staged;
        try {
            staged.emplace(package);
            // Progress is posted from this one thread, so it arrives in order and before the end.
            missing = writePackageInto(staged->path(), package, project, entries, [this, total, generation](int done) {
                postTo(this, [this, done, total, generation] {
                    if (generation == generation_) setProgress(PackagingProgress{done, total});
                });
            });
            staged->commit();
        } catch (const std::exception& e) {
            error = staged ? staged->userText(QString::fromUtf8(e.what())) : QString::fromUtf8(e.what());
        }
        staged.reset();
        postTo(this, [this, package, error, missing, promise, generation] {
            if (generation == generation_) {
                setProgress(std::nullopt);
                if (!error.isEmpty())
                    emit failed(error);
                else
                    setResult(PackageResult{QUuid::createUuid(), package, missing});
            }
            promise->finish();
        });
    });
    return promise->future();
}

// --- The model's side ------------------------------------------------------------------------

QFuture<void> EditorModel::packageProject(const QString& path) { return packaging_->start(project_, path); }

void EditorModel::clearPackageResult() { packaging_->clearResult(); }

}  // namespace qm
