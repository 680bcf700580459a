#pragma once
// The Advanced Editor's one model: the open project, probe results, selection, playhead, preview
// picture, zoom, document state, undo and redo, and every editing command of the timeline,
// inspector and graph editor.
//
// Lives on the GUI thread. Each observed field has its own change signal, emitted only when the
// value really changes. An undoable edit records a snapshot, changes the project, marks it dirty
// and asks for a preview; an edit that would change nothing records nothing. A continuous
// gesture (drag, scrub, slider) is one undo step between beginGesture() and endGesture().
//
// The long-running work lives in activity objects the model owns, each with its workers and
// generation: previews (PreviewRenderLoop), playback (EditorPlayback), the media analysis
// (EditorAnalysis), the sync run (EditorSyncRun), export (EditorExport) and packaging
// (EditorPackaging). The model forwards its interface to them;
// a view that follows one activity may bind to that object.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include <QFuture>
#include <QHash>
#include <QImage>
#include <QPointF>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QUuid>

#include "editor/editor_analysis.h"
#include "editor/editor_export.h"
#include "editor/editor_packaging.h"
#include "editor/editor_playback.h"
#include "editor/editor_sync_run.h"
#include "editor/model/composition_renderer.h"
#include "editor/model/project.h"
#include "editor/model/project_exporter.h"
#include "editor/sync/clip_sync.h"
#include "editor/sync/media_analysis.h"
#include "editor/sync/sync_report.h"
#include "editor/sync/timecode.h"
#include "editor/preview_render_loop.h"
#include "editor/undo_history.h"
#include "engine/conversion_settings.h"
#include "engine/transcode_sync.h"

class QThreadPool;

namespace qm {

class DesktopServices;

// A new track's name: "Layer " and the number of tracks in the list plus one.
QString defaultLayerName(const std::vector<Track>& tracks);

// Every keyframe with an id in `ids` leaves every clip; a property that loses its last keyframe
// keeps its value at timeline time `t` (in that clip's time).
void removeKeyframes(Project& project, const QSet<QUuid>& ids, double t);
void applyInterpolation(Project& project, KeyframeInterpolation interpolation, const QSet<QUuid>& ids);

// The graph editor's drags, as edits for EditorModel::updateClip (no change without a transform).
void applyGraphValue(Clip& clip, TransformProperty property, const QUuid& keyframeID, std::size_t component,
                     double value);
void applyGraphEase(Clip& clip, TransformProperty property, const QUuid& keyframeID, bool outgoing, double influence,
                    double velocity);

class EditorModel : public QObject {
    Q_OBJECT

public:
    using PackagingProgress = qm::PackagingProgress;
    using PackageResult = qm::PackageResult;

    // What the model reaches outside itself; tests fill it.
    struct Environment {
        DesktopServices* desktop = nullptr;  // nullptr: desktopServices()
        // One preview picture of the project at a time; runs on a worker thread. Empty: the
        // model's CompositionRenderer through renderFrame().
        std::function<QImage(const Project&, const MediaInfos&, double)> render;
        // The analysis of one file on a worker thread. Empty: analyzeMedia().
        std::function<MediaAnalysis(const std::filesystem::path&, bool needsWaveform, std::stop_token)> analyze;
        // A sync run's sound comparison on a worker thread. Empty: matchSound().
        SoundMatcher matchSound;
        // false: playback never opens an audio output and runs on the wall clock.
        bool sound = true;
    };

    explicit EditorModel(QObject* parent = nullptr);
    explicit EditorModel(Environment environment, QObject* parent = nullptr);
    // Its activities tell their workers to stop and wait for them.
    ~EditorModel() override;

    // --- Observed state ----------------------------------------------------------------------
    const Project& project() const { return project_; }
    // A direct write (the project inspector): records no step and marks nothing dirty; the caller
    // does pushUndo(), setIsDirty(true) and requestRender() itself.
    void setProject(Project project);
    const MediaInfos& infos() const { return infos_; }
    void setInfos(MediaInfos infos);
    bool isMissing(const QUuid& mediaID) const { return !infos_.contains(mediaID); }

