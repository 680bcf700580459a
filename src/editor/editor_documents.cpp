// The editor's documents: new, open (probing the media in the background), save and save as,
// the question before unsaved work is replaced, and the panels of import and packaging.

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPromise>
#include <QThreadPool>

#include "editor/editor_model.h"
#include "editor/editor_packaging.h"
#include "engine/media_info.h"
#include "platform/system/bookmarks.h"
#include "platform/system/desktop_services.h"
#include "platform/system/model_support.h"
#include "platform/system/staged_folder.h"
#include "platform/system/user_file.h"

namespace qm {

namespace {


QFuture<void> finished() { return QtFuture::makeReadyFuture(); }

bool isPackagePath(const QString& path) { return QFileInfo(path).suffix().toLower() == QLatin1String("qmpack"); }

// Why the project can't be written to `file` (empty: it can): writing over a file the project
// reads would destroy it.
QString saveRefusal(const QStringList& mediaPaths, const QString& file) {
    const QString target = QFileInfo(file).canonicalFilePath();
    if (target.isEmpty()) return {};
    for (const QString& path : mediaPaths)
        if (QFileInfo(path).canonicalFilePath() == target)
            return EditorModel::tr("The project can’t be saved as “%1”: it is a media file of this project.")
                .arg(QFileInfo(file).fileName());
    return {};
}

// The file a save writes: a package's own project file, or the target itself.
QString projectFile(const QString& target) {
    return isPackagePath(target) ? target + QStringLiteral("/project.qmproj") : target;
}

}  // namespace

QThreadPool* EditorModel::workers() {
    if (!workers_) {
        workers_ = std::make_unique<QThreadPool>();
        workers_->setMaxThreadCount(4);
    }
    return workers_.get();
}

DesktopServices& EditorModel::desktop() const {
    return environment_.desktop != nullptr ? *environment_.desktop : desktopServices();
}

void EditorModel::appendImportError(const QString& line) {
    importErrors_.append(line);
    emit importErrorsChanged();
}

void EditorModel::setProjectURL(QString url) {
    if (url == projectURL_) return;
    projectURL_ = std::move(url);
    emit projectURLChanged();
    emit windowTitleChanged();
}
void EditorModel::clearRendererReaders() { renderer_->clearReaders(); }

void EditorModel::probeMedia(std::vector<MediaItem> items, quint64 generation, std::function<void()> done) {
    ++probesRunning_;
    auto remaining = std::make_shared<std::size_t>(items.size());
    auto finish = [this, generation, done = std::move(done)] {
        --probesRunning_;
        if (generation == documentGeneration_ && done) done();
    };
    if (items.empty()) {
        postTo(this, std::move(finish));
        return;
    }
    // Probes run side by side; each result is stored as it comes, the last one ends the run.
    auto shared = std::make_shared<std::function<void()>>(std::move(finish));
    for (MediaItem& item : items) {
        workers()->start([this, item = std::move(item), generation, remaining, shared] {
            // Taken first: a file changed during the probe differs from it at the next look.
            const std::optional<FileStamp> stamp = mediaFileStamp(item.path);
            std::optional<MediaInfo> info;
            QString error;
            try {
                info = MediaInfo::load(toPath(item.path), true);
            } catch (const std::exception& e) {
                // A file that does not probe stays missing; opening lists it afterwards.
                error = QString::fromUtf8(e.what());
            }
            postTo(this, [this, id = item.id, path = item.path, stamp, info = std::move(info), error, generation,
                          remaining, shared] {
                if (generation == documentGeneration_) {
                    MediaInfos infos = infos_;
                    // The file may have been replaced since the project was saved.
                    if (info && takeReprobe(infos, id, path, *info)) {
                        noteProbed(id, path, stamp, std::nullopt);
                        setInfos(std::move(infos));
                        enqueueAnalysis(id);
                    } else if (!info) {
                        noteProbed(id, path, stamp, error);
                    }
                }
                if (--*remaining == 0) (*shared)();
            });
        });
    }
}

void EditorModel::newProject() {
    pause();
    ++documentGeneration_;
    seenFiles_.clear();
    endPendingGesture();
    setProject(Project::makeNew());
    setInfos({});
    resetAnalysis();
    const bool hadUndo = history_.undoCount() > 0, hadRedo = history_.redoCount() > 0;
    history_.clear();
    if (hadUndo) emit undoStackChanged();
    if (hadRedo) emit redoStackChanged();
    setSelectedClipID({});
    setProjectURL({});
    setIsDirty(false);
    setPlayhead(0);
    clearRendererReaders();
    setPreviewImage({});
    // The pause above asked for a picture before the reset; this one shows the new project.
    requestRender();
}

QFuture<void> EditorModel::openProject(const QString& path) {
    QString location = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QFileInfo given(location);
    // The project file inside a package opens as the package, so its copies are found.
    if (given.fileName() == QLatin1String("project.qmproj") && isPackagePath(given.absolutePath()))
        location = given.absolutePath();
    startAccessing(location);
    Project opened;
    try {
        opened = Project::open(location);
    } catch (const std::exception& e) {
        appendImportError(QString::fromUtf8(e.what()));
        return finished();
    }
    newProject();
    const quint64 generation = documentGeneration_;
    setProject(opened);
    setProjectURL(location);
    // Clean from here: an edit made while the media are probed counts as unsaved.
    setIsDirty(false);

    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    // A newer document ends this open's future too: its probes store nothing from now on.
    auto superseded = std::make_shared<QMetaObject::Connection>();
    *superseded = connect(this, &EditorModel::projectURLChanged, this, [this, promise, generation, superseded] {
        if (generation == documentGeneration_) return;
        disconnect(*superseded);
        promise->finish();
    });
    probeMedia(opened.media, generation, [this, promise, superseded] {
        disconnect(*superseded);
        if (hasMissingMedia()) {
            QStringList names;
            for (const MediaItem& item : project_.media)
                if (isMissing(item.id)) names.append(item.name);
            appendImportError(tr("Missing media: ") + names.join(QStringLiteral(", ")));
            appendImportError(
                tr("Click Relink… at the bottom of the media list, or choose a folder to find them all at once."));
        }
        requestRender();
        promise->finish();
    });
    return promise->future();
}

QString EditorModel::panelFolder() const {
    return projectURL_.isEmpty() ? QString() : QFileInfo(projectURL_).absolutePath();
}

bool EditorModel::saveProject(bool as) {
    QStringList mediaPaths;
    for (const MediaItem& item : project_.media) mediaPaths.append(item.path);
    QString target = projectURL_;
    if (target.isEmpty() || as) {
        SavePanelRequest request;
        // Only a project file: a package saved over would keep the media of another one (or of
        // none); packages are written by Package Project….
        request.allowedExtensions = {QStringLiteral("qmproj")};
        // A package's own name could not be chosen here; its project file's name can.
        request.suggestedName = projectURL_.isEmpty()       ? tr("Untitled") + QStringLiteral(".qmproj")
                                : isPackagePath(projectURL_) ? QFileInfo(projectURL_).completeBaseName() + QStringLiteral(".qmproj")
                                                             : QFileInfo(projectURL_).fileName();
        request.kind = PanelKind::projects;
        request.documentDirectory = panelFolder();
        request.refusal = [mediaPaths](const QString& path) { return saveRefusal(mediaPaths, projectFile(path)); };
        const auto chosen = desktop().runSavePanel(request);
        if (!chosen || chosen->isEmpty()) return false;
        if (isPackagePath(*chosen)) {
            appendImportError(tr("The project “%1” could not be saved: use Package Project… to write a package.")
                                  .arg(QFileInfo(*chosen).fileName()));
            return false;
        }
        target = *chosen;
    }
    // Save keeps writing the open package's project file, beside the media it was packed with.
    const QString file = projectFile(target);
    try {
        if (const QString refused = saveRefusal(mediaPaths, file); !refused.isEmpty())
            throw std::runtime_error(refused.toStdString());
        // A package's project file reached through a link would be written outside the package.
        if (file != target && QFileInfo(file).isSymLink())
            throw std::runtime_error(
                tr("The project “%1” could not be saved: it lies outside the package.").arg(QFileInfo(file).fileName()).toStdString());
        // What killed packages in the folder left goes with any save there.
        clearDeadPackageRuns(QFileInfo(target).absolutePath());
        const QString reason = writeUserFile(file, project_.encoded());
        if (!reason.isEmpty())
            throw std::runtime_error(
                tr("The project “%1” could not be saved: %2").arg(QFileInfo(file).fileName(), reason).toStdString());
    } catch (const std::exception& e) {
        emit saveFailed();
        appendImportError(QString::fromUtf8(e.what()));
        return false;
    }
    setProjectURL(target);
    setIsDirty(false);
    return true;
}

bool EditorModel::confirmReplacingProject() {
    if (!isDirty_) return true;
    const QString name = projectURL_.isEmpty() ? tr("Untitled") : QFileInfo(projectURL_).completeBaseName();
    return mayReplaceChanges(desktop(), name, [this] { return saveProject(false); });
}

QFuture<void> EditorModel::importMediaPanel() {
    OpenPanelRequest request;
    request.allowsMultipleSelection = true;
    request.allowedContentTypes = {PanelContentType::movie, PanelContentType::audio};
    request.kind = PanelKind::editorMedia;
    request.documentDirectory = panelFolder();
    const QStringList chosen = desktop().runOpenPanel(request);
    if (chosen.isEmpty()) return finished();
    return importFiles(chosen);
}

QFuture<void> EditorModel::packageProjectPanel() {
    if (project_.media.empty() || packagingProgress()) return finished();
    SavePanelRequest request;
    const QString base = projectURL_.isEmpty() ? tr("Untitled") : QFileInfo(projectURL_).completeBaseName();
    request.suggestedName = base + QLatin1Char(' ') + tr("Package") + QStringLiteral(".qmpack");
    request.message = tr("The package holds the project and copies of all its media files.");
    request.allowedExtensions = {QStringLiteral("qmpack")};
    request.kind = PanelKind::packages;
    request.documentDirectory = panelFolder();
    request.refusal = [project = project_](const QString& path) { return packageRefusal(project, path); };
    const auto chosen = desktop().runSavePanel(request);
    if (!chosen || chosen->isEmpty()) return finished();
    return packageProject(*chosen);
}

}  // namespace qm
