#pragma once
// A headless editor model whose previews are counted instead of drawn, and a bin of media items
// made without files.

#include <atomic>
#include <memory>

#include "editor/editor_model.h"
#include "support/qt_app.h"
#include "support/qt_events.h"

namespace qm::test {

struct CountingEditor {
    std::shared_ptr<std::atomic<int>> renders = std::make_shared<std::atomic<int>>(0);
    std::unique_ptr<EditorModel> model;

    CountingEditor() {
        qtApp();
        EditorModel::Environment env;
        env.render = [renders = renders](const Project&, const MediaInfos&, double) {
            ++*renders;
            return QImage(4, 4, QImage::Format_RGBA8888);
        };
        model = std::make_unique<EditorModel>(env);
    }
    EditorModel* operator->() { return model.get(); }
    EditorModel& operator*() { return *model; }

    // A medium of the given size and length in the bin (no undo step).
    QUuid addMedia(double duration, int width = 1280, int height = 720) {
        MediaItem item;
        item.id = QUuid::createUuid();
        item.name = QStringLiteral("m%1.mov").arg(model->project().media.size());
        item.path = QStringLiteral("/nowhere/") + item.name;
        item.width = width;
        item.height = height;
        item.duration = duration;
        Project p = model->project();
        p.media.push_back(item);
        model->setProject(std::move(p));
        return item.id;
    }
    const Clip& clipAt(std::size_t track, std::size_t index) { return model->project().tracks.at(track).clips.at(index); }
    bool idle() { return waitUntil([&] { return !model->isRendering(); }); }
};

}  // namespace qm::test