    QUuid selectedClipID() const { return selectedClipID_; }
    // A different value (null counts) empties the keyframe selection.
    void setSelectedClipID(const QUuid& id);
    const QSet<QUuid>& selectedKeyframes() const { return selectedKeyframes_; }
    void setSelectedKeyframes(QSet<QUuid> ids);
    const QSet<QUuid>& expandedTracks() const { return expandedTracks_; }
    bool showGraphEditor() const { return showGraphEditor_; }
    void setShowGraphEditor(bool value);
    std::optional<TransformProperty> graphProperty() const { return graphProperty_; }
    const std::vector<KeyframeClipboardEntry>& keyframeClipboard() const { return keyframeClipboard_; }

    double playhead() const { return playhead_; }
    bool isPlaying() const { return playback_->isPlaying(); }
    const QImage& previewImage() const { return previewImage_; }
    double pixelsPerSecond() const { return pixelsPerSecond_; }
    // The zoom slider's plain write; a value that is not a positive number is refused.
    void setPixelsPerSecond(double value);
    double timelineViewportWidth() const { return timelineViewportWidth_; }
    void setTimelineViewportWidth(double value);

    const QString& projectURL() const { return projectURL_; }
    bool isDirty() const { return isDirty_; }
    void setIsDirty(bool value);
    const QStringList& importErrors() const { return importErrors_; }
    void clearImportErrors();
    const std::optional<PackagingProgress>& packagingProgress() const { return packaging_->progress(); }
    const std::optional<PackageResult>& packageResult() const { return packaging_->result(); }

    const QHash<QUuid, LTCInfo>& ltc() const { return analysis_->ltc(); }
    const QHash<QUuid, std::vector<float>>& waveforms() const { return analysis_->waveforms(); }
    const std::optional<QString>& syncStatus() const { return syncRun_->status(); }
    void setSyncStatus(std::optional<QString> value) { syncRun_->setStatus(std::move(value)); }
    const std::optional<SyncReport>& syncReport() const { return syncRun_->report(); }
    const std::vector<QUuid>& analysisQueue() const { return analysis_->queue(); }
    bool isAnalysing() const { return analysis_->isAnalysing(); }

    bool isExporting() const { return export_->isExporting(); }
    void setIsExporting(bool value) { export_->setIsExporting(value); }
    const TranscodeProgress& exportProgress() const { return export_->progress(); }
    const std::optional<QString>& exportResult() const { return export_->result(); }
    void setExportResult(std::optional<QString> value) { export_->setResult(std::move(value)); }
    const std::optional<QString>& exportError() const { return export_->error(); }
    void setExportError(std::optional<QString> value) { export_->setError(std::move(value)); }
    // The missing media whose clips the export that set exportResult left out.
    const QStringList& exportLeftOut() const { return export_->leftOut(); }
    // The missing media whose clips an export would leave out now.
    QStringList missingTimelineMedia() const { return qm::missingTimelineMedia(project_, infos_, unreadableMedia()); }
    // Media whose files are there but did not probe, with why: an export stops at them.
    UnreadableMedia unreadableMedia() const;
    // The names of those the timeline shows or plays, in bin order.
    QStringList unreadableTimelineMedia() const;

    // The history: snapshots oldest first, at most 200 undo entries.
    std::size_t undoCount() const { return history_.undoCount(); }
    std::size_t redoCount() const { return history_.redoCount(); }
    const UndoHistory& history() const { return history_; }

    CompositionRenderer& renderer() { return *renderer_; }
    bool isRendering() const { return previews_->isRendering(); }
    bool renderPending() const { return previews_->isPending(); }
    bool isPickingKeyColor() const { return isPickingKeyColor_; }
    void setIsPickingKeyColor(bool value);

