// Real-time playback: the timeline's sound mixed from the playhead on and played through the
// default audio output, the playhead following what is heard (or the wall clock when nothing can
// be heard), one preview picture after another.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include <QAudioDevice>
#include <QAudioSink>
#include <QElapsedTimer>
#include <QIODevice>
#include <QMediaDevices>
#include <QThread>
#include <QTimer>

#include "editor/editor_playback.h"
#include "editor/frame_grid.h"
#include "editor/model/audio_mix.h"
#include "platform/system/model_support.h"

namespace qm {

namespace {

constexpr int kChannels = 2;
constexpr int kRate = AudioMixReader::kRate;

// Mixed samples between the worker that mixes and the sink that plays; the sink is never kept
// waiting: what is not there yet plays as silence.
class SampleRing {
public:
    explicit SampleRing(std::size_t capacity) : capacity_(capacity) {}

    // Blocks while full; false once closed.
    bool push(const float* samples, std::size_t count) {
        std::unique_lock guard(lock_);
        while (count > 0) {
            space_.wait(guard, [&] { return closed_ || samples_.size() < capacity_; });
            if (closed_) return false;
            const std::size_t n = std::min(count, capacity_ - samples_.size());
            samples_.insert(samples_.end(), samples, samples + n);
            samples += n;
            count -= n;
        }
        return true;
    }
    std::size_t pop(float* into, std::size_t count) {
        std::lock_guard guard(lock_);
        const std::size_t n = std::min(count, samples_.size());
        std::copy_n(samples_.begin(), n, into);
        samples_.erase(samples_.begin(), samples_.begin() + std::ptrdiff_t(n));
        space_.notify_all();
        return n;
    }
    void close() {
        std::lock_guard guard(lock_);
        closed_ = true;
        space_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable space_;
    std::deque<float> samples_;
    std::size_t capacity_;
    bool closed_ = false;
};

// What the sink pulls: the ring's samples, silence where it runs dry.
class RingDevice : public QIODevice {
public:
    explicit RingDevice(std::shared_ptr<SampleRing> ring) : ring_(std::move(ring)) {}
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return qint64(1) << 20; }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const std::size_t wanted = std::size_t(maxSize) / sizeof(float) / kChannels * kChannels;
        auto* samples = reinterpret_cast<float*>(data);
        const std::size_t got = ring_->pop(samples, wanted);
        std::fill(samples + got, samples + wanted, 0.0f);
        return qint64(wanted * sizeof(float));
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    std::shared_ptr<SampleRing> ring_;
};

// The audio output on its own thread; its clock is read from the GUI thread through atomics.
class SoundOutput : public QObject {
public:
    // Whether the sink took the format and started.
    std::atomic<bool> started{false};
    std::atomic<bool> failed{false};
    std::atomic<qint64> heardUSecs{-1};  // processed minus still queued; -1 until known

    SoundOutput(QAudioDevice device, std::shared_ptr<SampleRing> ring) : device_(std::move(device)), ring_(std::move(ring)) {}

    void start() {
        QAudioFormat format;
        format.setSampleRate(kRate);
        format.setChannelCount(kChannels);
        format.setSampleFormat(QAudioFormat::Float);
        if (!device_.isFormatSupported(format)) {
            failed = true;
            return;
        }
        sink_ = new QAudioSink(device_, format, this);
        sink_->setBufferSize(kRate * kChannels * int(sizeof(float)) / 10);  // 100 ms
        device_io_ = new RingDevice(ring_);
        device_io_->setParent(this);
        device_io_->open(QIODevice::ReadOnly);
        sink_->start(device_io_);
        if (sink_->error() != QAudio::NoError) {
            failed = true;
            return;
        }
        started = true;
        auto* poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [this] {
            if (sink_->error() != QAudio::NoError || sink_->state() == QAudio::StoppedState) {
                failed = true;
                return;
            }
            const qint64 queuedBytes = qint64(sink_->bufferSize()) - qint64(sink_->bytesFree());
            const qint64 queued = queuedBytes * 1000000 / (kRate * kChannels * qint64(sizeof(float)));
            heardUSecs = std::max<qint64>(0, sink_->processedUSecs() - queued);
        });
        poll->start(5);
    }
    void stop() {
        if (sink_ != nullptr) sink_->stop();
    }

private:
    QAudioDevice device_;
    std::shared_ptr<SampleRing> ring_;
    QAudioSink* sink_ = nullptr;
    QIODevice* device_io_ = nullptr;
};

// The mixer's side of a run, shared with the task that fills the ring.
struct Mixing {
    std::shared_ptr<SampleRing> ring = std::make_shared<SampleRing>(std::size_t(kRate) * kChannels / 2);
    std::atomic<bool> stop{false};
};

}  // namespace

