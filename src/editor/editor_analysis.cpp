// The background media analysis: a queue of media ids drained one at a time on the model's pool,
// LTC and waveform results stored per medium, and the timecode under the playhead.

#include <QThread>
#include <QThreadPool>

#include "editor/editor_model.h"
#include "platform/system/model_support.h"

namespace qm {

namespace {

// The analysis yields to previews and playback while it runs; the pooled thread gets its
// priority back afterwards.
class LowPriority {
public:
    LowPriority() : previous_(QThread::currentThread()->priority()) {
        QThread::currentThread()->setPriority(QThread::LowPriority);
    }
    ~LowPriority() {
        QThread::currentThread()->setPriority(previous_ == QThread::InheritPriority ? QThread::NormalPriority : previous_);
    }
    LowPriority(const LowPriority&) = delete;
    LowPriority& operator=(const LowPriority&) = delete;

private:
    QThread::Priority previous_;
};

// Below the previews in the pool's queue.
constexpr int kAnalysisQueuePriority = -1;

}  // namespace

void EditorModel::setLtc(QHash<QUuid, LTCInfo> value) {
    assignAndNotify(this, ltc_, std::move(value), &EditorModel::ltcChanged);
}
void EditorModel::setWaveforms(QHash<QUuid, std::vector<float>> value) {
    assignAndNotify(this, waveforms_, std::move(value), &EditorModel::waveformsChanged);
}
void EditorModel::setAnalysisQueue(std::vector<QUuid> value) {
    assignAndNotify(this, analysisQueue_, std::move(value), &EditorModel::analysisQueueChanged);
}
void EditorModel::setIsAnalysing(bool value) {
    assignAndNotify(this, isAnalysing_, value, &EditorModel::isAnalysingChanged);
}

void EditorModel::enqueueAnalysis(const QUuid& mediaID) {
    if (ltc_.contains(mediaID)) {
        auto ltc = ltc_;
        ltc.remove(mediaID);
        setLtc(std::move(ltc));
    }
    if (waveforms_.contains(mediaID)) {
        auto waveforms = waveforms_;
        waveforms.remove(mediaID);
        setWaveforms(std::move(waveforms));
    }
    auto queue = analysisQueue_;
    queue.push_back(mediaID);
    setAnalysisQueue(std::move(queue));
    if (isAnalysing_) return;  // the running drain picks it up
    setIsAnalysing(true);
    analyseNext();
}

void EditorModel::resetAnalysis() {
    ++generation_;
    backgroundStop_.request_stop();
    backgroundStop_ = std::stop_source();
    setAnalysisQueue({});
    setLtc({});
    setWaveforms({});
}

void EditorModel::analyseNext() {
    while (!analysisQueue_.empty()) {
        const QUuid id = analysisQueue_.front();
        setAnalysisQueue(std::vector<QUuid>(analysisQueue_.begin() + 1, analysisQueue_.end()));
        const MediaItem* item = project_.mediaItem(id);
        if (item == nullptr) continue;  // removed before its turn
        const bool needsWaveform = item->width < 1 || item->height < 1;
        auto analyze = environment_.analyze;
        if (!analyze) analyze = [](const std::filesystem::path& file, bool waveform, std::stop_token stop) {
            return analyzeMedia(file, waveform, std::move(stop));
        };
        pool_->start(
            [this, id, file = toPath(item->path), needsWaveform, generation = generation_,
             stop = backgroundStop_.get_token(), analyze = std::move(analyze)] {
                MediaAnalysis result;
                {
                    LowPriority low;
                    result = analyze(file, needsWaveform, stop);
                }
                if (!needsWaveform) result.waveform.reset();  // waveforms are drawn for sound alone
                postTo(this, [this, id, generation, result = std::move(result)]() mutable {
                    analysisFinished(id, generation, std::move(result));
                });
            },
            kAnalysisQueuePriority);
        return;
    }
    setIsAnalysing(false);
}

void EditorModel::analysisFinished(const QUuid& mediaID, quint64 generation, MediaAnalysis result) {
    // A result of a replaced project (or of work told to stop) is not this project's.
    if (generation == generation_) {
        auto ltc = ltc_;
        if (result.ltc)
            ltc.insert(mediaID, *result.ltc);
        else
            ltc.remove(mediaID);
        setLtc(std::move(ltc));
        auto waveforms = waveforms_;
        if (result.waveform)
            waveforms.insert(mediaID, std::move(*result.waveform));
        else
            waveforms.remove(mediaID);
        setWaveforms(std::move(waveforms));
    }
    analyseNext();
}

std::optional<EditorModel::PlayheadTimecode> EditorModel::timecodeAtPlayhead() const {
    std::vector<const Clip*> candidates;
    const auto at = selectedClipID_.isNull() ? std::nullopt : project_.clipLocation(selectedClipID_);
    if (at) {
        const Clip& selected = project_.tracks[at->track].clips[at->clip];
        if (selected.start <= playhead_ && playhead_ < selected.start + selected.duration) candidates.push_back(&selected);
    }
    for (const Track& track : project_.tracks)
        if (const Clip* c = track.clip(playhead_)) candidates.push_back(c);
    for (const Clip* c : candidates) {
        const auto info = ltc_.constFind(c->mediaID);
        if (info == ltc_.constEnd()) continue;
        const auto timecode = ltcTimecodeAt(*info, playhead_ - c->start + c->sourceIn);
        if (!timecode) return std::nullopt;
        return PlayheadTimecode{*timecode, *c, *info};
    }
    return std::nullopt;
}

}  // namespace qm