    // --- Derived -----------------------------------------------------------------------------
    std::optional<Clip> selectedClip() const;
    // "Untitled" or the file's base name, with " •" while dirty.
    QString windowTitle() const;
    std::optional<Clip> clip(const QUuid& id) const;
    // The clip's own transform, or the default one from its medium and the canvas; nothing when
    // the clip or (without a transform) its medium is missing.
    std::optional<ClipTransform> transform(const QUuid& clipID) const;
    // The frame-rounded playhead in the clip's media time.
    double clipTimeAtPlayhead(const Clip& clip) const;
    // Timeline times of all keyframes of the clip's own transform, property by property.
    static std::vector<double> keyframeTimes(const Clip& clip);
    // The summed height in points of the timeline's layer rows below the ruler: 57 a layer, plus
    // 26 a lane property and a divider for an expanded layer that has any.
    double timelineTracksHeight() const;

    // --- Undo --------------------------------------------------------------------------------
    void pushUndo();
    void undo();
    void redo();
    // A continuous gesture: one undo step at its end, only when the project changed; a gesture
    // that ends with the project as it began leaves isDirty as it was. Undo, redo and every
    // undoable command end a pending gesture first.
    void beginGesture();
    void endGesture();
    bool inGesture() const { return gesture_.has_value(); }

    // --- Preview -----------------------------------------------------------------------------
    void requestRender();

    // --- Zoom --------------------------------------------------------------------------------
    void zoomTimeline(double factor);
    void zoomToFit();

    // --- Playhead ----------------------------------------------------------------------------
    void seek(double time);
    void stepFrames(int frames);
    // Playback proper (the loop, the audio player) comes with the playback work; these keep the
    // flag and its rules so seeking and previews behave.
    void play();
    void pause();

    // --- Clips on the timeline ---------------------------------------------------------------
    void addClipAtPlayhead(const QUuid& mediaID, std::optional<std::size_t> track = std::nullopt,
                           std::optional<double> time = std::nullopt);
    // An in-place edit of `project` for the clip drag: records nothing, marks nothing dirty.
    static void moveClip(Project& project, std::size_t track, std::size_t index, std::optional<std::ptrdiff_t> toTrack,
                         double start);
    // The drag's form of moveClip on the model's project: no step, dirty, render.
    void moveClipInModel(std::size_t track, std::size_t index, std::optional<std::ptrdiff_t> toTrack, double start);
    void trimClipStart(const QUuid& id, double time);
    void trimClipEnd(const QUuid& id, double time);
    // The nearest snap target (0, the playhead, other clips' edges) within 8 points, else `time`.
    struct Snap {
        double time;
        bool snapped;  // a target was near, even one equal to `time`
    };
    Snap snap(double time, const QUuid& leaveOut = {}) const;
    double snapTime(double time, const QUuid& leaveOut = {}) const { return snap(time, leaveOut).time; }
    void splitAtPlayhead();
    void duplicateClip();
    void deleteSelection();
    bool deleteSelectedKeyframes();

    // --- Clip properties ---------------------------------------------------------------------
    void updateClip(const QUuid& id, bool undoable, const std::function<void(Clip&)>& change);
    void setClipEnd(const QUuid& id, double end, bool undoable);
    void setClipTransform(const QUuid& id, const ClipTransform& transform, bool undoable);
    void setClipBlendMode(const QUuid& id, bool undoable, BlendMode mode);
    void setClipFit(const QUuid& id, bool undoable, FitMode fit);
    void setClipFades(const QUuid& id, std::optional<double> fadeIn, std::optional<double> fadeOut, bool undoable);
    void setClipVolume(const QUuid& id, double volume, bool undoable);
    void moveKeyframes(const QUuid& clipID, const QSet<QUuid>& ids, double delta, bool undoable);
    void setUniformScale(const QUuid& clipID, bool uniform);
    void resetKeying(const QUuid& clipID);
    void resetColor(const QUuid& clipID);
    void resetColorCorrection(const QUuid& clipID) { resetColor(clipID); }
    void resetTransform(const QUuid& clipID);
    // The keying and colour switches of the inspector (one step each).
    void setClipEffects(const QUuid& clipID, const ClipEffects& effects);
    void setProjectSize(int width, int height);
    void toggleTrackExpanded(const QUuid& trackID);

