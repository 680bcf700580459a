// The media bin: import, relink (one file, or a folder searched for every missing item), removal,
// and the analysis queue every item with sound passes through.

#include <algorithm>
#include <cmath>
#include <tuple>
#include <set>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPromise>
#include <QThreadPool>

#include "editor/editor_model.h"
#include "editor/model/project_exporter.h"
#include "engine/media_info.h"
#include "platform/system/bookmarks.h"
#include "platform/system/desktop_services.h"
#include "platform/system/model_support.h"

namespace qm {

namespace {


// A probe's outcome, carried back to the GUI thread, with the file's stamp from before it.
struct Probe {
    std::optional<MediaInfo> info;
    QString error;
    std::optional<FileStamp> stamp;
};

Probe probeFile(const QString& path) {
    Probe probe;
    probe.stamp = mediaFileStamp(path);
    try {
        probe.info = MediaInfo::load(toPath(path), true);
    } catch (const std::exception& e) {
        probe.error = QString::fromUtf8(e.what());
    }
    return probe;
}

QString fileName(const QString& path) { return QFileInfo(path).fileName(); }

// Paths compare as the file system sees names typed in either Unicode form.
bool samePath(const QString& a, const QString& b) {
    return a == b || a.normalized(QString::NormalizationForm_C) == b.normalized(QString::NormalizationForm_C);
}

QString undecodableLine(const QString& path, const MediaInfo& info) {
    return fileName(path) + QStringLiteral(": ") + QString::fromStdString(codecName(info.decoder.codecType));
}

// Names are looked up in one Unicode form: a medium recorded decomposed is the same file as one
// stored composed.
QString nameKey(const QString& name) { return name.normalized(QString::NormalizationForm_C); }

// Depth first in name order, hidden entries and the insides of packages left out; linked
// folders are not entered, so a link back up the tree cannot loop. The first path per name wins.
// `wanted` and `found` are keyed by nameKey.
void findNames(const QString& folder, const QSet<QString>& wanted, QHash<QString, QString>& found) {
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString name = nameKey(entry.fileName());
        if (wanted.contains(name) && !found.contains(name)) found.insert(name, entry.absoluteFilePath());
        if (found.size() == wanted.size()) return;
        if (entry.isDir() && !entry.isSymLink() && entry.suffix().toLower() != QLatin1String("qmpack"))
            findNames(entry.absoluteFilePath(), wanted, found);
    }
}

}  // namespace

bool EditorModel::hasMissingMedia() const {
    for (const MediaItem& item : project_.media)
        if (isMissing(item.id)) return true;
    return false;
}

void EditorModel::noteProbed(const QUuid& mediaID, const QString& path, const std::optional<FileStamp>& stamp,
                             const std::optional<QString>& unreadable) {
    // A file that was not there is looked for again only through Relink.
    if (stamp) seenFiles_.insert(mediaID, {path, stamp, unreadable});
    else seenFiles_.remove(mediaID);
}

bool EditorModel::takeReprobe(MediaInfos& infos, const QUuid& mediaID, const QString& path, const MediaInfo& info) {
    const MediaItem* item = project_.mediaItem(mediaID);
    if (item == nullptr || item->path != path) return false;
    // Not an edit: opening the project again would find the same.
    Project conformed = project_;
    if (conformed.conformMedium(mediaID, info)) setProject(std::move(conformed));
    infos.insert(mediaID, info);
    return true;
}

UnreadableMedia EditorModel::unreadableMedia() const {
    UnreadableMedia unreadable;
    for (const MediaItem& item : project_.media) {
        const auto seen = seenFiles_.constFind(item.id);
        if (!infos_.contains(item.id) && seen != seenFiles_.cend() && seen->path == item.path && seen->unreadable)
            unreadable.insert(item.id, *seen->unreadable);
    }
    return unreadable;
}

QStringList EditorModel::unreadableTimelineMedia() const {
    const UnreadableMedia unreadable = unreadableMedia();
    QStringList names;
    for (const MediaItem* item : timelineMedia(project_))
        if (unreadable.contains(item->id)) names.append(item->name);
    return names;
}

