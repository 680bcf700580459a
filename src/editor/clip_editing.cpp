// Putting clips on the timeline and changing their place and length.

#include <algorithm>
#include <cmath>
#include <limits>

#include "editor/editor_model.h"
#include "editor/frame_grid.h"

namespace qm {

namespace {

Track newTrack(const std::vector<Track>& tracks) {
    Track track;
    track.id = QUuid::createUuid();
    track.name = defaultLayerName(tracks);
    return track;
}

double clipEnd(const Clip& c) { return c.start + c.duration; }

// What a trim works on: the clip, its medium's length and the other clips of its track;
// nothing when the time is not a number or the clip or its medium is missing.
struct TrimSubject {
    Clip clip;
    double mediaDuration = 0;
    std::vector<const Clip*> others;
};

std::optional<TrimSubject> trimSubject(const Project& project, const QUuid& id, double time) {
    const auto at = id.isNull() || !std::isfinite(time) ? std::nullopt : project.clipLocation(id);
    if (!at) return std::nullopt;
    TrimSubject s;
    s.clip = project.tracks[at->track].clips[at->clip];
    const MediaItem* media = project.mediaItem(s.clip.mediaID);
    if (!media) return std::nullopt;
    s.mediaDuration = media->duration;
    for (const Clip& c : project.tracks[at->track].clips)
        if (c.id != id) s.others.push_back(&c);
    return s;
}

}  // namespace

void EditorModel::addClipAtPlayhead(const QUuid& mediaID, std::optional<std::size_t> track, std::optional<double> time) {
    const MediaItem* media = project_.mediaItem(mediaID);
    if (!media) return;
    const double at = time.value_or(playhead_);
    if (!std::isfinite(at)) return;

    Clip c;
    c.id = QUuid::createUuid();
    c.mediaID = mediaID;
    c.start = frameRounded(at, fps());
    c.duration = std::max(media->duration, oneFrame(fps()));
    c.transform = project_.defaultTransform(c);  // at the clip's full opacity
    pushUndo();

    std::optional<std::size_t> chosen;
    if (track) {
        if (*track < project_.tracks.size()) chosen = track;
    } else {
        const double newEnd = clipEnd(c);
        for (std::size_t i = 0; i < project_.tracks.size() && !chosen; ++i) {
            const auto& clips = project_.tracks[i].clips;
            const bool free = std::none_of(clips.begin(), clips.end(), [&](const Clip& o) {
                return newEnd > o.start && clipEnd(o) > c.start;
            });
            if (free) chosen = i;
        }
    }
    if (!chosen) {
        project_.tracks.insert(project_.tracks.begin(), newTrack(project_.tracks));
        chosen = 0;
    }
    const QUuid id = c.id;
    project_.tracks[*chosen].clips.push_back(std::move(c));
    projectEdited();
    setSelectedClipID(id);
}

EditorModel::Snap EditorModel::snap(double time, const QUuid& leaveOut) const {
    if (!std::isfinite(time)) return {time, false};
    const double threshold = 8.0 / pixelsPerSecond_;
    double best = 0.0;
    const auto consider = [&](double candidate) {
        if (std::abs(candidate - time) < std::abs(best - time)) best = candidate;
    };
    consider(playhead_);
    for (const Track& track : project_.tracks)
        for (const Clip& c : track.clips) {
            if (!leaveOut.isNull() && c.id == leaveOut) continue;
            consider(c.start);
            consider(clipEnd(c));
        }
    if (std::abs(best - time) <= threshold) return {best, true};
    return {time, false};
}

void EditorModel::moveClip(Project& project, std::size_t track, std::size_t index, std::optional<std::ptrdiff_t> toTrack,
                           double start) {
    if (!std::isfinite(start) || track >= project.tracks.size() || index >= project.tracks[track].clips.size()) return;
    Clip moved = project.tracks[track].clips[index];
    moved.start = frameRounded(start, project.frameRate);
    const auto count = std::ptrdiff_t(project.tracks.size());
    if (!toTrack || *toTrack == std::ptrdiff_t(track) || *toTrack < 0 || *toTrack >= count) {
        project.tracks[track].clips[index] = std::move(moved);
        return;
    }
    auto& from = project.tracks[track].clips;
    from.erase(from.begin() + std::ptrdiff_t(index));
    project.tracks[std::size_t(*toTrack)].clips.push_back(std::move(moved));
}

void EditorModel::moveClipInModel(std::size_t track, std::size_t index, std::optional<std::ptrdiff_t> toTrack,
                                  double start) {
    if (track >= project_.tracks.size() || index >= project_.tracks[track].clips.size()) return;
    // A drag within its track is the common case: compare the one clip, not the project.
    const Clip before = project_.tracks[track].clips[index];
    const std::size_t trackCount = project_.tracks[track].clips.size();
    moveClip(project_, track, index, toTrack, start);
    if (project_.tracks[track].clips.size() == trackCount && project_.tracks[track].clips[index] == before) return;
    projectEdited();
}

void EditorModel::trimClipStart(const QUuid& id, double time) {
    const auto subject = trimSubject(project_, id, time);
    if (!subject) return;
    const Clip* c = &subject->clip;
    double prevEnd = 0.0;
    for (const Clip* o : subject->others)
        if (clipEnd(*o) <= c->start + 1e-9) prevEnd = std::max(prevEnd, clipEnd(*o));
    const double lower = std::max(c->start - c->sourceIn, prevEnd);
    const double upper = clipEnd(*c) - oneFrame(fps());
    // A clip already shorter than a frame (stopped at its neighbour) keeps its start.
    if (upper < std::max(0.0, lower)) return;
    const double newStart = std::min(std::max(frameRounded(time, fps()), std::max(0.0, lower)), upper);
    const double mediaDuration = subject->mediaDuration;
    editClip(id, false, [&](Clip& k) {
        const double delta = newStart - k.start;
        k.start = newStart;
        k.sourceIn = std::min(std::max(0.0, k.sourceIn + delta), mediaDuration);
        k.duration -= delta;
        k.fadeIn = std::min(k.fadeIn, k.duration);
        k.fadeOut = std::min(k.fadeOut, k.duration - k.fadeIn);
    });
}

void EditorModel::trimClipEnd(const QUuid& id, double time) {
    const auto subject = trimSubject(project_, id, time);
    if (!subject) return;
    const Clip* c = &subject->clip;
    double nextStart = std::numeric_limits<double>::infinity();
    for (const Clip* o : subject->others)
        if (o->start >= clipEnd(*c) - 1e-9) nextStart = std::min(nextStart, o->start);
    const double frame = oneFrame(fps());
    // A clip whose source starts at or past its medium's end (relinked to a shorter file) keeps
    // one frame rather than none.
    const double mediaLimit = std::max(c->start + subject->mediaDuration - c->sourceIn, c->start + frame);
    const double limit = std::min(mediaLimit, nextStart);
    double newEnd = std::min(std::max(frameRounded(time, fps()), c->start + frame), limit);
    if (!(newEnd > c->start)) newEnd = c->start + frame;
    setClipEnd(id, newEnd, false);
}

void EditorModel::splitAtPlayhead() {
    const double t = frameRounded(playhead_, fps());
    const bool hasSelection = !selectedClipID_.isNull();
    std::vector<QUuid> targets;
    for (const Track& track : project_.tracks)
        for (const Clip& c : track.clips)
            if (c.start < t && t < clipEnd(c) && (!hasSelection || c.id == selectedClipID_)) targets.push_back(c.id);
    if (targets.empty()) return;
    pushUndo();
    QUuid lastRight;
    for (const QUuid& id : targets) {
        const auto at = project_.clipLocation(id);
        if (!at) continue;
        auto& clips = project_.tracks[at->track].clips;
        const Clip original = clips[at->clip];
        Clip right = original;
        right.id = QUuid::createUuid();
        if (original.transform) right.transform = original.transform->withFreshKeyframeIDs();
        right.start = t;
        right.sourceIn = original.sourceIn + (t - original.start);
        right.duration = clipEnd(original) - t;
        right.fadeIn = 0;
        right.fadeOut = std::min(original.fadeOut, right.duration);
        Clip& left = clips[at->clip];
        left.duration = t - original.start;
        left.fadeOut = 0;
        left.fadeIn = std::min(original.fadeIn, left.duration);
        lastRight = right.id;
        clips.push_back(std::move(right));
    }
    projectEdited();
    if (hasSelection) setSelectedClipID(lastRight);
}

void EditorModel::duplicateClip() {
    const auto at = selectedClipID_.isNull() ? std::nullopt : project_.clipLocation(selectedClipID_);
    if (!at) return;
    Clip copy = project_.tracks[at->track].clips[at->clip];
    copy.id = QUuid::createUuid();
    if (copy.transform) copy.transform = copy.transform->withFreshKeyframeIDs();
    copy.start = clipEnd(copy);
    if (!std::isfinite(copy.start + copy.duration)) return;
    pushUndo();
    const QUuid id = copy.id;
    project_.tracks[at->track].clips.push_back(std::move(copy));
    projectEdited();
    setSelectedClipID(id);
}

bool EditorModel::deleteSelectedKeyframes() {
    if (selectedKeyframes_.isEmpty()) return false;
    const QSet<QUuid> ids = selectedKeyframes_;
    const double t = playhead_;
    editProject(true, [&](Project& p) { removeKeyframes(p, ids, t); });
    setSelectedKeyframes({});
    return true;
}

void EditorModel::deleteSelection() {
    if (deleteSelectedKeyframes()) return;
    const auto at = selectedClipID_.isNull() ? std::nullopt : project_.clipLocation(selectedClipID_);
    if (!at) return;
    pushUndo();
    auto& clips = project_.tracks[at->track].clips;
    clips.erase(clips.begin() + std::ptrdiff_t(at->clip));
    projectEdited();
    setSelectedClipID({});
}

}  // namespace qm
