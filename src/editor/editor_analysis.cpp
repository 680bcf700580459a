// The background media analysis: a queue of media ids drained one at a time on the background
// pool, LTC and waveform results stored per medium, and the timecode under the playhead.

#include <algorithm>

#include <QThread>

#include "editor/editor_analysis.h"
#include "editor/editor_model.h"
#include "editor/frame_grid.h"
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

}  // namespace

EditorAnalysis::EditorAnalysis(Analyze analyze, Lookup lookup, QObject* parent)
    : QObject(parent), analyze_(std::move(analyze)), lookup_(std::move(lookup)) {
    if (!analyze_) analyze_ = [](const std::filesystem::path& file, bool waveform, std::stop_token stop) {
        return analyzeMedia(file, waveform, std::move(stop));
    };
}

EditorAnalysis::~EditorAnalysis() {
    ++generation_;
    stop_.request_stop();
    task_.wait();
}

void EditorAnalysis::setLtc(QHash<QUuid, LTCInfo> value) {
    assignAndNotify(this, ltc_, std::move(value), &EditorAnalysis::ltcChanged);
}
void EditorAnalysis::setWaveforms(QHash<QUuid, std::vector<float>> value) {
    assignAndNotify(this, waveforms_, std::move(value), &EditorAnalysis::waveformsChanged);
}
void EditorAnalysis::setQueue(std::vector<QUuid> value) {
    assignAndNotify(this, queue_, std::move(value), &EditorAnalysis::queueChanged);
}
void EditorAnalysis::setIsAnalysing(bool value) {
    assignAndNotify(this, isAnalysing_, value, &EditorAnalysis::isAnalysingChanged);
}

void EditorAnalysis::enqueue(const QUuid& mediaID) {
    forget({mediaID});
    auto queue = queue_;
    queue.push_back(mediaID);
    setQueue(std::move(queue));
    if (isAnalysing_) return;  // the running drain picks it up
    setIsAnalysing(true);
    next();
}

void EditorAnalysis::forget(const std::vector<QUuid>& mediaIDs) {
    const auto held = [&](const auto& results) {
        return std::any_of(mediaIDs.begin(), mediaIDs.end(), [&](const QUuid& id) { return results.contains(id); });
    };
    // Copied only when something goes: waveforms can be long.
    if (held(ltc_)) {
        auto ltc = ltc_;
        for (const QUuid& id : mediaIDs) ltc.remove(id);
        setLtc(std::move(ltc));
    }
    if (held(waveforms_)) {
        auto waveforms = waveforms_;
        for (const QUuid& id : mediaIDs) waveforms.remove(id);
        setWaveforms(std::move(waveforms));
    }
}

void EditorAnalysis::reset() {
    ++generation_;
    stop_.request_stop();
    stop_ = std::stop_source();
    setQueue({});
    setLtc({});
    setWaveforms({});
}

void EditorAnalysis::next() {
    while (!queue_.empty()) {
        const QUuid id = queue_.front();
        setQueue(std::vector<QUuid>(queue_.begin() + 1, queue_.end()));
        const std::optional<MediaItem> item = lookup_(id);
        if (!item) continue;  // removed before its turn
        const bool needsWaveform = item->width < 1 || item->height < 1;
        task_ = PoolTask([this, id, file = toPath(item->path), needsWaveform, generation = generation_,
                          stop = stop_.get_token(), analyze = analyze_] {
            MediaAnalysis result;
            {
                LowPriority low;
                result = analyze(file, needsWaveform, stop);
            }
            if (!needsWaveform) result.waveform.reset();  // waveforms are drawn for sound alone
            postTo(this, [this, id, generation, result = std::move(result)]() mutable {
                finished(id, generation, std::move(result));
            });
        });
        return;
    }
    setIsAnalysing(false);
}

void EditorAnalysis::finished(const QUuid& mediaID, quint64 generation, MediaAnalysis result) {
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
    next();
}

std::optional<EditorModel::PlayheadTimecode> EditorModel::timecodeAtPlayhead() const {
    // The frame the timeline's timecode shows: a playhead left between frames by playback would
    // otherwise read a frame behind it.
    const double t = frameRounded(playhead_, fps());
    std::vector<const Clip*> candidates;
    const auto at = selectedClipID_.isNull() ? std::nullopt : project_.clipLocation(selectedClipID_);
    if (at) {
        const Clip& selected = project_.tracks[at->track].clips[at->clip];
        if (selected.start <= t && t < selected.start + selected.duration) candidates.push_back(&selected);
    }
    for (const Track& track : project_.tracks)
        if (const Clip* c = track.clip(t)) candidates.push_back(c);
    for (const Clip* c : candidates) {
        const auto info = analysis_->ltc().constFind(c->mediaID);
        if (info == analysis_->ltc().constEnd()) continue;
        const auto timecode = ltcTimecodeAt(*info, t - c->start + c->sourceIn);
        if (!timecode) return std::nullopt;
        return PlayheadTimecode{*timecode, *c, *info};
    }
    return std::nullopt;
}

}  // namespace qm