    // --- Keyframes ---------------------------------------------------------------------------
    void setPropertyValue(TransformProperty property, const QUuid& clipID, const TransformValue& value, bool undoable);
    void toggleKeyframeAtPlayhead(const QUuid& clipID, TransformProperty property);
    void toggleStopwatch(TransformProperty property, const QUuid& clipID);
    void toggleAnimation(TransformProperty property, const QUuid& clipID) { toggleStopwatch(property, clipID); }
    void selectKeyframe(const QUuid& keyframeID, const QUuid& clipID, bool extend);
    void showPropertyInGraphEditor(TransformProperty property, const QUuid& clipID);
    std::optional<TransformProperty> effectiveGraphProperty() const;
    // The same as a clip and property pair.
    std::optional<std::pair<Clip, TransformProperty>> effectiveGraphClipProperty() const;
    bool canPasteKeyframes() const;
    std::optional<Clip> laneClip(std::size_t track) const;
    std::vector<TransformProperty> laneProperties(std::size_t track) const;
    void jumpToPropertyKeyframe(const Clip& clip, TransformProperty property, bool forward);
    void seekToNeighbour(const std::vector<double>& times, bool forward);
    void jumpToKeyframe(bool forward);
    bool setInterpolation(KeyframeInterpolation interpolation);
    bool copyKeyframes();
    bool pasteKeyframes();
    void toggleTrackLanes();

    // --- Tracks ------------------------------------------------------------------------------
    void addTrack();
    void deleteTrack(std::size_t index);
    void moveTrack(std::size_t index, int offset);
    void toggleTrackVisibility(std::size_t index, bool undoable);
    void toggleTrackAudio(std::size_t index, bool undoable);
    void updateTrack(std::size_t index, bool undoable, const std::function<void(Track&)>& change);

    // --- Documents ----------------------------------------------------------------------------
    // The asynchronous commands return a future that ends once their results are stored.
    void newProject();
    // A .qmproj file, a .qmpack package, or the "project.qmproj" inside one (opened as the package).
    QFuture<void> openProject(const QString& path);
    // Save (or Save As): false when cancelled or failed (the failure is in importErrors).
    bool saveProject(bool as = false);
    // Asks whether to save unsaved changes before the project is replaced: true to go on.
    bool confirmReplacingProject();
    QFuture<void> importMediaPanel();
    QFuture<void> packageProjectPanel();
    QFuture<void> packageProject(const QString& path);
    void clearPackageResult();

    // --- Media -------------------------------------------------------------------------------
    QFuture<void> importFiles(const QStringList& paths);
    // One line for the import error list (for what a drop offers that cannot be read as a file).
    void appendImportError(const QString& line);
    bool hasMissingMedia() const;
    // Looks again at the files of the media the timeline shows or plays (the export sheet opening,
    // an export starting): one that is gone, not a regular file or cannot be opened becomes
    // missing, as if it had not been found at opening; one found so by an earlier check whose file
    // reads again at the same place is probed again and present again. A file changed since it was
    // probed (another size, time or inode) is probed again: its record follows what it is now
    // (Project::conformMedium), or it becomes unreadable when it no longer probes.
    void checkTimelineMedia();
    QFuture<void> relinkMedia(const QUuid& mediaID);
    QFuture<void> relink(const QUuid& mediaID, const QString& path);
    void applyRelink(const QUuid& mediaID, const QString& path, const MediaInfo& info);
    void removeMedia(const QUuid& mediaID);

