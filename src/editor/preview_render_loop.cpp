#include "editor/preview_render_loop.h"

#include "platform/system/model_support.h"

namespace qm {

PreviewRenderLoop::PreviewRenderLoop(Render render, std::function<Job()> job, QObject* parent)
    : QObject(parent), render_(std::move(render)), job_(std::move(job)) {}

PreviewRenderLoop::~PreviewRenderLoop() {
    ++generation_;
    task_.wait();
}

void PreviewRenderLoop::setIsRendering(bool value) {
    assignAndNotify(this, isRendering_, value, &PreviewRenderLoop::isRenderingChanged);
}

void PreviewRenderLoop::request() {
    pending_ = true;
    if (isRendering_) return;
    setIsRendering(true);
    // Started from the event loop, so requests made right after this one share its render.
    postTo(this, [this] { next(); });
}

void PreviewRenderLoop::next() {
    if (!pending_) {
        setIsRendering(false);
        return;
    }
    pending_ = false;
    auto job = std::make_shared<const Job>(job_());
    task_ = PoolTask([this, job, generation = generation_, render = render_] {
        QImage image = render(job->project, job->infos, job->time);
        postTo(this, [this, generation, image = std::move(image)]() mutable {
            if (generation == generation_) emit rendered(std::move(image));
            next();
        });
    });
}

}  // namespace qm
