#include "credits/credits_model.h"

#include <algorithm>
#include <cmath>

#include <QThreadPool>

#include "credits/logo_keying.h"
#include "platform/system/model_support.h"

namespace qm {

namespace {

constexpr double kPlaybackStep = 1.0 / 60.0;

}  // namespace

// --- Renderer, preview and playback --------------------------------------------------------------

void CreditsModel::rebuildRenderer() {
    if (headKeyed_.isNull() && !headImage_.isNull()) setHeadKeyed(keySlotPicture(headImage_, settings_.head));
    if (tailKeyed_.isNull() && !tailImage_.isNull()) setTailKeyed(keySlotPicture(tailImage_, settings_.tail));
    setRenderer(std::make_shared<const CreditsRenderer>(settings_, headKeyed_, strip_, tailKeyed_));
    if (playhead_ > length()) setPlayhead(length());
    requestRender();
}

void CreditsModel::requestRender() {
    if (isPlaying_) return;
    renderPending_ = true;
    if (!renderInFlight_) startStillRender();
}

void CreditsModel::startStillRender() {
    if (!renderPending_) return;
    renderPending_ = false;
    if (!renderer_) return;
    renderInFlight_ = true;
    const std::shared_ptr<const CreditsRenderer> renderer = renderer_;
    const double time = playhead_;
    renderPool_->start([this, renderer, time] {
        const QImage image = renderer->previewImage(false, time, kPreviewWidth, kPreviewHeight);
        postTo(this, [this, image] {
            renderInFlight_ = false;
            setPreview(image);
            startStillRender();
        });
    });
}

void CreditsModel::seek(double seconds) {
    setPlayhead(std::max(0.0, std::min(seconds, length())));
    requestRender();
}

void CreditsModel::play() {
    const double total = length();
    if (!renderer_ || !(total > 0) || isPlaying_) return;
    if (playhead_ >= total - 0.05) setPlayhead(0);
    setIsPlaying(true);
    ++playGeneration_;
    playStart_ = playhead_;
    playStartTime_ = now();
    playStep(playGeneration_);
}

void CreditsModel::playStep(uint64_t generation) {
    if (generation != playGeneration_ || !isPlaying_) return;
    if (!renderer_) {
        pause();
        return;
    }
    const double total = length();
    const double t = playStart_ + std::chrono::duration<double>(now() - playStartTime_).count();
    if (t >= total) {
        setPlayhead(total);
        pause();
        return;
    }
    setPlayhead(t);
    const std::shared_ptr<const CreditsRenderer> renderer = renderer_;
    renderPool_->start([this, renderer, t, generation] {
        const QImage image = renderer->previewImage(true, t, kPreviewWidth, kPreviewHeight);
        postTo(this, [this, generation, image] { playFrameRendered(generation, image); });
    });
}

void CreditsModel::playFrameRendered(uint64_t generation, QImage image) {
    if (generation != playGeneration_ || !isPlaying_) return;
    if (!image.isNull()) setPreview(image);
    // The next frame falls on the 60 Hz grid counted from the start; a slow render skips frames.
    const double e1 = std::chrono::duration<double>(now() - playStartTime_).count();
    const double e2 = std::chrono::duration<double>(now() - playStartTime_).count();
    const double wait = (std::floor(e1 / kPlaybackStep) + 1) * kPlaybackStep - e2;
    const int waitMs = wait > 0 ? int(std::ceil(wait * 1000)) : 0;
    playTimer_.start(waitMs);
}

void CreditsModel::pause() {
    ++playGeneration_;
    playTimer_.stop();
    setIsPlaying(false);
    requestRender();
}

}  // namespace qm