// One run of playback: the copies it plays, its sound, its clocks. Made and ended on the GUI thread.
struct EditorPlayback::Run {
    quint64 generation = 0;
    std::shared_ptr<const Project> project;
    std::shared_ptr<const MediaInfos> infos;
    double start = 0;
    QElapsedTimer loop;  // L
    std::shared_ptr<Mixing> mixing;
    PoolTask mixer;
    std::unique_ptr<QThread> soundThread;
    SoundOutput* sound = nullptr;
    qint64 lastHeard = -1;
    bool heardMoving = false;
    int64_t lastFrame = -1;  // the frame number last asked for
    int64_t ahead = 1;  // frames the readers read ahead of it
    int64_t step = 1;  // frames they read ahead of the next one
    int64_t took = 0;  // frame periods the last frame took, to its next tick

    ~Run() {
        if (mixing) {
            mixing->stop = true;
            mixing->ring->close();
        }
        mixer.wait();
        if (soundThread) {
            QMetaObject::invokeMethod(sound, [s = sound] { s->stop(); delete s; }, Qt::BlockingQueuedConnection);
            soundThread->quit();
            soundThread->wait();
        }
    }

    bool hasSound() const { return sound != nullptr && sound->started && !sound->failed; }

    // The playback time: what is heard while the sound moves, else the wall clock.
    double clock() {
        const double wall = start + double(loop.nsecsElapsed()) / 1e9;
        if (!hasSound()) return wall;
        const qint64 heard = sound->heardUSecs.load();
        if (heard > lastHeard && lastHeard >= 0) heardMoving = true;
        if (heard != lastHeard) lastHeard = heard;
        const double player = start + double(std::max<qint64>(heard, 0)) / 1e6;
        if (heardMoving) return player;
        return player > start ? player : wall;
    }

    // Opens the default output and the mixer feeding it; false when there is nothing to hear.
    bool startSound(const AudioMixPlan& plan) {
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull()) return false;
        mixing = std::make_shared<Mixing>();
        const double from = start, to = std::max(plan.end(), project->duration());
        mixer = PoolTask([mixing = mixing, plan, from, to] {
            if (mixing->stop) return;  // ended before it began
            try {
                AudioMixReader reader(plan, from, to);
                while (!mixing->stop) {
                    auto buffer = reader.next();
                    if (!buffer || buffer->planes.empty()) break;
                    const auto& bytes = buffer->planes.front();
                    if (!mixing->ring->push(reinterpret_cast<const float*>(bytes.data()), bytes.size() / sizeof(float)))
                        break;
                }
            } catch (const std::exception&) {
                // A mix that fails goes silent; the clock carries on.
            }
        });
        soundThread = std::make_unique<QThread>();
        soundThread->start();
        sound = new SoundOutput(device, mixing->ring);
        sound->moveToThread(soundThread.get());
        QMetaObject::invokeMethod(sound, [s = sound] { s->start(); }, Qt::BlockingQueuedConnection);
        return hasSound();
    }
};

EditorPlayback::EditorPlayback(Render render, std::shared_ptr<CompositionRenderer> renderer, bool sound, QObject* parent)
    : QObject(parent), render_(std::move(render)), renderer_(std::move(renderer)), sound_(sound) {}

EditorPlayback::~EditorPlayback() {
    endRun();
    plan_.wait();
    frame_.wait();
}

bool EditorPlayback::hasSound() const { return run_ && run_->hasSound(); }

void EditorPlayback::endRun() {
    ++generation_;
    run_.reset();
    renderer_->setPrepareNext(false);
    renderer_->setReadAhead(0);
}

void EditorPlayback::stop() {
    endRun();
    if (!isPlaying_) return;
    isPlaying_ = false;
    emit isPlayingChanged();
}

void EditorPlayback::start(Project project, MediaInfos infos, LTCInfos ltc, double from) {
    endRun();
    const quint64 generation = generation_;
    frames_ = 0;
    auto shared = std::make_shared<const Project>(std::move(project));
    auto sharedInfos = std::make_shared<const MediaInfos>(std::move(infos));
    plan_ = PoolTask([this, generation, shared, sharedInfos, ltc = std::move(ltc), from, sound = sound_] {
        std::optional<AudioMixPlan> plan;
        try {
            if (sound) plan = makeAudioMix(shared->tracks, shared->media, ltc);
        } catch (const std::exception&) {
        }
        postTo(this, [this, generation, shared, sharedInfos, from, plan = std::move(plan)]() mutable {
            begin(generation, std::move(shared), std::move(sharedInfos), from, std::move(plan));
        });
    });
    if (isPlaying_) return;
    isPlaying_ = true;
    emit isPlayingChanged();
}