    // --- Eyedropper: the selected clip's source colour under a canvas point becomes its key colour.
    QFuture<void> pickKeyColor(QPointF canvasPoint);

    // --- Export ------------------------------------------------------------------------------
    QFuture<void> startExport(const ConversionSettings& settings, const QString& destination);
    void cancelExport();
    // The panels and file manager of this model's desktop (the export sheet asks through it).
    DesktopServices& desktop() const;
    // Where a panel of a kind not used yet opens: beside the project; empty for a new one.
    QString panelFolder() const;

    // --- Playback: frames shown by the running or last playback, for callers that watch pacing.
    int playbackFrames() const { return playback_->frames(); }
    // Whether the running playback's clock is its audio output (false: the wall clock).
    bool playbackHasSound() const { return playback_->hasSound(); }
    // Media probes of an open, import, relink, undo or redo still running.
    bool isProbing() const { return probesRunning_ > 0; }
    // --- Timecode and sync -------------------------------------------------------------------
    // Queues a medium for the background analysis (its LTC and, without a picture, its
    // waveform), dropping its earlier results; media are analysed one at a time, in order.
    void enqueueAnalysis(const QUuid& mediaID);
    // For a new or opened project: empties the queue and both result maps, and tells the running
    // analysis and sync comparisons to stop; their results are dropped.
    void resetAnalysis();
    struct PlayheadTimecode {
        Timecode timecode;
        Clip clip;
        LTCInfo info;
        bool operator==(const PlayheadTimecode&) const = default;
    };
    // The LTC reading under the playhead: of the selected clip when it covers the playhead and
    // its medium has LTC, else of the first track's clip at the playhead that has.
    std::optional<PlayheadTimecode> timecodeAtPlayhead() const;
    // Lines the other media on the timeline up with the reference clip, by timecode or by sound,
    // in one undo step, and leaves a report; ignored while a run is active.
    void syncClips(const QUuid& referenceClipID);
    void clearSyncReport();

    // --- The activities ----------------------------------------------------------------------
    PreviewRenderLoop& previews() { return *previews_; }
    EditorPlayback& playback() { return *playback_; }
    EditorAnalysis& analysis() { return *analysis_; }
    EditorSyncRun& syncRun() { return *syncRun_; }
    EditorExport& exportRun() { return *export_; }
    EditorPackaging& packaging() { return *packaging_; }

signals:
    // Just before a save's failure is added to importErrors, so that its alert says what failed.
    void saveFailed();
    void projectChanged();
    void infosChanged();
    void selectedClipIDChanged();
    void selectedKeyframesChanged();
    void expandedTracksChanged();
    void showGraphEditorChanged();
    void graphPropertyChanged();
    void keyframeClipboardChanged();
    void playheadChanged();
    void isPlayingChanged();
    void previewImageChanged();
    void pixelsPerSecondChanged();
    void timelineViewportWidthChanged();
    void projectURLChanged();
    void isDirtyChanged();
    void importErrorsChanged();
    void packagingProgressChanged();
    void packageResultChanged();
    void ltcChanged();
    void waveformsChanged();
    void syncStatusChanged();
    void syncReportChanged();
    void analysisQueueChanged();
    void isAnalysingChanged();
    void isExportingChanged();
    void exportProgressChanged();
    void exportResultChanged();
    void exportErrorChanged();
    void undoStackChanged();
    void redoStackChanged();
    void isRenderingChanged();
    void isPickingKeyColorChanged();
    void windowTitleChanged();

private:
    friend class EditorSyncRun;  // applies its moves as one edit

