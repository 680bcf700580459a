#include "editor/editor_model.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include <QCoreApplication>
#include <QFileInfo>

#include "editor/editor_preview.h"
#include "editor/model/audio_mix.h"
#include "editor/frame_grid.h"
#include "platform/system/model_support.h"

namespace qm {

QString defaultLayerName(const std::vector<Track>& tracks) { return layerName((long long)tracks.size() + 1); }

namespace {

template <typename T>
bool allFinite(const Animatable<T>& a) {
    return isFinite(a.value) && std::all_of(a.keyframes.begin(), a.keyframes.end(), [](const Keyframe<T>& k) {
               return std::isfinite(k.time) && isFinite(k.value) && std::isfinite(k.inInfluence) &&
                      std::isfinite(k.inVelocity) && std::isfinite(k.outInfluence) && std::isfinite(k.outVelocity);
           });
}

// Whether every number of the clip can be written to a project file, and read back: a volume
// beyond the mix's would be refused there.
bool allFinite(const Clip& c) {
    for (double v : {c.start, c.sourceIn, c.duration, c.opacity, c.fadeIn, c.fadeOut, c.volume})
        if (!std::isfinite(v)) return false;
    if (!(std::abs(c.volume) <= kLargestClipVolume)) return false;
    if (!c.transform) return true;
    bool finite = true;
    c.transform->forEachProperty([&](TransformProperty, const auto& a) { finite = finite && allFinite(a); });
    const ClipEffects& e = c.transform->effects;
    const auto& points = e.curve.points;
    return finite && std::isfinite(e.keyColor.r) && std::isfinite(e.keyColor.g) && std::isfinite(e.keyColor.b) &&
           std::all_of(points.begin(), points.end(), [](const Vec2& p) { return isFinite(p); });
}

}  // namespace

EditorModel::EditorModel(QObject* parent) : EditorModel(Environment{}, parent) {}

EditorModel::EditorModel(Environment environment, QObject* parent)
    : QObject(parent),
      environment_(std::move(environment)),
      project_(Project::makeNew()),
      renderer_(std::make_shared<CompositionRenderer>()) {
    if (!environment_.render) {
        std::weak_ptr<CompositionRenderer> weak = renderer_;
        environment_.render = [weak](const Project& project, const MediaInfos& infos, double time) {
            auto renderer = weak.lock();
            return renderer ? renderFrame(*renderer, project, infos, time) : QImage();
        };
    }
    previews_ = std::make_unique<PreviewRenderLoop>(environment_.render, [this] {
        return PreviewRenderLoop::Job{project_, infos_, playhead_};
    });
    connect(previews_.get(), &PreviewRenderLoop::isRenderingChanged, this, &EditorModel::isRenderingChanged);
    connect(previews_.get(), &PreviewRenderLoop::rendered, this, &EditorModel::setPreviewImage);

    analysis_ = std::make_unique<EditorAnalysis>(environment_.analyze, [this](const QUuid& id) {
        const MediaItem* item = project_.mediaItem(id);
        return item != nullptr ? std::optional<MediaItem>(*item) : std::nullopt;
    });
    connect(analysis_.get(), &EditorAnalysis::ltcChanged, this, &EditorModel::ltcChanged);
    connect(analysis_.get(), &EditorAnalysis::waveformsChanged, this, &EditorModel::waveformsChanged);
    connect(analysis_.get(), &EditorAnalysis::queueChanged, this, &EditorModel::analysisQueueChanged);
    connect(analysis_.get(), &EditorAnalysis::isAnalysingChanged, this, &EditorModel::isAnalysingChanged);

    syncRun_ = std::make_unique<EditorSyncRun>(environment_.matchSound, *this, *analysis_);
    connect(syncRun_.get(), &EditorSyncRun::statusChanged, this, &EditorModel::syncStatusChanged);
    connect(syncRun_.get(), &EditorSyncRun::reportChanged, this, &EditorModel::syncReportChanged);

    playback_ = std::make_unique<EditorPlayback>(environment_.render, renderer_, environment_.sound);
    connect(playback_.get(), &EditorPlayback::isPlayingChanged, this, &EditorModel::isPlayingChanged);
    connect(playback_.get(), &EditorPlayback::timeReached, this, &EditorModel::setPlayhead);
    connect(playback_.get(), &EditorPlayback::frameShown, this, &EditorModel::setPreviewImage);
    connect(playback_.get(), &EditorPlayback::reachedEnd, this, [this](double end) {
        setPlayhead(end);
        pause();  // the still frame at the end
    });

    export_ = std::make_unique<EditorExport>();
    connect(export_.get(), &EditorExport::isExportingChanged, this, &EditorModel::isExportingChanged);
    connect(export_.get(), &EditorExport::progressChanged, this, &EditorModel::exportProgressChanged);
    connect(export_.get(), &EditorExport::resultChanged, this, &EditorModel::exportResultChanged);
    connect(export_.get(), &EditorExport::errorChanged, this, &EditorModel::exportErrorChanged);
    connect(export_.get(), &EditorExport::mediaGone, this, &EditorModel::checkTimelineMedia);

    packaging_ = std::make_unique<EditorPackaging>();
    connect(packaging_.get(), &EditorPackaging::progressChanged, this, &EditorModel::packagingProgressChanged);
    connect(packaging_.get(), &EditorPackaging::resultChanged, this, &EditorModel::packageResultChanged);
    connect(packaging_.get(), &EditorPackaging::failed, this, &EditorModel::appendImportError);
}

EditorModel::~EditorModel() = default;

// --- Plain observed fields ---------------------------------------------------------------------

void EditorModel::setProject(Project project) {
    if (project == project_) return;
    project_ = std::move(project);
    emit projectChanged();
}

void EditorModel::setInfos(MediaInfos infos) {
    if (infos == infos_) return;
    infos_ = std::move(infos);
    emit infosChanged();
}

void EditorModel::setSelectedClipID(const QUuid& id) {
    if (id == selectedClipID_) return;
    selectedClipID_ = id;
    emit selectedClipIDChanged();
    setSelectedKeyframes({});
}

void EditorModel::setSelectedKeyframes(QSet<QUuid> ids) {
    assignAndNotify(this, selectedKeyframes_, std::move(ids), &EditorModel::selectedKeyframesChanged);
}
void EditorModel::setExpandedTracks(QSet<QUuid> value) {
    assignAndNotify(this, expandedTracks_, std::move(value), &EditorModel::expandedTracksChanged);
}
void EditorModel::setShowGraphEditor(bool value) {
    assignAndNotify(this, showGraphEditor_, value, &EditorModel::showGraphEditorChanged);
}
void EditorModel::setGraphProperty(std::optional<TransformProperty> value) {
    assignAndNotify(this, graphProperty_, value, &EditorModel::graphPropertyChanged);
}

void EditorModel::setKeyframeClipboard(std::vector<KeyframeClipboardEntry> entries) {
    const bool same = std::equal(entries.begin(), entries.end(), keyframeClipboard_.begin(), keyframeClipboard_.end(),
                                 [](const auto& a, const auto& b) {
                                     return a.property == b.property && a.keyframe == b.keyframe;
                                 });
    if (same) return;
    keyframeClipboard_ = std::move(entries);
    emit keyframeClipboardChanged();
}

void EditorModel::setPlayhead(double value) { assignAndNotify(this, playhead_, value, &EditorModel::playheadChanged); }

void EditorModel::setPreviewImage(QImage image) {
    // Pictures are compared by identity, as the viewer sees them: every render is news.
    if (image.isNull() && previewImage_.isNull()) return;
    previewImage_ = std::move(image);
    emit previewImageChanged();
}

void EditorModel::setPixelsPerSecond(double value) {
    if (!std::isfinite(value) || value <= 0) return;
    assignAndNotify(this, pixelsPerSecond_, value, &EditorModel::pixelsPerSecondChanged);
}

void EditorModel::setTimelineViewportWidth(double value) {
    if (!std::isfinite(value)) return;
    assignAndNotify(this, timelineViewportWidth_, value, &EditorModel::timelineViewportWidthChanged);
}

void EditorModel::setIsDirty(bool value) {
    if (value == isDirty_) return;
    isDirty_ = value;
    emit isDirtyChanged();
    emit windowTitleChanged();
}

void EditorModel::clearImportErrors() {
    assignAndNotify(this, importErrors_, QStringList(), &EditorModel::importErrorsChanged);
}
void EditorModel::setIsPickingKeyColor(bool value) {
    assignAndNotify(this, isPickingKeyColor_, value, &EditorModel::isPickingKeyColorChanged);
}

// --- Derived -----------------------------------------------------------------------------------

std::optional<Clip> EditorModel::clip(const QUuid& id) const {
    if (id.isNull()) return std::nullopt;
    const auto at = project_.clipLocation(id);
    if (!at) return std::nullopt;
    return project_.tracks[at->track].clips[at->clip];
}

std::optional<Clip> EditorModel::selectedClip() const { return clip(selectedClipID_); }

QString EditorModel::windowTitle() const {
    const QString base = projectURL_.isEmpty() ? QCoreApplication::translate("EditorModel", "Untitled")
                                               : QFileInfo(projectURL_).completeBaseName();
    return isDirty_ ? base + QStringLiteral(" \u2022") : base;
}

std::optional<ClipTransform> EditorModel::transform(const QUuid& clipID) const {
    const auto c = clip(clipID);
    if (!c) return std::nullopt;
    if (c->transform) return c->transform;
    return project_.defaultTransform(*c);
}

double EditorModel::clipTimeAtPlayhead(const Clip& clip) const {
    return frameRounded(playhead_, fps()) - clip.start + clip.sourceIn;
}

std::vector<double> EditorModel::keyframeTimes(const Clip& clip) {
    std::vector<double> times;
    if (!clip.transform) return times;
    for (const auto& k : clip.transform->allKeyframes()) times.push_back(k.time - clip.sourceIn + clip.start);
    return times;
}

// --- Undo --------------------------------------------------------------------------------------

void EditorModel::pushUndo() {
    endPendingGesture();
    pushSnapshot(history_.snapshot(project_));
}

void EditorModel::pushSnapshot(ProjectSnapshot snapshot) {
    const bool hadRedo = history_.redoCount() > 0;
    history_.push(std::move(snapshot));
    emit undoStackChanged();
    if (hadRedo) emit redoStackChanged();
}

void EditorModel::endPendingGesture() {
    if (gesture_) endGesture();
}

void EditorModel::beginGesture() {
    endPendingGesture();
    gesture_ = Gesture{history_.snapshot(project_), isDirty_};
}

void EditorModel::endGesture() {
    if (!gesture_) return;
    Gesture g = std::move(*gesture_);
    gesture_.reset();
    if (g.before.holds(project_)) {
        setIsDirty(g.wasDirty);
        return;
    }
    pushSnapshot(std::move(g.before));
}

void EditorModel::undo() { transferSnapshot(true); }
void EditorModel::redo() { transferSnapshot(false); }

void EditorModel::transferSnapshot(bool back) {
    endPendingGesture();
    auto restored = back ? history_.undo(project_) : history_.redo(project_);
    if (!restored) return;
    emit undoStackChanged();
    emit redoStackChanged();
    restoreSnapshot(std::move(*restored));
}

void EditorModel::restoreSnapshot(Project project) {
    const Project before = std::exchange(project_, std::move(project));
    // A step recorded before a medium's file was replaced holds the old picture's size and anchors.
    for (auto it = infos_.cbegin(); it != infos_.cend(); ++it) {
        const MediaItem* item = project_.mediaItem(it.key());
        const MediaItem* was = before.mediaItem(it.key());
        if (item && (!was || was->path == item->path) && it->width > 0 && it->height > 0 &&
            (item->width != it->width || item->height != it->height))
            project_.conformMedium(it.key(), *it);
    }
    emit projectChanged();
    reprobeChangedMedia(before);
    if (!selectedClipID_.isNull() && !project_.clipLocation(selectedClipID_)) setSelectedClipID({});
    setIsDirty(true);
    requestRender();
}

void EditorModel::projectEdited() {
    emit projectChanged();
    setIsDirty(true);
    requestRender();
}

bool EditorModel::editClip(const QUuid& id, bool undoable, const std::function<void(Clip&)>& change) {
    if (id.isNull()) return false;
    const auto at = project_.clipLocation(id);
    if (!at) return false;
    Clip edited = project_.tracks[at->track].clips[at->clip];
    change(edited);
    // A number a project file cannot hold is refused whole: the project stays saveable.
    if (edited == project_.tracks[at->track].clips[at->clip] || !allFinite(edited)) return false;
    if (undoable) pushUndo();
    project_.tracks[at->track].clips[at->clip] = std::move(edited);
    projectEdited();
    return true;
}

bool EditorModel::editProject(bool undoable, const std::function<void(Project&)>& change) {
    Project edited = project_;
    change(edited);
    if (edited == project_) return false;
    if (undoable) pushUndo();
    project_ = std::move(edited);
    projectEdited();
    return true;
}

bool EditorModel::editTransform(const QUuid& clipID, bool undoable, const std::function<void(ClipTransform&)>& change) {
    auto t = transform(clipID);
    if (!t) return false;
    change(*t);
    return editClip(clipID, undoable, [&](Clip& c) {
        c.transform = std::move(*t);
        c.opacity = 1.0;
    });
}

// --- Preview -----------------------------------------------------------------------------------

void EditorModel::requestRender() {
    if (!isPlaying()) previews_->request();
}

// --- Zoom --------------------------------------------------------------------------------------

void EditorModel::zoomTimeline(double factor) {
    if (!std::isfinite(factor)) return;
    const double zoomed = std::min(std::max(pixelsPerSecond_ * factor, 4.0), 800.0);
    if (std::isfinite(zoomed)) setPixelsPerSecond(zoomed);
}

void EditorModel::zoomToFit() {
    const double d = project_.duration();
    if (!(d > 0) || !std::isfinite(d)) return;
    const double w = std::max(timelineViewportWidth_ - 36, 100.0);
    setPixelsPerSecond(std::min(std::max(w / d, 4.0), 800.0));
}

// --- Playhead ----------------------------------------------------------------------------------

void EditorModel::seek(double time) {
    const double d = project_.duration();
    const double target = d > 0 && !std::isnan(time) ? std::clamp(time, 0.0, d) : 0.0;
    setPlayhead(frameRounded(target, fps()));
    if (isPlaying()) {
        pause();
        play();
    } else {
        requestRender();
    }
}

void EditorModel::stepFrames(int frames) { seek(frameRounded(playhead_, fps()) + frames * oneFrame(fps())); }

void EditorModel::play() {
    const double d = project_.duration();
    if (!(d > 0) || isPlaying()) return;
    if (playhead_ >= d - oneFrame(fps())) setPlayhead(0);
    playback_->start(project_, infos_, analysis_->ltc(), playhead_);
}

void EditorModel::pause() {
    playback_->stop();
    requestRender();
}

// --- Timecode and sync -------------------------------------------------------------------------

void EditorModel::enqueueAnalysis(const QUuid& mediaID) { analysis_->enqueue(mediaID); }

void EditorModel::resetAnalysis() {
    // Renders, the analysis and a sync run started for the old project report nothing into this one.
    previews_->drop();
    analysis_->reset();
    syncRun_->cancel();
}

void EditorModel::syncClips(const QUuid& referenceClipID) { syncRun_->start(referenceClipID); }
void EditorModel::clearSyncReport() { syncRun_->setReport(std::nullopt); }

}  // namespace qm
