// The run: one ready job after another through the transcoder, in list order.

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QThreadPool>

#include "convert/conversion_queue.h"
#include "platform/system/model_support.h"
#include "core/conversion_error.h"
#include "engine/output_naming.h"
#include "engine/transcoder.h"
#include "platform/system/desktop_services.h"

namespace qm {

struct ConversionQueue::RunResult {
    enum class Outcome { done, failed, cancelled };
    Outcome outcome = Outcome::failed;
    QString message;
};

QString ConversionQueue::outputURL(OutputFormat format, const QString& source, const QString& folder) {
    return QString::fromStdString(qm::outputURL(format, toPath(source), toPath(folder)).string());
}

void ConversionQueue::start() {
    if (isRunning_) return;
    if (outputFolder_.isEmpty() && !chooseOutputFolder()) return;
    setIsRunning(true);
    setStopRequested(false);
    doneCount_ = 0;
    const quint64 generation = ++runGeneration_;
    // The loop starts after start() returns, like a task scheduled on the GUI thread.
    postTo(this, [this, generation] {
        if (generation == runGeneration_ && isRunning_) runNext();
    });
}

void ConversionQueue::stop() {
    setStopRequested(true);
    cancelActiveTranscoder();
}

void ConversionQueue::cancelActiveTranscoder() {
    if (activeTranscoder_) activeTranscoder_->cancellation().set();
}

void ConversionQueue::runNext() {
    while (true) {
        if (stopRequested_) return endRun();
        ConversionJobRef next;
        for (const auto& job : jobs_) {
            if (job->state().is(ConversionJob::State::Kind::ready)) {
                next = job;
                break;
            }
        }
        if (!next) return endRun();
        if (outputFolder_.isEmpty()) return endRun();  // nothing clears it once a run starts
        process(next);
        if (activeTranscoder_) return;  // jobFinished() continues the loop
        // The job ended at once (it could not start); look for the next one.
    }
}

void ConversionQueue::process(const ConversionJobRef& job) {
    using State = ConversionJob::State;
    if (!job->info()) {
        // A ready job always has its probe result; should one not, it must not be taken again
        // and again.
        job->setState(State::failed(tr("The file has not been read yet.")));
        return;
    }
    const ConversionSettings settings = settings_;
    if (!QFileInfo::exists(job->path())) {
        job->setState(State::failed(
            tr("The file “%1” couldn’t be opened because there is no such file.").arg(QFileInfo(job->path()).fileName())));
        return;
    }
    // The name is taken at once by a hidden file the run holds locked, so another run (in this
    // or another process) that starts meanwhile picks the next one, and a killed run leaves
    // nothing under the name itself.
    QString destination;
    std::shared_ptr<PartialFile> reservation;
    std::shared_ptr<Transcoder> transcoder;
    try {
        reservation = reserveOutputURL(settings.format, toPath(job->path()), toPath(outputFolder_));
        destination = QString::fromStdString(reservation->target().string());
        transcoder = std::make_shared<Transcoder>(toPath(job->path()), toPath(destination), *job->info(), settings);
    } catch (const std::exception& e) {
        job->setState(State::failed(QString::fromUtf8(e.what())));
        return;
    }
    activeTranscoder_ = transcoder;
    activeJob_ = job;
    job->setState(State::running(0, 0));

    const quint64 generation = runGeneration_;
    const std::weak_ptr<ConversionJob> weakJob = job;
    auto progress = [this, weakJob](const TranscodeProgress& report) {
        postTo(this, [weakJob, report] {
            const auto job = weakJob.lock();
            // A late report never overwrites the state the job ended in.
            if (job && job->state().is(ConversionJob::State::Kind::running)) {
                job->setState(ConversionJob::State::running(report.fraction, report.framesPerSecond));
            }
        });
    };

    runPool_->start([this, transcoder, reservation, progress, generation, job = ConversionJobRef(job)]() mutable {
        RunResult result;
        try {
            transcoder->run(progress);
            result.outcome = RunResult::Outcome::done;
        } catch (const ConversionError& e) {
            if (e.kind() == ConversionError::Kind::cancelled) {
                result.outcome = RunResult::Outcome::cancelled;
            } else {
                result.message = QString::fromStdString(e.description());
            }
        } catch (const std::exception& e) {
            result.message = QString::fromUtf8(e.what());
        } catch (...) {
            result.message = tr("The conversion failed.");
        }
        // A stopped or failed movie has left nothing under the name; a sequence keeps the frames
        // written so far. Either way the name is given back.
        // A folder moved meanwhile took the output with it: the result is named where it is.
        if (result.outcome == RunResult::Outcome::done)
            result.message = QString::fromStdString(
                (isImageSequence(transcoder->settings().format) ? reservation->currentTarget() : transcoder->output()).string());
        reservation.reset();
        postTo(this, [this, job = std::move(job), generation, result = std::move(result)] {
            jobFinished(job, generation, result);
        });
    });
}

void ConversionQueue::jobFinished(const ConversionJobRef& job, quint64 generation, const RunResult& result) {
    using State = ConversionJob::State;
    switch (result.outcome) {
    case RunResult::Outcome::done:
        job->setState(State::done(result.message));
        if (generation == runGeneration_) ++doneCount_;
        break;
    case RunResult::Outcome::cancelled:
        job->setState(State::cancelled());
        break;
    case RunResult::Outcome::failed:
        job->setState(State::failed(result.message));
        break;
    }
    activeTranscoder_.reset();
    activeJob_.reset();
    if (generation == runGeneration_ && isRunning_) runNext();
}

void ConversionQueue::endRun() {
    setIsRunning(false);
    if (doneCount_ > 0 && !stopRequested_) {
        desktop().playCompletionSound();
        desktop().requestAttention(AttentionRequest::informational);
    }
    emit runFinished();
}

void ConversionQueue::setIsRunning(bool value) {
    assignAndNotify(this, isRunning_, value, &ConversionQueue::isRunningChanged);
}

void ConversionQueue::setStopRequested(bool value) {
    assignAndNotify(this, stopRequested_, value, &ConversionQueue::stopRequestedChanged);
}

}  // namespace qm
