// The layer commands of the track headers.

#include "editor/editor_model.h"

namespace qm {

void EditorModel::addTrack() {
    Track track;
    track.id = QUuid::createUuid();
    track.name = defaultLayerName(project_.tracks);
    pushUndo();
    project_.tracks.insert(project_.tracks.begin(), std::move(track));
    projectEdited();
}

void EditorModel::deleteTrack(std::size_t index) {
    if (index >= project_.tracks.size()) return;
    pushUndo();
    project_.tracks.erase(project_.tracks.begin() + std::ptrdiff_t(index));
    if (project_.tracks.empty()) {
        Track track;
        track.id = QUuid::createUuid();
        track.name = layerName(1);
        project_.tracks.push_back(std::move(track));
    }
    // The selection stays as it is, so that undo brings the selected clip back selected.
    projectEdited();
}

void EditorModel::moveTrack(std::size_t index, int offset) {
    const auto count = std::ptrdiff_t(project_.tracks.size());
    const std::ptrdiff_t target = std::ptrdiff_t(index) + offset;
    if (std::ptrdiff_t(index) >= count || target < 0 || target >= count || offset == 0) return;
    pushUndo();
    std::swap(project_.tracks[index], project_.tracks[std::size_t(target)]);
    projectEdited();
}

void EditorModel::toggleTrackVisibility(std::size_t index, bool undoable) {
    updateTrack(index, undoable, [](Track& t) { t.isVisible = !t.isVisible; });
}

void EditorModel::toggleTrackAudio(std::size_t index, bool undoable) {
    updateTrack(index, undoable, [](Track& t) { t.isAudioEnabled = !t.isAudioEnabled; });
}

void EditorModel::updateTrack(std::size_t index, bool undoable, const std::function<void(Track&)>& change) {
    if (index >= project_.tracks.size()) return;
    Track edited = project_.tracks[index];
    change(edited);
    if (edited == project_.tracks[index]) return;
    if (undoable) pushUndo();
    project_.tracks[index] = std::move(edited);
    projectEdited();
}

}  // namespace qm