void EditorPlayback::begin(quint64 generation, std::shared_ptr<const Project> project,
                           std::shared_ptr<const MediaInfos> infos, double from, std::optional<AudioMixPlan> plan) {
    // Stopped or replaced while the plan was made: nothing to begin.
    if (generation != generation_ || run_ || !isPlaying_) return;
    auto run = std::make_unique<Run>();
    run->generation = generation;
    run->project = std::move(project);
    run->infos = std::move(infos);
    run->start = from;
    // No output, a refused format or a sink error: silent, on the wall clock.
    if (plan && !run->startSound(*plan) && run->mixing) run->mixing->stop = true;
    run_ = std::move(run);
    // Frames follow one another: each reader gets its next one ready while one is shown.
    renderer_->setPrepareNext(true);
    run_->loop.start();
    tick(generation);
}

void EditorPlayback::tick(quint64 generation) {
    if (!current(generation)) return;
    const double d = run_->project->duration();
    const double t = run_->clock();
    if (t >= d) {
        emit reachedEnd(d);
        return;
    }
    // A listener may stop or replace the run: it is looked at again only after checking.
    emit timeReached(t);
    if (!current(generation)) return;
    const double rate = usableRate(run_->project->frameRate);
    const int64_t due = dueFrame(t, rate);
    Run& run = *run_;
    if (due < run.lastFrame + run.ahead) {
        // The frame the readers read ahead is not due yet (the timer fired a little early, or the
        // sound's clock started behind the wall clock): it is waited for. Asking for the one due
        // now would make every reader of a long-GOP source decode again from its key frame, and
        // asking for the one read ahead would show the picture ahead of the clock.
        const double left = double(run.lastFrame + run.ahead) / rate - t;
        const int wait = int(std::clamp(std::ceil(left * 1000), 1.0, std::ceil(oneFrame(rate) * 1000)));
        QTimer::singleShot(wait, Qt::PreciseTimer, this, [this, generation] { tick(generation); });
        return;
    }
    // The clock's own frame: reading ahead decides when a frame is asked for, never which.
    run.lastFrame = due;
    run.ahead = run.step;
    renderer_->setReadAhead(double(run.step) / rate);
    const double frameTime = double(due) / rate;
    QElapsedTimer frame;
    frame.start();
    frame_ = PoolTask([this, generation, project = run_->project, infos = run_->infos, render = render_, frameTime, frame] {
        QImage image = render(*project, *infos, frameTime);
        postTo(this, [this, generation, frame, image = std::move(image)]() mutable {
            frameRendered(generation, frame.nsecsElapsed(), std::move(image));
        });
    });
}

int64_t EditorPlayback::dueFrame(double t, double rate) {
    if (!(t > 0)) return 0;
    // The slack keeps a time on the grid that comes with rounding noise on its own frame.
    const double frames = std::floor(t * rate + 1e-6);
    return frames < 9e15 ? int64_t(frames) : int64_t(9e15);  // beyond any timeline's frame count
}

void EditorPlayback::frameRendered(quint64 generation, qint64 elapsedNs, QImage image) {
    if (!current(generation)) return;
    if (!image.isNull()) emit frameShown(std::move(image));
    if (!current(generation)) return;
    ++frames_;
    Run& run = *run_;
    const double rate = usableRate(run.project->frameRate);
    const double period = oneFrame(rate);
    const double left = period - double(elapsedNs) / 1e9;
    // The readers read as many frames ahead as the clock moves while a frame is drawn and paced,
    // the fewer of the last two: one slow frame (a reader opened mid-GOP, a busy machine) does not
    // make them read past the frames that come due once drawing is quick again. Waiting for a
    // frame read ahead is not counted, or the reading ahead would feed on itself.
    const int64_t took = int64_t(std::min(std::floor(std::max(period, double(elapsedNs) / 1e9) * rate + 0.25), 1e6));
    run.step = std::max<int64_t>(1, std::min(took, run.took));
    run.took = took;
    // Whole milliseconds, rounded down: the timer fires late, never early, and a wait rounded to
    // the nearest let the loop fall behind the clock by a frame every second or two.
    const int wait = left > 0 ? int(left * 1000) : 0;
    QTimer::singleShot(wait, Qt::PreciseTimer, this, [this, generation] { tick(generation); });
}

}  // namespace qm
