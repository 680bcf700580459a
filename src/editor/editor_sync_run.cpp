// The clip sync run: every other medium on the timeline placed against a reference clip, by
// timecode or by matching sound, media one after another on the background pool, and all moves
// applied as one undo step at the end.

#include <algorithm>

#include "editor/editor_analysis.h"
#include "editor/editor_model.h"
#include "editor/editor_sync_run.h"
#include "platform/system/model_support.h"

namespace qm {

struct EditorSyncRun::Run {
    QUuid referenceClipID;
    MediaItem reference;       // as it was when the run started
    std::vector<QUuid> media;  // the media to place, in timeline order
    std::size_t next = 0;
    quint64 generation = 0;
    std::stop_token stop;
    std::optional<LTCInfo> referenceLTC;
    double rate = 0;
    std::optional<AudioAligner::LoadedSound> referenceSound;
    QHash<QUuid, double> offsets;
    std::vector<std::pair<QUuid, SyncReport::Entry>> entries;  // by media id
};

EditorSyncRun::EditorSyncRun(SoundMatcher match, EditorModel& model, const EditorAnalysis& analysis, QObject* parent)
    : QObject(parent), match_(std::move(match)), model_(model), analysis_(analysis) {}

EditorSyncRun::~EditorSyncRun() {
    ++generation_;
    stop_.request_stop();
    task_.wait();
}

void EditorSyncRun::setStatus(std::optional<QString> value) {
    assignAndNotify(this, status_, std::move(value), &EditorSyncRun::statusChanged);
}
void EditorSyncRun::setReport(std::optional<SyncReport> value) {
    assignAndNotify(this, report_, std::move(value), &EditorSyncRun::reportChanged);
}

void EditorSyncRun::cancel() {
    ++generation_;
    stop_.request_stop();
    stop_ = std::stop_source();
}

void EditorSyncRun::start(const QUuid& referenceClipID) {
    if (status_) return;  // a run is active
    auto run = std::make_unique<Run>();
    {
        const Project& project = model_.project();  // read here, before anything is announced
        const auto at = referenceClipID.isNull() ? std::nullopt : project.clipLocation(referenceClipID);
        if (!at) return;
        const MediaItem* reference = project.mediaItem(project.tracks[at->track].clips[at->clip].mediaID);
        if (reference == nullptr) return;
        run->referenceClipID = referenceClipID;
        run->reference = *reference;
        for (const Track& track : project.tracks)
            for (const Clip& c : track.clips)
                if (c.mediaID != reference->id && std::find(run->media.begin(), run->media.end(), c.mediaID) == run->media.end())
                    run->media.push_back(c.mediaID);
    }
    if (run->media.empty()) {
        SyncReport report;
        report.referenceName = run->reference.name;
        setReport(std::move(report));
        return;
    }
    model_.pause();
    run->generation = ++generation_;
    run->stop = stop_.get_token();
    run_ = std::move(run);
    setStatus(syncStatusText());
    postTo(this, [this] { begin(); });
}

void EditorSyncRun::begin() {
    auto go = [this] {
        if (!run_) return;
        // Timecode found by the analysis decides before any sound is decoded.
        const auto referenceLTC = analysis_.ltc().constFind(run_->reference.id);
        if (referenceLTC != analysis_.ltc().constEnd()) run_->referenceLTC = *referenceLTC;
        run_->rate = syncAnalysisRate(run_->reference.duration);
        nextItem();
    };
    if (!analysis_.isAnalysing()) {
        go();
        return;
    }
    // The LTC of freshly imported media arrives with the running analysis: wait for it once.
    auto waiting = std::make_shared<QMetaObject::Connection>();
    *waiting = connect(&analysis_, &EditorAnalysis::isAnalysingChanged, this, [this, waiting, go] {
        if (analysis_.isAnalysing()) return;
        disconnect(*waiting);
        postTo(this, go);
    });
}

void EditorSyncRun::nextItem() {
    while (run_ && run_->next < run_->media.size() && run_->generation == generation_) {
        const std::size_t index = run_->next++;
        const QUuid id = run_->media[index];
        // A copy: the status's listeners may replace the project.
        std::optional<MediaItem> item;
        if (const MediaItem* found = model_.project().mediaItem(id)) item = *found;
        if (!item) continue;  // left the project meanwhile
        setStatus(syncStatusText(int64_t(index) + 1, int64_t(run_->media.size())));
        if (!run_ || run_->generation != generation_) break;
        const SyncSource reference{toPath(run_->reference.path), run_->reference.hasAudio, run_->referenceLTC};
        const auto itemLTC = analysis_.ltc().constFind(id);
        const SyncSource source{toPath(item->path), item->hasAudio,
                                itemLTC == analysis_.ltc().constEnd() ? std::nullopt : std::optional<LTCInfo>(*itemLTC)};
        // The cached reference sound travels to the worker and back by value.
        task_ = PoolTask([this, run = run_->generation, id, name = item->name, reference, source, rate = run_->rate,
                          stop = run_->stop, match = match_, sound = std::move(run_->referenceSound)]() mutable {
            const SyncItemResult result = syncItem(reference, source, rate, sound, stop, match);
            postTo(this, [this, run, id, name, result, sound = std::move(sound)]() mutable {
                itemDone(run, id, name, result, std::move(sound));
            });
        });
        return;
    }
    finish();
}

void EditorSyncRun::itemDone(quint64 run, const QUuid& id, const QString& name, const SyncItemResult& result,
                             std::optional<AudioAligner::LoadedSound> sound) {
    // A cancelled run still ends with this result (placing nothing); another run's is not its own.
    if (!run_ || run_->generation != run) return;
    run_->referenceSound = std::move(sound);
    if (result.offset) run_->offsets.insert(id, *result.offset);
    SyncReport::Entry entry;
    entry.name = name;
    entry.outcome = result.outcome;
    run_->entries.emplace_back(id, std::move(entry));
    nextItem();
}

void EditorSyncRun::finish() {
    const std::unique_ptr<Run> run = std::move(run_);
    if (!run) return;
    // The project may have changed while the run went on: place only what is still there, and
    // nothing when the reference clip is gone or shows another medium.
    const Project& project = model_.project();
    const auto at = project.clipLocation(run->referenceClipID);
    const bool referenceHeld = run->generation == generation_ && at &&
                               project.tracks[at->track].clips[at->clip].mediaID == run->reference.id;
    SyncReport report;
    report.referenceName = run->reference.name;
    QHash<QUuid, double> offsets;
    if (referenceHeld) {
        for (auto& [id, entry] : run->entries) {
            if (project.mediaItem(id) == nullptr) continue;
            if (const auto offset = run->offsets.constFind(id); offset != run->offsets.constEnd())
                offsets.insert(id, *offset);
            report.entries.push_back(std::move(entry));
        }
    }
    // One undo step for the whole run, and only when a clip really moved.
    if (!offsets.isEmpty())
        model_.editProject(true, [&](Project& p) { p.applySync(run->referenceClipID, offsets); });
    setReport(std::move(report));
    setStatus(std::nullopt);
}

}  // namespace qm
