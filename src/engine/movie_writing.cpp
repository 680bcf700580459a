// Writing a movie: the video feed pulls processed batches and appends them on its own thread, the
// audio feed copies the source's audio on another; the writer keeps the two interleaved. The feeds
// and the video's read-ahead block on the writer and the reader for the whole run, so they are
// threads of the run's own (std::jthread, joined before the run returns, also on a failure)
// rather than tasks of a pool, where they would hold its workers; the per-frame work they start
// runs in parallel loops on oneTBB.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

#include <pthread.h>

#include "core/conversion_error.h"
#include "engine/output_naming.h"
#include "engine/transcoder.h"

namespace qm {

namespace {

constexpr std::chrono::milliseconds kReadyPoll{50};

std::string writerText(const MovieWriter& writer, const char* fallback) {
    std::string text = writer.errorText();
    return text.empty() ? fallback : text;
}

void nameThread(const char* name) { pthread_setname_np(pthread_self(), name); }

// Reads the next batch on a thread of its own while the frames of the current one go to the
// encoder, so neither the reader nor the encoder waits for the other; one batch ahead at most.
// Its destruction waits for a batch still being read.
class BatchReadAhead {
public:
    explicit BatchReadAhead(FrameBatchProvider& feeder) : feeder_(feeder) {}

    // Starts reading the next batch unless one is being read or waits to be taken.
    void request() {
        {
            std::lock_guard lock(mutex_);
            if (outstanding_) return;
            outstanding_ = true;
            requested_ = true;
        }
        if (!thread_.joinable()) thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
        changed_.notify_all();
    }

    // The requested batch (requesting it first if need be), once read; rethrows its failure.
    std::vector<FramePair> take() {
        request();
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return done_; });
        done_ = false;
        outstanding_ = false;
        if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
        return std::move(batch_);
    }

private:
    void run(std::stop_token stop) {
        nameThread("video-reader");
        std::unique_lock lock(mutex_);
        while (changed_.wait(lock, stop, [&] { return requested_; })) {
            requested_ = false;
            lock.unlock();
            std::vector<FramePair> batch;
            std::exception_ptr error;
            try {
                batch = feeder_.nextBatch(std::nullopt);
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            batch_ = std::move(batch);
            error_ = error;
            done_ = true;
            changed_.notify_all();
        }
    }

    FrameBatchProvider& feeder_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    bool outstanding_ = false, requested_ = false, done_ = false;
    std::vector<FramePair> batch_;
    std::exception_ptr error_;
    std::jthread thread_;  // last: stopped and joined before the state above goes
};

// What both feeds share: the writer, the run's first failure and whether to stop.
struct Feed {
    MovieWriter& writer;
    FailureBox& failure;
    const std::function<bool()>& shouldStop;
};

// Processed batches to the writer until the end, a stop or a failure.
void feedVideo(const Feed& feed, FrameBatchProvider& feeder, OnceFlag& done) {
    nameThread("video-writer");
    auto finishInput = [&] {
        if (done.claim()) feed.writer.markAsFinished(MovieWriter::Input::video);
    };
    BatchReadAhead ahead(feeder);
    // Declared after the read-ahead: frames not written go first, so a batch being read that
    // waits for their memory can end.
    std::deque<FramePair> pending;
    for (;;) {
        if (feed.shouldStop()) return finishInput();
        if (!feed.writer.waitUntilReady(MovieWriter::Input::video, kReadyPoll)) continue;
        if (pending.empty()) {
            try {
                auto batch = ahead.take();
                if (batch.empty()) return finishInput();
                for (auto& pair : batch) pending.push_back(std::move(pair));
                if (!feed.shouldStop()) ahead.request();
            } catch (...) {
                feed.failure.store(std::current_exception());
                return finishInput();
            }
        }
        FramePair pair = std::move(pending.front());
        pending.pop_front();
        const SourceFrame& frame = pair.first;
        try {
            switch (pair.second.kind) {
            case ProcessedFrame::Kind::pixels:
                feed.writer.appendPixelBuffer(pair.second.pixels, frame.time, frame.duration);
                break;
            case ProcessedFrame::Kind::encoded:
                feed.writer.appendCompressedSample(pair.second.data, frame.time, frame.duration);
                break;
            case ProcessedFrame::Kind::written: break;
            }
        } catch (const std::exception& e) {
            feed.failure.store(std::make_exception_ptr(ConversionError::writerFailed(e.what())));
            return finishInput();
        }
    }
}

// The source's sound to the writer until the end, a stop or a failure.
void feedAudio(const Feed& feed, AudioBufferSource& audio, OnceFlag& done) {
    nameThread("audio-writer");
    auto finishInput = [&] {
        if (done.claim()) feed.writer.markAsFinished(MovieWriter::Input::audio);
    };
    for (;;) {
        if (feed.shouldStop()) return finishInput();
        if (!feed.writer.waitUntilReady(MovieWriter::Input::audio, kReadyPoll)) continue;
        std::optional<AudioSampleBuffer> samples;
        try {
            samples = audio.next();
        } catch (const ConversionError&) {
            feed.failure.store(std::current_exception());  // already in words
            return finishInput();
        } catch (const std::exception& e) {
            feed.failure.store(std::make_exception_ptr(ConversionError::readerFailed(e.what())));
            return finishInput();
        }
        if (!samples) return finishInput();
        try {
            feed.writer.appendAudio(*samples);
        } catch (const std::exception& e) {
            feed.failure.store(std::make_exception_ptr(ConversionError::writerFailed(e.what())));
            return finishInput();
        }
    }
}

}  // namespace

