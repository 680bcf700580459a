#pragma once
// Real-time playback of the editor's timeline: one run at a time over copies of the project, its
// sound mixed on a worker and played through the default audio output, the time following what is
// heard (or the wall clock when nothing can be heard), one preview picture after another.
//
// Lives on the GUI thread, which alone creates and ends every run, its mixer, its audio thread and
// its output; the pool's workers get copies of what they read and report back under the run's generation, so a
// stopped run's late pictures are dropped.

#include <functional>
#include <memory>

#include <QImage>
#include <QObject>

#include "editor/model/audio_mix.h"
#include "editor/model/composition_renderer.h"
#include "editor/model/project.h"
#include "platform/system/task_pool.h"

namespace qm {

class EditorPlayback : public QObject {
    Q_OBJECT

public:
    using Render = std::function<QImage(const Project&, const MediaInfos&, double)>;

    // `render` draws one picture on a worker; `sound` false never opens an audio output.
    EditorPlayback(Render render, std::shared_ptr<CompositionRenderer> renderer, bool sound, QObject* parent = nullptr);
    // Ends the run and waits for its workers; emits nothing.
    ~EditorPlayback() override;

    bool isPlaying() const { return isPlaying_; }
    // Whether the running playback's clock is its audio output (false: the wall clock).
    bool hasSound() const;
    // Frames shown by the running or last run.
    int frames() const { return frames_; }

    // Plays the project from `from` on. The sound's plan opens every file, so it is made on a
    // worker; the run begins when it arrives, unless it was stopped or replaced meanwhile.
    void start(Project project, MediaInfos infos, LTCInfos ltc, double from);
    // Ends the run at once, here; pictures still being drawn are dropped.
    void stop();

signals:
    void isPlayingChanged();
    // The run's time before its picture is drawn.
    void timeReached(double time);
    void frameShown(QImage image);
    // The run's time passed the end of the project at `end`.
    void reachedEnd(double end);

private:
    struct Run;
    bool current(quint64 generation) const { return run_ && generation == generation_; }
    void begin(quint64 generation, std::shared_ptr<const Project> project, std::shared_ptr<const MediaInfos> infos,
               double from, std::optional<AudioMixPlan> plan);
    void tick(quint64 generation);
    // The number of the frame whose interval holds playback time `t` at `rate` frames a second.
    static int64_t dueFrame(double t, double rate);
    void frameRendered(quint64 generation, qint64 elapsedNs, QImage image);
    void endRun();

    Render render_;
    std::shared_ptr<CompositionRenderer> renderer_;
    bool sound_;
    bool isPlaying_ = false;
    int frames_ = 0;
    quint64 generation_ = 0;
    std::unique_ptr<Run> run_;
    // On the background pool; waited for before anything they report into goes. A stopped run's
    // picture may still be drawn: the next one waits for it.
    PoolTask plan_;
    PoolTask frame_;
};

}  // namespace qm