void EditorModel::checkTimelineMedia() {
    // Copies: a probe taken below may replace the project the list points into.
    std::vector<std::pair<QUuid, QString>> media;
    for (const MediaItem* item : timelineMedia(project_)) media.emplace_back(item->id, item->path);
    MediaInfos infos = infos_;
    bool changed = false;
    for (const auto& [id, path] : media) {
        const std::optional<FileStamp> now = mediaFileStamp(path);
        const auto seen = seenFiles_.constFind(id);
        const bool seenHere = seen != seenFiles_.cend() && seen->path == path;
        if (!now) {
            // Gone: missing, as if it had not been found at opening.
            if (infos.remove(id) > 0 || (seenHere && seen->stamp)) {
                seenFiles_.insert(id, {path, std::nullopt, std::nullopt});
                changed = true;
            }
            continue;
        }
        if (seenHere && seen->stamp == now) continue;  // as it was probed
        // Media missing since opening come back through Relink.
        if (!infos.contains(id) && !seenHere) continue;
        // Back where it was, or another file in its place: probed again.
        const Probe probe = probeFile(path);
        changed = true;
        if (probe.info && probe.info->decoder.kind != SourceDecoder::Kind::unsupported &&
            takeReprobe(infos, id, path, *probe.info)) {
            noteProbed(id, path, probe.stamp, std::nullopt);
            analysis_->forget({id});
            enqueueAnalysis(id);
        } else {
            infos.remove(id);
            noteProbed(id, path, probe.stamp,
                       probe.info ? QString::fromStdString(codecName(probe.info->decoder.codecType)) : probe.error);
        }
    }
    if (!changed) return;
    setInfos(std::move(infos));
    clearRendererReaders();
    requestRender();
}

QFuture<void> EditorModel::importFiles(const QStringList& paths) {
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    auto next = std::make_shared<std::function<void(int)>>();
    ++probesRunning_;
    // Media of an import started in one project never land in the next one (New or Open while a
    // probe runs): the rest of the import is dropped there.
    const quint64 generation = documentGeneration_;
    // One file after the other, each probe awaited; the bin is read afresh for every file.
    // The steps hold themselves only weakly; each probe in flight keeps them alive.
    *next = [this, paths, promise, generation, weakNext = std::weak_ptr(next)](int index) {
        if (generation != documentGeneration_) index = int(paths.size());
        while (index < paths.size()) {
            const QString path = paths[index];
            startAccessing(path);
            bool duplicate = false;
            for (const MediaItem& item : project_.media) duplicate = duplicate || samePath(item.path, path);
            if (!duplicate) break;
            ++index;
        }
        if (index >= paths.size()) {
            --probesRunning_;
            promise->finish();
            return;
        }
        const QString path = paths[index];
        workers()->start([this, path, index, generation, next = weakNext.lock()] {
            Probe probe = probeFile(path);
            postTo(this, [this, path, index, generation, next, probe = std::move(probe)] {
                if (generation != documentGeneration_) {
                    // Another project is open: not even the error is this one's.
                } else if (!probe.info) {
                    appendImportError(fileName(path) + QStringLiteral(": ") + probe.error);
                } else if (probe.info->decoder.kind == SourceDecoder::Kind::unsupported) {
                    appendImportError(undecodableLine(path, *probe.info));
                } else {
                    const MediaInfo& info = *probe.info;
                    MediaItem item(path, info);
                    bool pictureInBin = false;
                    for (const MediaItem& m : project_.media) pictureInBin = pictureInBin || (m.width > 0 && m.height > 0);
                    const bool adopts = info.width > 0 && info.height > 0 && !pictureInBin && project_.duration() == 0;
                    if (!adopts) pushUndo();
                    project_.media.push_back(item);
                    if (adopts) {
                        project_.width = info.width;
                        project_.height = info.height;
                        const double rate = std::round(info.frameRate * 1000) / 1000;
                        if (std::isfinite(rate) && rate > 0) project_.frameRate = rate;
                    }
                    projectEdited();
                    noteProbed(item.id, item.path, probe.stamp, std::nullopt);
                    MediaInfos infos = infos_;
                    infos.insert(item.id, info);
                    setInfos(std::move(infos));
                    enqueueAnalysis(item.id);
                }
                (*next)(index + 1);
            });
        });
    };
    (*next)(0);
    return promise->future();
}

QFuture<void> EditorModel::relinkMedia(const QUuid& mediaID) {
    const MediaItem* item = project_.mediaItem(mediaID);
    if (item == nullptr) return QtFuture::makeReadyFuture();
    OpenPanelRequest request;
    request.allowedContentTypes = {PanelContentType::movie, PanelContentType::audio};
    request.canChooseDirectories = true;
    request.message = tr("Locate ") + item->name + tr(", or choose a folder to search for all missing files");
    request.kind = PanelKind::editorMedia;
    request.directory = QFileInfo(item->path).absolutePath();
    request.documentDirectory = panelFolder();
    const QStringList chosen = desktop().runOpenPanel(request);
    if (chosen.isEmpty()) return QtFuture::makeReadyFuture();
    return relink(mediaID, chosen.first());
}

