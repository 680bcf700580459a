// The clip sync run: every other medium on the timeline placed against a reference clip, by
// timecode or by matching sound, media one after another on the model's pool, and all moves
// applied as one undo step at the end.

#include <algorithm>

#include <QThreadPool>

#include "editor/editor_model.h"
#include "platform/system/model_support.h"

namespace qm {

struct EditorModel::SyncRun {
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

void EditorModel::setSyncReport(std::optional<SyncReport> value) {
    assignAndNotify(this, syncReport_, std::move(value), &EditorModel::syncReportChanged);
}
void EditorModel::clearSyncReport() { setSyncReport(std::nullopt); }

void EditorModel::syncClips(const QUuid& referenceClipID) {
    if (syncStatus_) return;  // a run is active
    const auto at = referenceClipID.isNull() ? std::nullopt : project_.clipLocation(referenceClipID);
    if (!at) return;
    const QUuid referenceMedia = project_.tracks[at->track].clips[at->clip].mediaID;
    const MediaItem* reference = project_.mediaItem(referenceMedia);
    if (reference == nullptr) return;

    auto run = std::make_shared<SyncRun>();
    run->referenceClipID = referenceClipID;
    run->reference = *reference;
    for (const Track& track : project_.tracks)
        for (const Clip& c : track.clips)
            if (c.mediaID != referenceMedia && std::find(run->media.begin(), run->media.end(), c.mediaID) == run->media.end())
                run->media.push_back(c.mediaID);
    if (run->media.empty()) {
        SyncReport report;
        report.referenceName = reference->name;
        setSyncReport(std::move(report));
        return;
    }
    pause();
    setSyncStatus(syncStatusText());
    run->generation = generation_;
    run->stop = backgroundStop_.get_token();
    postTo(this, [this, run] { startSyncRun(run); });
}

void EditorModel::startSyncRun(const std::shared_ptr<SyncRun>& run) {
    auto begin = [this, run] {
        // Timecode found by the analysis decides before any sound is decoded.
        const auto referenceLTC = ltc_.constFind(run->reference.id);
        if (referenceLTC != ltc_.constEnd()) run->referenceLTC = *referenceLTC;
        run->rate = syncAnalysisRate(run->reference.duration);
        syncNextItem(run);
    };
    if (!isAnalysing_) {
        begin();
        return;
    }
    // The LTC of freshly imported media arrives with the running analysis: wait for it once.
    auto waiting = std::make_shared<QMetaObject::Connection>();
    *waiting = connect(this, &EditorModel::isAnalysingChanged, this, [this, waiting, begin] {
        if (isAnalysing_) return;
        disconnect(*waiting);
        postTo(this, begin);
    });
}

void EditorModel::syncNextItem(const std::shared_ptr<SyncRun>& run) {
    while (run->next < run->media.size() && run->generation == generation_) {
        const std::size_t index = run->next++;
        const QUuid id = run->media[index];
        const MediaItem* item = project_.mediaItem(id);
        if (item == nullptr) continue;  // left the project meanwhile
        setSyncStatus(syncStatusText(int64_t(index) + 1, int64_t(run->media.size())));
        const SyncSource reference{toPath(run->reference.path), run->reference.hasAudio, run->referenceLTC};
        const auto itemLTC = ltc_.constFind(id);
        const SyncSource source{toPath(item->path), item->hasAudio,
                                itemLTC == ltc_.constEnd() ? std::nullopt : std::optional<LTCInfo>(*itemLTC)};
        // The cached reference sound travels to the worker and back by value.
        pool_->start([this, run, id, name = item->name, reference, source, rate = run->rate, stop = run->stop,
                      match = environment_.matchSound, sound = std::move(run->referenceSound)]() mutable {
            const SyncItemResult result = syncItem(reference, source, rate, sound, stop, match);
            postTo(this, [this, run, id, name, result, sound = std::move(sound)]() mutable {
                run->referenceSound = std::move(sound);
                if (result.offset) run->offsets.insert(id, *result.offset);
                SyncReport::Entry entry;
                entry.name = name;
                entry.outcome = result.outcome;
                run->entries.emplace_back(id, std::move(entry));
                syncNextItem(run);
            });
        });
        return;
    }
    finishSyncRun(run);
}

void EditorModel::finishSyncRun(const std::shared_ptr<SyncRun>& run) {
    // The project may have changed while the run went on: place only what is still there, and
    // nothing when the reference clip is gone or shows another medium.
    const auto at = project_.clipLocation(run->referenceClipID);
    const bool referenceHeld = run->generation == generation_ && at &&
                               project_.tracks[at->track].clips[at->clip].mediaID == run->reference.id;
    SyncReport report;
    report.referenceName = run->reference.name;
    if (referenceHeld) {
        QHash<QUuid, double> offsets;
        for (auto& [id, entry] : run->entries) {
            if (project_.mediaItem(id) == nullptr) continue;
            if (const auto offset = run->offsets.constFind(id); offset != run->offsets.constEnd())
                offsets.insert(id, *offset);
            report.entries.push_back(std::move(entry));
        }
        // One undo step for the whole run, and only when a clip really moved.
        if (!offsets.isEmpty())
            editProject(true, [&](Project& project) { project.applySync(run->referenceClipID, offsets); });
    }
    setSyncReport(std::move(report));
    setSyncStatus(std::nullopt);
}

}  // namespace qm
