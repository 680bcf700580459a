// Export from the editor: the timeline rendered frame by frame into the shared transcoder on a
// worker, progress and outcome posted back to the model.

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPromise>
#include <QThreadPool>

#include "core/conversion_error.h"
#include "core/output_format.h"
#include "editor/editor_model.h"
#include "editor/model/project_exporter.h"
#include "platform/system/model_support.h"

namespace qm {

namespace {


bool isOrInside(const QString& path, const QString& root) {
    const QString p = QFileInfo(path).canonicalFilePath();
    const QString r = QFileInfo(root).canonicalFilePath();
    if (p.isEmpty() || r.isEmpty()) return false;
    return p == r || p.startsWith(r + QLatin1Char('/'));
}

}  // namespace

QFuture<void> EditorModel::startExport(const ConversionSettings& settings, const QString& destination) {
    if (isExporting_) return QtFuture::makeReadyFuture();
    pause();
    setIsExporting(true);
    setExportResult(std::nullopt);
    setExportError(std::nullopt);
    setExportProgress(TranscodeProgress{});

    // Writing over a file the timeline reads would destroy it while it is being read.
    const bool sequence = isImageSequence(settings.format);
    for (const MediaItem& item : project_.media) {
        const QString used = QFileInfo(item.path).canonicalFilePath();
        if (sequence ? isOrInside(item.path, destination)
                     : !used.isEmpty() && used == QFileInfo(destination).canonicalFilePath()) {
            setExportError(tr("The export can’t be written to “%1”: it is a media file of this project.")
                               .arg(QFileInfo(destination).fileName()));
            setIsExporting(false);
            return QtFuture::makeReadyFuture();
        }
    }

    try {
        exporter_ = std::make_shared<ProjectExporter>(project_, infos_, settings, toPath(destination), analysis_->ltc());
    } catch (const std::exception& e) {
        setExportError(QString::fromUtf8(e.what()));
        setIsExporting(false);
        return QtFuture::makeReadyFuture();
    }
    if (!exportStop_) exportStop_ = std::shared_ptr<void>(static_cast<void*>(this), [this](void*) { cancelExport(); });
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    workers()->start([this, exporter = exporter_, destination, promise] {
        std::optional<QString> error;
        try {
            exporter->exportProject([this](const TranscodeProgress& progress) {
                postTo(this, [this, progress] { setExportProgress(progress); });
            });
        } catch (const ConversionError& e) {
            if (e.kind() != ConversionError::Kind::cancelled) error = QString::fromUtf8(e.what());
            else error = QString();
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
        postTo(this, [this, error, destination, promise] {
            if (!error) setExportResult(destination);
            else if (!error->isEmpty()) setExportError(*error);
            setIsExporting(false);
            exporter_.reset();
            promise->finish();
        });
    });
    return promise->future();
}

void EditorModel::cancelExport() {
    if (exporter_) exporter_->cancellation().set();
}

}  // namespace qm
