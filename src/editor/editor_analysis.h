#pragma once
// The editor's background media analysis: a queue of media drained one at a time on the
// background pool, each medium's LTC and (for sound alone) its waveform kept per medium id.
//
// Lives on the GUI thread. reset() (a new or opened project) empties everything and tells the
// running analysis to stop; its result is dropped.

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <vector>

#include <QHash>
#include <QObject>
#include <QUuid>

#include "editor/model/project.h"
#include "editor/sync/media_analysis.h"
#include "platform/system/task_pool.h"

namespace qm {

class EditorAnalysis : public QObject {
    Q_OBJECT

public:
    using Analyze = std::function<MediaAnalysis(const std::filesystem::path&, bool needsWaveform, std::stop_token)>;
    // The medium's entry in the open project, looked up when its turn comes.
    using Lookup = std::function<std::optional<MediaItem>(const QUuid&)>;

    // Empty `analyze`: analyzeMedia().
    EditorAnalysis(Analyze analyze, Lookup lookup, QObject* parent = nullptr);
    // Tells the running analysis to stop and waits for it; emits nothing.
    ~EditorAnalysis() override;

    const QHash<QUuid, LTCInfo>& ltc() const { return ltc_; }
    const QHash<QUuid, std::vector<float>>& waveforms() const { return waveforms_; }
    const std::vector<QUuid>& queue() const { return queue_; }
    bool isAnalysing() const { return isAnalysing_; }

    // Queues a medium, dropping its earlier results; media are analysed in order.
    void enqueue(const QUuid& mediaID);
    void reset();
    // The results of these media described other files.
    void forget(const std::vector<QUuid>& mediaIDs);

signals:
    void ltcChanged();
    void waveformsChanged();
    void queueChanged();
    void isAnalysingChanged();

private:
    void setLtc(QHash<QUuid, LTCInfo> value);
    void setWaveforms(QHash<QUuid, std::vector<float>> value);
    void setQueue(std::vector<QUuid> value);
    void setIsAnalysing(bool value);
    void next();
    void finished(const QUuid& mediaID, quint64 generation, MediaAnalysis result);

    Analyze analyze_;
    Lookup lookup_;
    QHash<QUuid, LTCInfo> ltc_;
    QHash<QUuid, std::vector<float>> waveforms_;
    std::vector<QUuid> queue_;
    bool isAnalysing_ = false;
    quint64 generation_ = 0;
    std::stop_source stop_;
    PoolTask task_;  // the analysis in flight
};

}  // namespace qm
