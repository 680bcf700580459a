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
#include <thread>

#include <QAudioDevice>
#include <QAudioSink>
#include <QElapsedTimer>
#include <QIODevice>
#include <QMediaDevices>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include "editor/editor_model.h"
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

}  // namespace

// One run of playback: the copies it plays, its sound, its clocks.
struct EditorModel::Playback {
    quint64 generation = 0;
    Project project;
    MediaInfos infos;
    double start = 0;
    QElapsedTimer loop;  // L
    std::shared_ptr<SampleRing> ring;
    std::thread mixer;
    std::atomic<bool> stopMixing{false};
    QThread* soundThread = nullptr;
    SoundOutput* sound = nullptr;
    qint64 lastHeard = -1;
    bool heardMoving = false;

    ~Playback() {
        stopMixing = true;
        if (ring) ring->close();
        if (mixer.joinable()) mixer.join();
        if (soundThread != nullptr) {
            QMetaObject::invokeMethod(sound, [s = sound] { s->stop(); delete s; }, Qt::BlockingQueuedConnection);
            soundThread->quit();
            soundThread->wait();
            delete soundThread;
        }
    }

    // The playback time: what is heard while the sound moves, else the wall clock.
    double clock() {
        const double wall = start + double(loop.nsecsElapsed()) / 1e9;
        if (sound == nullptr || !sound->started || sound->failed) return wall;
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
        ring = std::make_shared<SampleRing>(std::size_t(kRate) * kChannels / 2);
        const double from = start, to = std::max(plan.end(), project.duration());
        mixer = std::thread([this, plan, from, to] {
            try {
                AudioMixReader reader(plan, from, to);
                while (!stopMixing) {
                    auto buffer = reader.next();
                    if (!buffer || buffer->planes.empty()) break;
                    const auto& bytes = buffer->planes.front();
                    if (!ring->push(reinterpret_cast<const float*>(bytes.data()), bytes.size() / sizeof(float))) break;
                }
            } catch (const std::exception&) {
                // A mix that fails goes silent; the clock carries on.
            }
        });
        soundThread = new QThread;
        soundThread->start();
        sound = new SoundOutput(device, ring);
        sound->moveToThread(soundThread);
        QMetaObject::invokeMethod(sound, [s = sound] { s->start(); }, Qt::BlockingQueuedConnection);
        return sound->started && !sound->failed;
    }
};

bool EditorModel::playbackHasSound() const {
    return playback_ && playback_->sound != nullptr && playback_->sound->started && !playback_->sound->failed;
}

void EditorModel::play() {
    const double d = project_.duration();
    if (!(d > 0) || isPlaying_) return;
    if (playhead_ >= d - oneFrame(fps())) setPlayhead(0);
    setIsPlaying(true);
    startPlayback();
}

void EditorModel::pause() {
    stopPlayback();
    setIsPlaying(false);
    requestRender();
}

void EditorModel::stopPlayback() {
    ++playbackGeneration_;
    playback_.reset();
    renderer_->setPrepareNext(false);
}

void EditorModel::startPlayback() {
    const quint64 generation = ++playbackGeneration_;
    playbackFrames_ = 0;
    auto run = std::make_shared<Playback>();
    run->generation = generation;
    run->project = project_;
    run->infos = infos_;
    run->start = playhead_;
    const LTCInfos ltc = ltc_;

    // The sound's plan opens every file, so it is made on a worker; a run that has been stopped
    // or replaced meanwhile drops what it made and leaves the model alone.
    workers()->start([this, run, ltc, sound = environment_.sound] {
        std::optional<AudioMixPlan> plan;
        try {
            if (sound) plan = makeAudioMix(run->project.tracks, run->project.media, ltc);
        } catch (const std::exception&) {
        }
        postTo(this, [this, run, plan = std::move(plan)] {
            if (run->generation != playbackGeneration_ || !isPlaying_) return;
            if (plan && !run->startSound(*plan)) {
                // No output, a refused format or a sink error: silent, on the wall clock.
                run->stopMixing = true;
            }
            if (run->generation != playbackGeneration_) return;
            playback_ = run;
            // Frames follow one another: each reader gets its next one ready while one is shown.
            renderer_->setPrepareNext(true);
            run->loop.start();
            playbackTick(run);
        });
    });
}

void EditorModel::playbackTick(const std::shared_ptr<Playback>& run) {
    if (run->generation != playbackGeneration_ || !isPlaying_) return;
    const double d = run->project.duration();
    const double t = run->clock();
    if (t >= d) {
        setPlayhead(d);
        pause();  // the still frame at the end
        return;
    }
    setPlayhead(t);
    QElapsedTimer frame;
    frame.start();
    auto render = environment_.render;
    pool_->start([this, run, render, t, frame] {
        QImage image = render(run->project, run->infos, t);
        postTo(this, [this, run, frame, image = std::move(image)]() mutable {
            if (run->generation != playbackGeneration_ || !isPlaying_) return;
            if (!image.isNull()) setPreviewImage(std::move(image));
            ++playbackFrames_;
            const double period = 1.0 / std::max(usableRate(run->project.frameRate), 1.0);
            const double left = period - double(frame.nsecsElapsed()) / 1e9;
            // Whole milliseconds, rounded down: the timer fires late, never early, and a wait
            // rounded to the nearest let the loop fall behind the clock by a frame every second or two.
            const int wait = left > 0 ? int(left * 1000) : 0;
            QTimer::singleShot(wait, Qt::PreciseTimer, this, [this, run] { playbackTick(run); });
        });
    });
}

}  // namespace qm
