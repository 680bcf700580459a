#include "credits/credits_model.h"

#include <set>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "credits/strip_builder.h"
#include "platform/system/bookmarks.h"
#include "platform/system/desktop_services.h"
#include "platform/system/model_support.h"
#include "platform/system/package_copy.h"
#include "platform/system/staged_folder.h"

namespace qm {

namespace {

const QString kProjectExtension = QStringLiteral("qmcredits");

QString cleanAbsolute(const QString& path) { return QDir::cleanPath(QFileInfo(path).absoluteFilePath()); }

}  // namespace

// --- Projects ------------------------------------------------------------------------------------

CreditsProject CreditsModel::makeProject(const QString& folder) const {
    CreditsProject project;
    project.version = 1;
    project.settings = settings_;
    project.output = output_;
    project.conversionOverrides = CreditsProject::storedOverrides(conversionOverrides_);
    project.head = CreditsProject::FileReference::make(headURL_, folder);
    project.tail = CreditsProject::FileReference::make(tailURL_, folder);
    project.document = CreditsProject::FileReference::make(documentURL_, folder);
    return project;
}

QString CreditsModel::resolveReference(const std::optional<CreditsProject::FileReference>& reference,
                                       const QString& folder, QStringList& missing) {
    if (!reference) return {};
    QString file = CreditsProject::FileReference::resolve(reference, folder);
    if (file.isEmpty()) missing.append(QString::fromStdString(reference->name));
    return file;
}

void CreditsModel::clearPicture(Slot slot) {
    if (slot == Slot::closing) {
        setTailURL(QString());
        setTailImage(QImage());
        setTailKeyed(QImage());
    } else {
        setHeadURL(QString());
        setHeadImage(QImage());
        setHeadKeyed(QImage());
    }
    rebuildRenderer();
}

void CreditsModel::newProject() {
    pause();
    clearPicture(Slot::opening);
    clearPicture(Slot::closing);
    removeDocument();
    setProjectURL(QString());
    saved_.reset();
    setProjectMessage(std::nullopt);
    setErrorMessage(std::nullopt);
}

void CreditsModel::openProject(const QString& path) {
    QString folder = cleanAbsolute(path);
    const QFileInfo given(folder);
    if (given.fileName() == QLatin1String("project.json") && !given.isDir()) folder = given.absolutePath();
    startAccessing(folder);
    CreditsProject project;
    try {
        project = CreditsProject::readPackage(folder);
    } catch (const std::exception& e) {
        setErrorMessage(tr("%1 couldn't be opened: %2").arg(QFileInfo(folder).fileName(), QString::fromUtf8(e.what())));
        return;
    }
    pause();
    QStringList missing;
    const QString head = resolveReference(project.head, folder, missing);
    const QString tail = resolveReference(project.tail, folder, missing);
    const QString document = resolveReference(project.document, folder, missing);
    if (isUsable(project.output)) setOutput(project.output);
    setSettings(project.settings);
    clearPicture(Slot::opening);
    clearPicture(Slot::closing);
    if (!head.isEmpty()) loadPicture(head, Slot::opening);
    if (!tail.isEmpty()) loadPicture(tail, Slot::closing);
    if (!document.isEmpty()) {
        loadDocument(document, false);
    } else {
        removeDocument();
    }
    setConversionOverrides(project.overrides());
    setReviewPending(false);
    rebuildStrip();
    setProjectURL(folder);
    // What could not be found is reported, not unsaved: the file still names it.
    saved_ = savedState();
    if (!missing.isEmpty()) {
        setErrorMessage(tr("Missing files: %1. Choose them again, then save the project.").arg(missing.join(QStringLiteral(", "))));
    }
}

void CreditsModel::openProjectPanel() {
    OpenPanelRequest request;
    request.allowedContentTypes = {PanelContentType::creditsProject};
    request.kind = PanelKind::projects;
    request.documentDirectory = panelFolder();
    const QStringList chosen = desktop().runOpenPanel(request);
    if (!chosen.isEmpty() && confirmReplacingProject()) openProject(chosen.first());
}

CreditsModel::SavedState CreditsModel::savedState() const {
    return {settings_, output_, headURL_, tailURL_, documentURL_, conversionOverrides_};
}

bool CreditsModel::hasUnsavedWork() const {
    if (!projectURL_.isEmpty() && saved_) return !(savedState() == *saved_);
    return !headURL_.isEmpty() || !tailURL_.isEmpty() || !documentURL_.isEmpty() || !conversionOverrides_.empty();
}

bool CreditsModel::confirmReplacingProject() {
    if (!hasUnsavedWork()) return true;
    // Asked in any mode (quitting from the editor too), so a saved project is named as the End
    // Credits one.
    const QString name = projectURL_.isEmpty() ? tr("End Credits") : tr("%1 (End Credits)").arg(projectName());
    return mayReplaceChanges(desktop(), name, [this] { return saveProject(false); });
}

QString CreditsModel::panelFolder() const {
    const QString& beside = !projectURL_.isEmpty() ? projectURL_ : documentURL_;
    return beside.isEmpty() ? QString() : QFileInfo(beside).absolutePath();
}

// Replacing a file the project reads would destroy it. Inputs inside a replaced project folder
// are kept: they move into the new one.
QString CreditsModel::saveRefusal(const QString& target, bool package) const {
    const QString canonical = QFileInfo(target).canonicalFilePath();
    if (canonical.isEmpty()) return {};
    for (const QString* url : {&headURL_, &tailURL_, &documentURL_}) {
        if (url->isEmpty() || QFileInfo(*url).canonicalFilePath() != canonical) continue;
        const QString name = QFileInfo(target).fileName();
        return package ? tr("The package can’t be written to “%1”: it is a media file of this project.").arg(name)
                       : tr("The project can’t be saved as “%1”: it is a media file of this project.").arg(name);
    }
    return {};
}

bool CreditsModel::saveProject(bool saveAs) {
    QString target;
    if (!projectURL_.isEmpty() && !saveAs) {
        target = projectURL_;
    } else {
        SavePanelRequest request;
        request.suggestedName = defaultBaseName() + QLatin1Char('.') + kProjectExtension;
        request.allowedExtensions = {kProjectExtension};
        request.kind = PanelKind::projects;
        request.documentDirectory = panelFolder();
        request.refusal = [this](const QString& path) { return saveRefusal(path, false); };
        const auto chosen = desktop().runSavePanel(request);
        if (!chosen || chosen->isEmpty()) return false;
        target = cleanAbsolute(*chosen);
    }
    if (const QString refused = saveRefusal(target, false); !refused.isEmpty()) {
        setErrorMessage(refused);
        return false;
    }
    std::optional<StagedFolder> staged;
    try {
        const CreditsProject project = makeProject(target);
        const QFileInfo existing(target);
        if (target == projectURL_ && existing.isDir()) {
            // What killed saves and packages in its folder left goes first, the marker a killed
            // save left inside this very project too.
            clearDeadPackageRuns(existing.absolutePath());
            project.writePackage(target);
        } else {
            // A new project folder appears only once it is complete, so a full disk leaves
            // nothing under the chosen name; an item the user chose to replace goes only then,
            // and inputs that lived inside it move along into the new one.
            staged.emplace(target);
            for (const QString* url : {&headURL_, &tailURL_, &documentURL_}) {
                if (url->isEmpty() || !cleanAbsolute(*url).startsWith(target + QLatin1Char('/'))) continue;
                const QString inside = QDir(target).relativeFilePath(cleanAbsolute(*url));
                const QString copy = QDir(staged->path()).filePath(inside);
                if (!QDir().mkpath(QFileInfo(copy).absolutePath()) || !QFile::copy(*url, copy)) {
                    throw std::runtime_error(tr("“%1” couldn’t be kept in the replaced project.")
                                                 .arg(QFileInfo(*url).fileName()).toStdString());
                }
            }
            project.writePackage(staged->path());
            staged->commit();
        }
    } catch (const std::exception& e) {
        setErrorMessage(staged ? staged->userText(QString::fromUtf8(e.what())) : QString::fromUtf8(e.what()));
        return false;
    }
    setProjectURL(target);
    setLastPackageURL(QString());
    setProjectMessage(tr("Saved %1.").arg(QFileInfo(target).fileName()));
    saved_ = savedState();
    return true;
}

void CreditsModel::packageProject() {
    if (!hasContent()) return;
    SavePanelRequest request;
    request.suggestedName = defaultBaseName() + QLatin1Char(' ') + tr("Package") + QLatin1Char('.') + kProjectExtension;
    request.message = tr("The package holds the project and copies of its pictures and credits list.");
    request.allowedExtensions = {kProjectExtension};
    request.kind = PanelKind::packages;
    request.documentDirectory = panelFolder();
    request.refusal = [this](const QString& path) { return saveRefusal(path, true); };
    const auto chosen = desktop().runSavePanel(request);
    if (!chosen || chosen->isEmpty()) return;
    const QString target = cleanAbsolute(*chosen);
    if (const QString refused = saveRefusal(target, true); !refused.isEmpty()) {
        setErrorMessage(refused);
        return;
    }
    const QString media = QDir(target).filePath(QStringLiteral("Media"));

    // The package is built beside the target and swapped in whole, so that the current inputs
    // may come from the very package being replaced.
    QString* const urls[] = {&headURL_, &tailURL_, &documentURL_};
    QString copies[3];
    std::optional<StagedFolder> staged;
    try {
        staged.emplace(target);
        CreditsProject project = makeProject(target);
        std::optional<CreditsProject::FileReference>* const references[] = {&project.head, &project.tail, &project.document};
        std::set<QString> usedNames;
        for (int i = 0; i < 3; ++i) {
            if (urls[i]->isEmpty()) continue;
            const QString copy = copyIntoPackage(*urls[i], staged->path(), usedNames);
            copies[i] = QDir(media).filePath(QFileInfo(copy).fileName());
            *references[i] = CreditsProject::FileReference::make(copies[i], target);
        }
        project.writePackage(staged->path());
        staged->commit();
    } catch (const std::exception& e) {
        setErrorMessage(staged ? staged->userText(QString::fromUtf8(e.what())) : QString::fromUtf8(e.what()));
        return;
    }
    // Inputs that lived in the replaced folder now live in the new one.
    const auto wasInside = [inside = target + QLatin1Char('/')](const QString& path) {
        return !path.isEmpty() && cleanAbsolute(path).startsWith(inside);
    };
    if (wasInside(headURL_)) setHeadURL(copies[0]);
    if (wasInside(tailURL_)) setTailURL(copies[1]);
    if (wasInside(documentURL_)) setDocumentURL(copies[2]);
    setLastPackageURL(target);
    setProjectMessage(tr("Packaged %1.").arg(QFileInfo(target).fileName()));
}

bool CreditsModel::openFile(const QStringList& paths, Slot slot) {
    for (const QString& path : paths) {
        const QString extension = QFileInfo(path).suffix().toLower();
        if (extension == QLatin1String("docx") || extension == QLatin1String("pdf") || extension == QLatin1String("doc")) {
            loadDocument(path, true);
        } else if (slot == Slot::automatic) {
            loadPicture(path, headURL_.isEmpty() ? Slot::opening : Slot::closing);
        } else {
            loadPicture(path, slot);
        }
    }
    return !paths.isEmpty();
}

void CreditsModel::choosePicture(Slot slot) {
    OpenPanelRequest request;
    request.allowedContentTypes = {PanelContentType::image};
    request.kind = PanelKind::creditsPicture;
    request.documentDirectory = panelFolder();
    const QStringList chosen = desktop().runOpenPanel(request);
    if (!chosen.isEmpty()) loadPicture(chosen.first(), slot);
}

}  // namespace qm
