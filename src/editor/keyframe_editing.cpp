// Values and keyframes of a clip's animatable properties, the keyframe selection, the graph
// editor's subject, the keyframe lanes and the jumps between keyframes.

#include <algorithm>
#include <cmath>

#include "editor/editor_model.h"
#include "editor/frame_grid.h"

namespace qm {

namespace {

template <typename F>
void forEachTransform(Project& project, F&& f) {
    for (Track& track : project.tracks)
        for (Clip& c : track.clips)
            if (c.transform) f(c, *c.transform);
}

}  // namespace

void removeKeyframes(Project& project, const QSet<QUuid>& ids, double t) {
    forEachTransform(project, [&](Clip& c, ClipTransform& transform) {
        const double local = t - c.start + c.sourceIn;
        transform.forEachProperty([&](TransformProperty, auto& a) { a.removeKeyframes(ids, local); });
    });
}

void applyInterpolation(Project& project, KeyframeInterpolation interpolation, const QSet<QUuid>& ids) {
    forEachTransform(project, [&](Clip&, ClipTransform& transform) {
        transform.forEachProperty([&](TransformProperty, auto& a) { a.applyInterpolation(interpolation, ids); });
    });
}

void applyGraphValue(Clip& clip, TransformProperty property, const QUuid& keyframeID, std::size_t component,
                     double value) {
    if (!clip.transform || !std::isfinite(value)) return;
    if (isVectorProperty(property))
        clip.transform->vector(property).setKeyframeComponent(keyframeID, component, value);
    else
        clip.transform->scalar(property).setKeyframeComponent(keyframeID, component, value);
}

void applyGraphEase(Clip& clip, TransformProperty property, const QUuid& keyframeID, bool outgoing, double influence,
                    double velocity) {
    if (!clip.transform || !std::isfinite(influence) || !std::isfinite(velocity)) return;
    if (isVectorProperty(property))
        clip.transform->vector(property).setEaseHandle(keyframeID, outgoing, influence, velocity);
    else
        clip.transform->scalar(property).setEaseHandle(keyframeID, outgoing, influence, velocity);
}

void EditorModel::setPropertyValue(TransformProperty property, const QUuid& clipID, const TransformValue& value,
                                   bool undoable) {
    const auto c = clip(clipID);
    if (!c) return;
    const double tol = halfFrame(fps());
    const double t = clipTimeAtPlayhead(*c);
    const bool finite = std::visit([](const auto& v) { return isFinite(v); }, value);
    if (!finite) return;
    editTransform(clipID, undoable, [&](ClipTransform& transform) {
        if (isVectorProperty(property)) {
            const Vec2* v = std::get_if<Vec2>(&value);
            if (!v) return;
            auto& a = transform.vector(property);
            if (a.keyframes.empty())
                a.value = *v;
            else
                a.setKeyframe(t, *v, tol);
        } else {
            const double* v = std::get_if<double>(&value);
            if (!v) return;
            auto& a = transform.scalar(property);
            const double clamped = heldToLimits(property, *v);
            if (a.keyframes.empty())
                a.value = clamped;
            else
                a.setKeyframe(t, clamped, tol);
        }
    });
}

void EditorModel::toggleKeyframeAtPlayhead(const QUuid& clipID, TransformProperty property) {
    const auto c = clip(clipID);
    if (!c) return;
    const double t = clipTimeAtPlayhead(*c), tol = halfFrame(fps());
    editTransform(clipID, true, [&](ClipTransform& transform) {
        if (isVectorProperty(property))
            transform.vector(property).toggleKeyframe(t, tol);
        else
            transform.scalar(property).toggleKeyframe(t, tol);
    });
}

void EditorModel::toggleStopwatch(TransformProperty property, const QUuid& clipID) {
    const auto c = clip(clipID);
    if (!c) return;
    const double t = clipTimeAtPlayhead(*c);
    editTransform(clipID, true, [&](ClipTransform& transform) {
        if (isVectorProperty(property))
            transform.vector(property).toggleAnimation(t);
        else
            transform.scalar(property).toggleAnimation(t);
    });
}

void EditorModel::selectKeyframe(const QUuid& keyframeID, const QUuid& clipID, bool extend) {
    setSelectedClipID(clipID);
    QSet<QUuid> selection = selectedKeyframes_;
    if (extend) {
        if (!selection.remove(keyframeID)) selection.insert(keyframeID);
    } else if (!selection.contains(keyframeID)) {
        selection = {keyframeID};
    }
    setSelectedKeyframes(std::move(selection));
}

void EditorModel::showPropertyInGraphEditor(TransformProperty property, const QUuid& clipID) {
    setSelectedClipID(clipID);
    setGraphProperty(property);
    QSet<QUuid> ids;
    if (const auto t = transform(clipID))
        for (const auto& k : t->graphKeyframes(property)) ids.insert(k.id);
    setSelectedKeyframes(std::move(ids));
}

std::optional<std::pair<Clip, TransformProperty>> EditorModel::effectiveGraphClipProperty() const {
    const auto c = selectedClip();
    if (!c) return std::nullopt;
    const auto t = transform(c->id);
    if (!t) return std::nullopt;
    if (graphProperty_ && t->isPropertyAnimated(*graphProperty_)) return std::pair{*c, *graphProperty_};
    for (TransformProperty p : allTransformProperties)
        if (t->isPropertyAnimated(p)) return std::pair{*c, p};
    return std::nullopt;
}

std::optional<TransformProperty> EditorModel::effectiveGraphProperty() const {
    const auto pair = effectiveGraphClipProperty();
    return pair ? std::optional(pair->second) : std::nullopt;
}

bool EditorModel::canPasteKeyframes() const { return !keyframeClipboard_.empty() && selectedClip().has_value(); }

std::optional<Clip> EditorModel::laneClip(std::size_t track) const {
    if (track >= project_.tracks.size()) return std::nullopt;
    const Track& t = project_.tracks[track];
    if (!selectedClipID_.isNull())
        for (const Clip& c : t.clips)
            if (c.id == selectedClipID_) return c;
    if (const Clip* active = t.clip(playhead_)) return *active;
    const Clip* earliest = nullptr;
    for (const Clip& c : t.clips)
        if (!earliest || c.start < earliest->start) earliest = &c;
    return earliest ? std::optional(*earliest) : std::nullopt;
}

std::vector<TransformProperty> EditorModel::laneProperties(std::size_t track) const {
    const auto c = laneClip(track);
    if (c) {
        const MediaItem* media = project_.mediaItem(c->mediaID);
        if (media && (media->width < 1 || media->height < 1)) return {};
    }
    const auto t = c ? transform(c->id) : std::nullopt;
    if (!t) return {TransformProperty::anchor, TransformProperty::position, TransformProperty::scale,
                    TransformProperty::rotation, TransformProperty::opacity};
    return t->visibleTransformProperties();
}

void EditorModel::seekToNeighbour(const std::vector<double>& times, bool forward) {
    const double p = frameRounded(playhead_, fps());
    const double e = halfFrame(fps());
    std::optional<double> target;
    for (double t : times) {
        if (forward && t > p + e && (!target || t < *target)) target = t;
        if (!forward && t < p - e && (!target || t > *target)) target = t;
    }
    if (target) seek(*target);
}

void EditorModel::jumpToPropertyKeyframe(const Clip& clip, TransformProperty property, bool forward) {
    std::vector<double> times;
    if (clip.transform)
        for (const auto& k : clip.transform->allKeyframes())
            if (k.property == property) times.push_back(k.time - clip.sourceIn + clip.start);
    seekToNeighbour(times, forward);
}

void EditorModel::jumpToKeyframe(bool forward) {
    std::vector<double> times;
    if (const auto selected = selectedClip()) {
        times = keyframeTimes(*selected);
    } else {
        for (const Track& track : project_.tracks)
            for (const Clip& c : track.clips) {
                const auto more = keyframeTimes(c);
                times.insert(times.end(), more.begin(), more.end());
            }
    }
    seekToNeighbour(times, forward);
}

bool EditorModel::setInterpolation(KeyframeInterpolation interpolation) {
    if (selectedKeyframes_.isEmpty()) return false;
    const QSet<QUuid> ids = selectedKeyframes_;
    editProject(true, [&](Project& p) { applyInterpolation(p, interpolation, ids); });
    return true;
}

bool EditorModel::copyKeyframes() {
    if (selectedKeyframes_.isEmpty()) return false;
    const auto c = selectedClip();
    if (!c) return false;
    const auto t = transform(c->id);
    if (!t) return false;
    setKeyframeClipboard(t->keyframes(selectedKeyframes_));
    return !keyframeClipboard_.empty();
}

bool EditorModel::pasteKeyframes() {
    if (keyframeClipboard_.empty()) return false;
    const auto c = selectedClip();
    if (!c) return false;
    const double t = clipTimeAtPlayhead(*c);
    if (!transform(c->id)) {
        setSelectedKeyframes({});
        return true;
    }
    QSet<QUuid> pasted;
    const auto entries = keyframeClipboard_;
    editTransform(c->id, true, [&](ClipTransform& transform) {
        pasted = transform.pasteKeyframes(entries, t, halfFrame(fps()));
    });
    setSelectedKeyframes(std::move(pasted));
    return true;
}

void EditorModel::toggleTrackLanes() {
    const auto at = selectedClipID_.isNull() ? std::nullopt : project_.clipLocation(selectedClipID_);
    if (!at) return;
    QSet<QUuid> expanded = expandedTracks_;
    expanded.insert(project_.tracks[at->track].id);
    setExpandedTracks(std::move(expanded));
}

}  // namespace qm
