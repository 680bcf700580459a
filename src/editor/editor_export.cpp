// Export from the editor: the timeline rendered frame by frame into the shared transcoder on the
// export's worker, progress and outcome posted back.

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPromise>

#include "core/conversion_error.h"
#include "core/output_format.h"
#include "editor/editor_export.h"
#include "editor/editor_model.h"
#include "editor/model/project_exporter.h"
#include "platform/system/model_support.h"

namespace qm {

namespace {

// The model's texts keep the model's translation context.
QString modelText(const char* text) { return QCoreApplication::translate("EditorModel", text); }

bool isOrInside(const QString& path, const QString& root) {
    const QString p = QFileInfo(path).canonicalFilePath();
    const QString r = QFileInfo(root).canonicalFilePath();
    if (p.isEmpty() || r.isEmpty()) return false;
    return p == r || p.startsWith(r + QLatin1Char('/'));
}

}  // namespace

QStringList missingTimelineMedia(const Project& project, const MediaInfos& infos, const UnreadableMedia& unreadable) {
    QStringList names;
    for (const MediaItem* item : timelineMedia(project))
        if (!infos.contains(item->id) && !unreadable.contains(item->id)) names.append(item->name);
    return names;
}

EditorExport::EditorExport(QObject* parent) : QObject(parent) {}

EditorExport::~EditorExport() {
    ++generation_;
    cancel();
    task_.wait();
}

void EditorExport::setIsExporting(bool value) {
    assignAndNotify(this, isExporting_, value, &EditorExport::isExportingChanged);
}
void EditorExport::setProgress(const TranscodeProgress& value) {
    assignAndNotify(this, progress_, value, &EditorExport::progressChanged);
}
void EditorExport::setResult(std::optional<QString> value) {
    assignAndNotify(this, result_, std::move(value), &EditorExport::resultChanged);
}
void EditorExport::setError(std::optional<QString> value) {
    assignAndNotify(this, error_, std::move(value), &EditorExport::errorChanged);
}

QFuture<void> EditorExport::start(const Project& project, const MediaInfos& infos, const LTCInfos& ltc,
                                  const ConversionSettings& settings, const QString& destination,
                                  const UnreadableMedia& unreadable) {
    if (isExporting_) return QtFuture::makeReadyFuture();
    // Copies first: the signals below may change what the arguments refer to.
    std::optional<QString> refused;
    // The exporter's own refusal of an empty timeline speaks of a file's video track.
    if (!(project.duration() > 0)) refused = modelText("The timeline is empty: there is nothing to export.");
    // Writing over a file the timeline reads would destroy it while it is being read.
    const bool sequence = isImageSequence(settings.format);
    for (const MediaItem& item : project.media) {
        if (refused) break;
        const QString used = QFileInfo(item.path).canonicalFilePath();
        if (sequence ? isOrInside(item.path, destination)
                     : !used.isEmpty() && used == QFileInfo(destination).canonicalFilePath()) {
            refused = modelText("The export can’t be written to “%1”: it is a media file of this project.")
                          .arg(QFileInfo(destination).fileName());
            break;
        }
    }
    // A file that is there but does not read would be left out without a word of why.
    for (const MediaItem* item : timelineMedia(project)) {
        if (refused) break;
        const auto why = unreadable.constFind(item->id);
        if (why != unreadable.cend())
            refused = modelText("“%1” can't be read, so the export was stopped: %2").arg(item->name, *why);
    }
    QStringList leftOut = missingTimelineMedia(project, infos, unreadable);
    if (!refused) {
        try {
            exporter_ = std::make_shared<ProjectExporter>(project, infos, settings, toPath(destination), ltc);
        } catch (const std::exception& e) {
            refused = QString::fromUtf8(e.what());
        }
    }
    setIsExporting(true);
    setResult(std::nullopt);
    setError(std::nullopt);
    setProgress(TranscodeProgress{});
    if (refused) {
        exporter_.reset();
        setError(*refused);
        setIsExporting(false);
        return QtFuture::makeReadyFuture();
    }
    const quint64 generation = ++generation_;
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    task_ = PoolTask([this, exporter = exporter_, promise, generation, leftOut = std::move(leftOut)] {
        std::optional<QString> error;
        bool mediaGone = false;
        try {
            exporter->exportProject([this, generation](const TranscodeProgress& progress) {
                postTo(this, [this, progress, generation] {
                    if (generation == generation_) setProgress(progress);
                });
            });
        } catch (const MediaGoneError& e) {
            error = modelText("These files can't be found any more, so the export was stopped: %1")
                        .arg(e.names().join(QStringLiteral(", ")));
            mediaGone = true;
        } catch (const MediaReadError& e) {
            error = modelText("“%1” can't be read at %2 s into the file, so the export was stopped: %3")
                        .arg(e.name(), QString::number(e.seconds(), 'f', 2), QString::fromStdString(e.reason()));
        } catch (const ConversionError& e) {
            if (e.kind() != ConversionError::Kind::cancelled) error = QString::fromUtf8(e.what());
            else error = QString();
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
        // A sequence folder may have taken the next free name, and so may a movie whose name
        // another file took meanwhile.
        const QString written = QString::fromStdString(exporter->transcoder().output().string());
        postTo(this, [this, error, mediaGone, written, promise, generation, leftOut] {
            if (generation == generation_) {
                exporter_.reset();
                if (mediaGone) emit this->mediaGone();  // before the error: its watchers read both
                if (!error) {
                    leftOut_ = leftOut;  // before the result: its watchers read both
                    setResult(written);
                } else if (!error->isEmpty()) {
                    setError(*error);
                }
                setIsExporting(false);
            }
            promise->finish();
        });
    });
    return promise->future();
}

void EditorExport::cancel() {
    if (exporter_) exporter_->cancellation().set();
}

// --- The model's side ------------------------------------------------------------------------

QFuture<void> EditorModel::startExport(const ConversionSettings& settings, const QString& destination) {
    if (export_->isExporting()) return QtFuture::makeReadyFuture();
    pause();
    // A file deleted since the sheet opened is named in the result like one missing at opening.
    checkTimelineMedia();
    return export_->start(project_, infos_, analysis_->ltc(), settings, destination, unreadableMedia());
}

void EditorModel::cancelExport() { export_->cancel(); }

}  // namespace qm
