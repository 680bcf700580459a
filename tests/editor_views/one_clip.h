#pragma once
// Editor models for view tests: previews drawn by a stand-in, and a medium with its clip at the
// playhead (a dirty project with one undo step).

#include <memory>

#include <QImage>

#include "editor/editor_model.h"

namespace qm::test {

inline std::unique_ptr<EditorModel> editorWithPreview(QImage preview, DesktopServices* desktop = nullptr) {
    EditorModel::Environment environment;
    environment.desktop = desktop;
    environment.render = [preview](const Project&, const MediaInfos&, double) { return preview; };
    return std::make_unique<EditorModel>(std::move(environment));
}

// Returns the new clip's id (the model selects it).
inline QUuid addMediaClip(EditorModel& editor, int width, int height, double duration) {
    MediaItem item;
    item.id = QUuid::createUuid();
    item.name = QStringLiteral("a.mov");
    item.width = width;
    item.height = height;
    item.duration = duration;
    Project p = editor.project();
    p.media.push_back(item);
    editor.setProject(p);
    MediaInfos infos = editor.infos();
    infos.insert(item.id, MediaInfo{});
    editor.setInfos(infos);
    editor.addClipAtPlayhead(item.id);
    return editor.selectedClipID();
}

}  // namespace qm::test