MovieVideoSettings Transcoder::videoOutputSettings() const {
    MovieVideoSettings video;
    video.width = outWidth_;
    video.height = outHeight_;
    video.timeScale = info_.naturalTimeScale;
    video.expectedFrameRate = info_.frameRate;
    if (frameEncoder_) {
        video.codecType = frameEncoder_->codecType();
        video.formatName = frameEncoder_->formatName();
        video.depth = supportsAlpha(settings_.format) ? 32 : 24;
        return video;
    }
    if (auto codec = videoCodecType(settings_.format)) video.codecType = fourCCCode(*codec);
    if (settings_.format == OutputFormat::h264 || settings_.format == OutputFormat::hevc) {
        video.averageBitRate = averageBitRate(outWidth_, outHeight_, info_.frameRate,
                                              static_cast<int>(settings_.deliveryQuality),
                                              settings_.format == OutputFormat::hevc);
        video.maxKeyFrameInterval = keyFrameInterval(info_.frameRate);
    } else if (settings_.format == OutputFormat::hevcAlpha) {
        video.quality = hevcAlphaQuality(static_cast<int>(settings_.deliveryQuality));
        video.maxKeyFrameInterval = keyFrameInterval(info_.frameRate);
    }
    return video;
}

void Transcoder::runMovie(FrameBatchProvider& feeder, AudioBufferSource* audio,
                          const std::optional<MovieAudioSettings>& audioSettings, MediaTime startTime,
                          const DisplayMatrix& transform) {
    // A folder there is never removed.
    auto writer = MovieWriter::create(destination_, isMPEG4Output(settings_.format) ? MovieFileType::mpeg4
                                                                                     : MovieFileType::quickTime);
    // Never over something that came to the name after the run chose it.
    published_.reset();
    writer->setPublisher([this](PartialFile& movie) {
        const int error = publishOutput(movie, settings_.format, replaceable_);
        if (error == 0) published_ = movie.currentTarget();
        return error;
    });
    MovieVideoSettings video = videoOutputSettings();
    video.transform = transform;
    bool withAudio = false;
    try {
        writer->addVideoInput(video);
        // Silent only when the container cannot take the audio; an encoder that will not open
        // fails the run rather than leaving a "done" movie without its sound.
        if (audio && audioSettings) withAudio = writer->addAudioInput(*audioSettings);
    } catch (const MediaError& e) {
        throw ConversionError::writerFailed(e.what());
    }
    try {
        writer->startWriting();
    } catch (const MediaError& e) {
        writer->cancelWriting();
        throw ConversionError::writerFailed(e.what());
    }
    writer->startSession(startTime);

    FailureBox failure;
    OnceFlag videoDone;
    OnceFlag audioDone;
    auto shouldStop = [&] {
        return cancellation_->value() || failure.hasError() || writer->status() == MovieWriter::Status::failed;
    };

    const std::function<bool()> stop = shouldStop;
    const Feed feed{*writer, failure, stop};
    std::jthread videoFeed([&] { feedVideo(feed, feeder, videoDone); });
    std::jthread audioFeed;
    if (withAudio) audioFeed = std::jthread([&] { feedAudio(feed, *audio, audioDone); });
    videoFeed.join();
    if (audioFeed.joinable()) audioFeed.join();

    if (!cancellation_->value() && !failure.hasError() && writer->status() != MovieWriter::Status::failed) {
        if (writer->videoFramesAppended() == 0) {
            // A movie without a single picture is no output.
            writer->cancelWriting();
            throw ConversionError::writerFailed("no video frames were written");
        }
        try {
            writer->finishWriting();
        } catch (const std::exception& e) {
            // A half-finished file is no output either.
            writer->cancelWriting();
            throw ConversionError::writerFailed(e.what());
        }
        if (writer->status() == MovieWriter::Status::completed) {
            feeder.finish();
            return;
        }
        const std::string text = writerText(*writer, "finish");
        writer->cancelWriting();
        throw ConversionError::writerFailed(text);
    }
    const std::string text = writerText(*writer, "unknown");
    writer->cancelWriting();
    if (cancellation_->value()) throw ConversionError::cancelled();
    if (auto stored = failure.stored()) std::rethrow_exception(stored);
    throw ConversionError::writerFailed(text);
}

}  // namespace qm
