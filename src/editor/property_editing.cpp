// Changing one clip's fields and transform, and the project's canvas size.

#include <algorithm>
#include <cmath>

#include "editor/editor_model.h"
#include "editor/frame_grid.h"

namespace qm {

void EditorModel::updateClip(const QUuid& id, bool undoable, const std::function<void(Clip&)>& change) {
    editClip(id, undoable, change);
}

void EditorModel::setClipEnd(const QUuid& id, double end, bool undoable) {
    if (!std::isfinite(end)) return;
    const auto c = clip(id);
    if (!c || !(end > c->start)) return;
    editClip(id, undoable, [&](Clip& k) {
        k.duration = end - k.start;
        k.fadeOut = std::min(k.fadeOut, k.duration);
        k.fadeIn = std::min(k.fadeIn, k.duration - k.fadeOut);
    });
}

void EditorModel::setClipTransform(const QUuid& id, const ClipTransform& transform, bool undoable) {
    editClip(id, undoable, [&](Clip& k) { k.transform = transform; });
}

void EditorModel::setClipBlendMode(const QUuid& id, bool undoable, BlendMode mode) {
    editClip(id, undoable, [&](Clip& k) { k.blendMode = mode; });
}

void EditorModel::setClipFit(const QUuid& id, bool undoable, FitMode fit) {
    editClip(id, undoable, [&](Clip& k) { k.fit = fit; });
}

void EditorModel::setClipFades(const QUuid& id, std::optional<double> fadeIn, std::optional<double> fadeOut,
                               bool undoable) {
    if ((fadeIn && !std::isfinite(*fadeIn)) || (fadeOut && !std::isfinite(*fadeOut))) return;
    editClip(id, undoable, [&](Clip& k) {
        if (fadeIn) k.fadeIn = std::min(std::max(0.0, *fadeIn), k.duration - k.fadeOut);
        if (fadeOut) k.fadeOut = std::min(std::max(0.0, *fadeOut), k.duration - k.fadeIn);
    });
}

void EditorModel::setClipVolume(const QUuid& id, double volume, bool undoable) {
    if (!std::isfinite(volume)) return;
    editClip(id, undoable, [&](Clip& k) { k.volume = volume; });
}

void EditorModel::moveKeyframes(const QUuid& clipID, const QSet<QUuid>& ids, double delta, bool undoable) {
    if (!std::isfinite(delta)) return;
    editClip(clipID, undoable, [&](Clip& k) {
        if (k.transform) k.transform->moveSelectedKeyframes(ids, delta);
    });
}

void EditorModel::setUniformScale(const QUuid& clipID, bool uniform) {
    editTransform(clipID, true, [&](ClipTransform& t) { t.uniformScale = uniform; });
}

void EditorModel::resetKeying(const QUuid& clipID) {
    editTransform(clipID, true, [](ClipTransform& t) {
        t.keyTolerance = {20, {}};
        t.keySoftness = {10, {}};
        t.keySpill = {50, {}};
        t.effects.keyColor = ClipEffects{}.keyColor;
    });
}

void EditorModel::resetColor(const QUuid& clipID) {
    editTransform(clipID, true, [](ClipTransform& t) {
        t.exposure = {0, {}};
        t.contrast = {0, {}};
        t.saturation = {100, {}};
        t.effects.curve = ToneCurve{};
    });
}

void EditorModel::resetTransform(const QUuid& clipID) {
    const auto c = clip(clipID);
    auto fresh = c ? project_.defaultTransform(*c) : std::nullopt;
    if (!fresh) return;
    fresh->opacity = {100, {}};  // the reset leaves the clip's own opacity out
    setClipTransform(clipID, *fresh, true);
}

void EditorModel::setClipEffects(const QUuid& clipID, const ClipEffects& effects) {
    editTransform(clipID, true, [&](ClipTransform& t) { t.effects = effects; });
}

void EditorModel::setProjectSize(int width, int height) {
    const int w = std::clamp(width, 16, 16384), h = std::clamp(height, 16, 16384);
    if (w == project_.width && h == project_.height) return;
    const double dx = (w - project_.width) * 0.5, dy = (h - project_.height) * 0.5;
    pushUndo();
    project_.width = w;
    project_.height = h;
    for (Track& track : project_.tracks)
        for (Clip& c : track.clips) {
            if (!c.transform) continue;
            auto& position = c.transform->position;
            position.value = {position.value.x + dx, position.value.y + dy};
            for (auto& k : position.keyframes) k.value = {k.value.x + dx, k.value.y + dy};
        }
    projectEdited();
}

void EditorModel::toggleTrackExpanded(const QUuid& trackID) {
    QSet<QUuid> expanded = expandedTracks_;
    if (!expanded.remove(trackID)) expanded.insert(trackID);
    setExpandedTracks(std::move(expanded));
}

}  // namespace qm
