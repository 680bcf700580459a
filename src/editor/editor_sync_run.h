#pragma once
// The clip sync run: every other medium on the timeline placed against a reference clip, by
// timecode or by matching sound, one medium after another on the background pool, and all moves
// applied to the model's project as one undo step at the end.
//
// Lives on the GUI thread, which alone holds the run. The project is read afresh at each step and
// never held across a signal; cancel() (a new or opened project) lets the run end without
// placing anything.

#include <memory>
#include <optional>
#include <stop_token>

#include <QObject>
#include <QString>
#include <QUuid>

#include "editor/sync/clip_sync.h"
#include "editor/sync/sync_report.h"
#include "platform/system/task_pool.h"

namespace qm {

class EditorAnalysis;
class EditorModel;

class EditorSyncRun : public QObject {
    Q_OBJECT

public:
    // Empty `match`: matchSound(). The model and analysis outlive this object.
    EditorSyncRun(SoundMatcher match, EditorModel& model, const EditorAnalysis& analysis, QObject* parent = nullptr);
    // Tells a running comparison to stop and waits for it; emits nothing.
    ~EditorSyncRun() override;

    // Set while a run is active.
    const std::optional<QString>& status() const { return status_; }
    void setStatus(std::optional<QString> value);
    const std::optional<SyncReport>& report() const { return report_; }
    void setReport(std::optional<SyncReport> value);

    // Ignored while a run is active or when the clip is not on the timeline.
    void start(const QUuid& referenceClipID);
    void cancel();

signals:
    void statusChanged();
    void reportChanged();

private:
    struct Run;
    void begin();
    void nextItem();
    void itemDone(quint64 run, const QUuid& id, const QString& name, const SyncItemResult& result,
                  std::optional<AudioAligner::LoadedSound> sound);
    void finish();

    SoundMatcher match_;
    EditorModel& model_;
    const EditorAnalysis& analysis_;
    std::optional<QString> status_;
    std::optional<SyncReport> report_;
    std::unique_ptr<Run> run_;
    quint64 generation_ = 0;
    std::stop_source stop_;
    PoolTask task_;  // the comparison in flight
};

}  // namespace qm
