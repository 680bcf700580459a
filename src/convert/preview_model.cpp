#include "convert/preview_model.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <QThreadPool>

#include "convert/conversion_job.h"
#include "convert/frame_previewer.h"
#include "platform/system/model_support.h"

namespace qm {

// Stop request of one playback, shared with its worker: wakes the worker from its sleep and
// stops the reader it is reading from.
struct PreviewModel::PlayControl {
    void cancel() {
        std::shared_ptr<VideoSampleReader> reader;
        {
            std::lock_guard guard(lock);
            cancelled = true;
            reader = this->reader;
        }
        wake.notify_all();
        if (reader) reader->cancel();
    }
    bool isCancelled() {
        std::lock_guard guard(lock);
        return cancelled;
    }
    void setReader(std::shared_ptr<VideoSampleReader> value) {
        std::lock_guard guard(lock);
        reader = std::move(value);
    }
    // False when cancelled before the time is up.
    bool sleep(double seconds) {
        std::unique_lock guard(lock);
        return !wake.wait_for(guard, std::chrono::duration<double>(seconds), [this] { return cancelled; });
    }

    std::mutex lock;
    std::condition_variable wake;
    bool cancelled = false;
    std::shared_ptr<VideoSampleReader> reader;
};

PreviewModel::PreviewModel(QObject* parent) : QObject(parent) {
    pool_ = new QThreadPool(this);
    // A render, a playback, and a playback that is still winding down after a pause.
    pool_->setMaxThreadCount(3);
}

PreviewModel::~PreviewModel() {
    pause();
    pool_->waitForDone();
}

std::optional<ConversionSettings> PreviewModel::previewOutput() const {
    if (showOutput_ && isGPU(outputSettings_.format)) return outputSettings_;
    return std::nullopt;
}

// --- Properties ----------------------------------------------------------------------------------

void PreviewModel::setImage(QImage image) {
    const bool changed = image.cacheKey() != image_.cacheKey() && image != image_;
    image_ = std::move(image);
    if (changed) emit imageChanged();
}

void PreviewModel::setTime(double time) { assignAndNotify(this, time_, time, &PreviewModel::timeChanged); }

void PreviewModel::setDuration(double value) {
    assignAndNotify(this, duration_, value, &PreviewModel::durationChanged);
}

void PreviewModel::setIsPlaying(bool value) {
    assignAndNotify(this, isPlaying_, value, &PreviewModel::isPlayingChanged);
}

void PreviewModel::setIsLoading(bool value) {
    assignAndNotify(this, isLoading_, value, &PreviewModel::isLoadingChanged);
}

void PreviewModel::setMessage(std::optional<QString> value) {
    assignAndNotify(this, message_, std::move(value), &PreviewModel::messageChanged);
}

void PreviewModel::setJobID(const QUuid& id) { assignAndNotify(this, jobID_, id, &PreviewModel::jobIDChanged); }

void PreviewModel::setShowOutput(bool value) {
    const bool changed = value != showOutput_;
    showOutput_ = value;
    if (!changed) return;
    emit showOutputChanged();
    if (!isPlaying_) seek(time_);
}

void PreviewModel::setOutputSettings(const ConversionSettings& settings) {
    const bool changed = !(settings == outputSettings_);
    outputSettings_ = settings;
    if (!changed) return;
    emit outputSettingsChanged();
    if (showOutput_ && !isPlaying_) seek(time_);
}

// --- Loading -------------------------------------------------------------------------------------

void PreviewModel::load(const ConversionJob* job) {
    const QUuid id = job ? job->id() : QUuid();
    // A source whose probe failed has no result to wait for: its failure is shown instead.
    const bool unreadable = job && !job->info() && job->state().is(ConversionJob::State::Kind::failed);
    if (id == jobID_) {
        if (previewer_) return;
        if (!job || (!job->info() && !unreadable)) return;
    }
    pause();
    setJobID(id);
    previewer_.reset();
    ++loadGeneration_;  // a render of the previous file still in flight is dropped
    setImage(QImage());
    setTime(0);
    setDuration(0);
    setMessage(std::nullopt);
    if (!job) return;
    if (!job->info()) {
        setMessage(unreadable ? job->state().message : tr("Reading file…"));
        return;
    }
    const MediaInfo& info = *job->info();
    if (info.decoder.kind == SourceDecoder::Kind::unsupported) {
        setMessage(tr("Preview unavailable"));
        return;
    }
    try {
        previewer_ = std::make_shared<const FramePreviewer>(job->path(), info);
    } catch (const std::exception& e) {
        setMessage(QString::fromUtf8(e.what()));
        return;
    }
    const double seconds = info.duration.isNumeric() ? info.duration.seconds() : 0;
    setDuration(std::isfinite(seconds) && seconds > 0 ? seconds : 0);
    seek(0);
}

// --- Renders -------------------------------------------------------------------------------------

void PreviewModel::seek(double time) {
    pendingTime_ = time;
    if (renderInFlight_) return;  // the running render takes the newest request next
    if (!previewer_) return;
    setIsLoading(true);
    startRender();
}

void PreviewModel::startRender() {
    const double time = *pendingTime_;
    pendingTime_.reset();
    renderInFlight_ = true;
    const auto output = previewOutput();
    const auto previewer = previewer_;
    const quint64 generation = loadGeneration_;
    pool_->start([this, previewer, output, time, generation] {
        QImage image;
        std::optional<QString> error;
        try {
            image = previewer->image(time, output);
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
        postTo(this, [this, generation, image = std::move(image), error = std::move(error)]() mutable {
            renderFinished(generation, std::move(image), std::move(error));
        });
    });
}

void PreviewModel::renderFinished(quint64 loadGeneration, QImage image, std::optional<QString> error) {
    // A picture of a file that is no longer shown is never drawn.
    if (loadGeneration == loadGeneration_) {
        if (error) {
            setMessage(std::move(error));
        } else if (!image.isNull()) {
            setImage(std::move(image));
            setMessage(std::nullopt);
        }
    }
    if (pendingTime_ && previewer_) {
        startRender();
        return;
    }
    renderInFlight_ = false;
    setIsLoading(false);
}

// --- Playback ------------------------------------------------------------------------------------

void PreviewModel::play() {
    if (!previewer_) return;
    if (play_) pause();
    setIsPlaying(true);
    const auto output = previewOutput();
    const double start = time_ >= duration_ - 0.05 ? 0 : time_;
    auto control = std::make_shared<PlayControl>();
    play_ = control;
    const quint64 generation = ++playGeneration_;
    const auto previewer = previewer_;

    pool_->start([this, previewer, output, start, control, generation] {
        using Clock = std::chrono::steady_clock;
        double from = start;
        std::optional<QString> error;
        bool readNothing = false;
        try {
            while (!control->isCancelled()) {
                std::shared_ptr<VideoSampleReader> reader = previewer->makeReader(from);
                control->setReader(reader);
                if (control->isCancelled()) reader->cancel();
                const auto passStart = Clock::now();
                std::optional<double> base;
                int samplesRead = 0;
                while (!control->isCancelled()) {
                    auto sample = reader->next();
                    if (!sample) break;
                    ++samplesRead;
                    const double pts = previewer->transportTime(*sample);
                    if (!base) base = pts;
                    const double due = pts - *base;
                    const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - passStart).count(); };
                    if (elapsed() > due + 0.1) continue;  // late by more than 0.1 s: skip it
                    QImage picture = previewer->renderPreviewFrame(*sample, output);
                    if (picture.isNull()) continue;
                    const double wait = due - elapsed();
                    if (wait > 0 && !control->sleep(wait)) break;
                    postTo(this, [this, generation, picture = std::move(picture), pts]() mutable {
                        playFrame(generation, std::move(picture), pts);
                    });
                }
                reader->cancel();
                control->setReader(nullptr);
                if (samplesRead == 0 && !control->isCancelled()) {
                    // Reopening a reader that yields nothing would spin; stop instead.
                    readNothing = true;
                    break;
                }
                from = 0;  // the next pass plays the file again from its beginning
            }
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
        if (control->isCancelled()) return;  // paused: nothing to report
        if (error || readNothing) {
            postTo(this, [this, generation, error = std::move(error)]() mutable {
                playEnded(generation, std::move(error));
            });
        }
    });
}

void PreviewModel::playFrame(quint64 playGeneration, QImage image, double pts) {
    if (playGeneration != playGeneration_ || !isPlaying_) return;
    setImage(std::move(image));
    setTime(pts);
}

void PreviewModel::playEnded(quint64 playGeneration, std::optional<QString> error) {
    if (playGeneration != playGeneration_) return;
    if (error) setMessage(std::move(error));
    play_.reset();
    setIsPlaying(false);
}

void PreviewModel::pause() {
    if (play_) {
        play_->cancel();
        play_.reset();
    }
    ++playGeneration_;
    setIsPlaying(false);
}

}  // namespace qm