QFuture<void> EditorModel::relink(const QUuid& mediaID, const QString& path) {
    std::vector<MediaItem> missing;
    for (const MediaItem& item : project_.media)
        if (isMissing(item.id)) missing.push_back(item);
    startAccessing(path);
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    ++probesRunning_;
    const bool folder = QFileInfo(path).isDir();
    const quint64 generation = documentGeneration_;
    workers()->start([this, mediaID, path, folder, generation, missing = std::move(missing), promise] {
        // (media id, file, probe) for each relink to apply, in order.
        std::vector<std::tuple<QUuid, QString, Probe>> results;
        if (!folder) {
            results.emplace_back(mediaID, path, probeFile(path));
        } else {
            QSet<QString> wanted;
            for (const MediaItem& item : missing) wanted.insert(nameKey(item.name));
            QHash<QString, QString> found;
            if (!wanted.isEmpty()) findNames(path, wanted, found);
            QHash<QString, Probe> probes;
            for (const MediaItem& item : missing) {
                const QString key = nameKey(item.name);
                if (!found.contains(key)) continue;
                if (!probes.contains(key)) probes.insert(key, probeFile(found[key]));
                results.emplace_back(item.id, found[key], probes[key]);
            }
        }
        postTo(this, [this, folder, path, generation, results = std::move(results), promise] {
            // Like an import, a relink of another project reports nothing into this one.
            if (generation != documentGeneration_) {
                --probesRunning_;
                promise->finish();
                return;
            }
            for (const auto& [id, file, probe] : results) {
                if (!probe.info) {
                    if (!folder) appendImportError(fileName(file) + QStringLiteral(": ") + probe.error);
                } else if (!folder && probe.info->decoder.kind == SourceDecoder::Kind::unsupported) {
                    // A file the editor cannot show is refused as import refuses it.
                    appendImportError(undecodableLine(file, *probe.info));
                } else {
                    applyRelink(id, file, *probe.info);
                    if (const MediaItem* item = project_.mediaItem(id)) noteProbed(id, item->path, probe.stamp, std::nullopt);
                }
            }
            if (folder && hasMissingMedia()) {
                QStringList names;
                for (const MediaItem& item : project_.media)
                    if (isMissing(item.id)) names.append(item.name);
                appendImportError(tr("Missing media: ") + names.join(QStringLiteral(", ")));
            }
            --probesRunning_;
            promise->finish();
        });
    });
    return promise->future();
}

void EditorModel::applyRelink(const QUuid& mediaID, const QString& path, const MediaInfo& info) {
    auto it = std::find_if(project_.media.begin(), project_.media.end(),
                           [&](const MediaItem& m) { return m.id == mediaID; });
    if (it == project_.media.end()) return;
    MediaItem item(path, info);
    item.id = mediaID;
    pushUndo();
    *it = std::move(item);
    projectEdited();
    MediaInfos infos = infos_;
    infos.insert(mediaID, info);
    seenFiles_.remove(mediaID);
    setInfos(std::move(infos));
    enqueueAnalysis(mediaID);
    clearRendererReaders();
    requestRender();
}

void EditorModel::removeMedia(const QUuid& mediaID) {
    pushUndo();
    std::erase_if(project_.media, [&](const MediaItem& m) { return m.id == mediaID; });
    seenFiles_.remove(mediaID);
    for (Track& track : project_.tracks) std::erase_if(track.clips, [&](const Clip& c) { return c.mediaID == mediaID; });
    projectEdited();
    clearRendererReaders();
}

void EditorModel::reprobeChangedMedia(const Project& before) {
    std::vector<MediaItem> changed;
    for (const MediaItem& item : project_.media) {
        const MediaItem* old = before.mediaItem(item.id);
        if (old != nullptr && old->path != item.path) changed.push_back(item);
    }
    if (changed.empty()) return;
    // The probe results, timecode and waveforms described the other file.
    MediaInfos infos = infos_;
    std::vector<QUuid> ids;
    for (const MediaItem& item : changed) {
        infos.remove(item.id);
        ids.push_back(item.id);
    }
    setInfos(std::move(infos));
    analysis_->forget(ids);
    clearRendererReaders();
    probeMedia(std::move(changed), documentGeneration_, [this] { requestRender(); });
}

}  // namespace qm