    // The common tail of an edit: the project changed, so notify, mark dirty and ask for a picture.
    void projectEdited();
    // Runs `change` on a copy of the clip; records (when asked), stores and finishes the edit only
    // when the clip came out different.
    bool editClip(const QUuid& id, bool undoable, const std::function<void(Clip&)>& change);
    // The same for the whole project (rarer, wider commands).
    bool editProject(bool undoable, const std::function<void(Project&)>& change);
    // Stores a keyframe-aware transform edit: transform and opacity 1 (the transform write).
    bool editTransform(const QUuid& clipID, bool undoable, const std::function<void(ClipTransform&)>& change);
    // Undo (back) or redo: one step from one side of the history to the other.
    void transferSnapshot(bool back);
    void restoreSnapshot(Project project);
    void pushSnapshot(ProjectSnapshot snapshot);
    void endPendingGesture();
    void setPlayhead(double value);
    void setPreviewImage(QImage image);
    void setGraphProperty(std::optional<TransformProperty> value);
    void setKeyframeClipboard(std::vector<KeyframeClipboardEntry> entries);
    void setExpandedTracks(QSet<QUuid> value);
    double fps() const { return project_.frameRate; }
    // Documents and media (editor_documents.cpp, editor_media.cpp).
    QThreadPool* workers();
    void setProjectURL(QString url);
    void clearRendererReaders();
    // Probes the media in project order on a worker, storing each result while `generation` is
    // the document's; calls `done` on the GUI thread after the last.
    void probeMedia(std::vector<MediaItem> items, quint64 generation, std::function<void()> done);
    // Undo and redo re-probe the media whose path they changed.
    void reprobeChangedMedia(const Project& before);

    Environment environment_;
    Project project_;
    MediaInfos infos_;
    QUuid selectedClipID_;
    QSet<QUuid> selectedKeyframes_;
    QSet<QUuid> expandedTracks_;
    bool showGraphEditor_ = false;
    std::optional<TransformProperty> graphProperty_;
    std::vector<KeyframeClipboardEntry> keyframeClipboard_;
    double playhead_ = 0;
    QImage previewImage_;
    double pixelsPerSecond_ = 60;
    double timelineViewportWidth_ = 800;
    QString projectURL_;
    bool isDirty_ = false;
    QStringList importErrors_;
    UndoHistory history_;
    std::shared_ptr<CompositionRenderer> renderer_;
    bool isPickingKeyColor_ = false;

    // A gesture's starting point and the dirty flag it began with.
    struct Gesture {
        ProjectSnapshot before;
        bool wasDirty = false;
    };
    std::optional<Gesture> gesture_;
    // What this session last saw of each medium's file when it probed or looked for it: its path,
    // its stamp then (none: a check found it gone) and, for one there that did not probe, why.
    // Media whose file was not there at opening have no entry: they come back through Relink.
    struct SeenFile {
        QString path;
        std::optional<FileStamp> stamp;
        std::optional<QString> unreadable;
    };
    QHash<QUuid, SeenFile> seenFiles_;
    void noteProbed(const QUuid& mediaID, const QString& path, const std::optional<FileStamp>& stamp,
                    const std::optional<QString>& unreadable);
    // Stores a probe of a medium's file made since its record was written; false when the medium
    // now points elsewhere.
    bool takeReprobe(MediaInfos& infos, const QUuid& mediaID, const QString& path, const MediaInfo& info);
    int probesRunning_ = 0;
    quint64 documentGeneration_ = 0;  // a new or opened project drops older probes
    // Last: destroyed first, so no worker outlives the fields it reports into.
    std::unique_ptr<QThreadPool> workers_;
    // The activities, ended (their workers waited for) before the state they report into.
    std::unique_ptr<PreviewRenderLoop> previews_;
    std::unique_ptr<EditorAnalysis> analysis_;
    std::unique_ptr<EditorSyncRun> syncRun_;
    std::unique_ptr<EditorPlayback> playback_;
    std::unique_ptr<EditorExport> export_;
    std::unique_ptr<EditorPackaging> packaging_;
};

}  // namespace qm
