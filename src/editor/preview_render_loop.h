#pragma once
// The editor's still previews: one render at a time on the background pool, over copies of the
// project; requests made meanwhile collapse into one further render.
//
// Lives on the GUI thread. A render started before drop() (a new or opened project) is not shown.

#include <functional>

#include <QImage>
#include <QObject>

#include "editor/model/composition_renderer.h"
#include "editor/model/project.h"
#include "platform/system/task_pool.h"

namespace qm {

class PreviewRenderLoop : public QObject {
    Q_OBJECT

public:
    using Render = std::function<QImage(const Project&, const MediaInfos&, double)>;
    struct Job {
        Project project;
        MediaInfos infos;
        double time = 0;
    };

    // `render` draws on the worker; `job` gives, on the GUI thread, what the next render shows.
    PreviewRenderLoop(Render render, std::function<Job()> job, QObject* parent = nullptr);
    // Waits for a render in flight; emits nothing.
    ~PreviewRenderLoop() override;

    bool isRendering() const { return isRendering_; }
    bool isPending() const { return pending_; }
    void request();
    // The render in flight is of a project that is gone: its picture is dropped.
    void drop() { ++generation_; }

signals:
    void isRenderingChanged();
    void rendered(QImage image);

private:
    void next();
    void setIsRendering(bool value);

    Render render_;
    std::function<Job()> job_;
    bool isRendering_ = false;
    bool pending_ = false;
    quint64 generation_ = 0;
    PoolTask task_;  // the render in flight
};

}  // namespace qm
