#pragma once
// Export from the editor: one run at a time renders the timeline frame by frame into the shared
// transcoder on the background pool, progress and outcome posted back.
//
// Lives on the GUI thread. Destroying it cancels a running export and waits for its worker.

#include <memory>
#include <optional>

#include <QFuture>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include "editor/model/audio_mix.h"
#include "editor/model/composition_renderer.h"
#include "editor/model/project.h"
#include "engine/conversion_settings.h"
#include "engine/transcode_sync.h"
#include "platform/system/task_pool.h"

namespace qm {

class ProjectExporter;

// Media whose files are there but do not probe, by id, with the probe's complaint.
using UnreadableMedia = QHash<QUuid, QString>;

// The names of the missing media that clips of visible or sounding tracks use, in bin order, each
// once: an export leaves those clips out. Unreadable media are not among them: they stop it.
QStringList missingTimelineMedia(const Project& project, const MediaInfos& infos, const UnreadableMedia& unreadable = {});

class EditorExport : public QObject {
    Q_OBJECT

public:
    explicit EditorExport(QObject* parent = nullptr);
    ~EditorExport() override;

    bool isExporting() const { return isExporting_; }
    void setIsExporting(bool value);
    const TranscodeProgress& progress() const { return progress_; }
    const std::optional<QString>& result() const { return result_; }
    void setResult(std::optional<QString> value);
    const std::optional<QString>& error() const { return error_; }
    void setError(std::optional<QString> value);
    // The missing media whose clips the export that set result() left out (missingTimelineMedia).
    const QStringList& leftOut() const { return leftOut_; }

    // Exports copies of the project to `destination`; the future ends once the outcome is stored.
    // Ignored while a run is active. A timeline medium in `unreadable` fails it before it starts.
    QFuture<void> start(const Project& project, const MediaInfos& infos, const LTCInfos& ltc,
                        const ConversionSettings& settings, const QString& destination,
                        const UnreadableMedia& unreadable = {});
    void cancel();

signals:
    void isExportingChanged();
    void progressChanged();
    void resultChanged();
    void errorChanged();
    // A run failed because files it was reading went away.
    void mediaGone();

private:
    void setProgress(const TranscodeProgress& value);

    bool isExporting_ = false;
    TranscodeProgress progress_;
    std::optional<QString> result_;
    std::optional<QString> error_;
    QStringList leftOut_;
    std::shared_ptr<ProjectExporter> exporter_;
    quint64 generation_ = 0;
    PoolTask task_;  // the run in flight
};

}  // namespace qm
