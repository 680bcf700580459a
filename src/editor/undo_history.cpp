#include "editor/undo_history.h"

#include <QHash>
#include <QSet>

namespace qm {

namespace {

// The fields the snapshot shares and compares one by one; a new field must be added there too.
struct ClipLayout {
    QUuid id, mediaID;
    double start, sourceIn, duration, opacity;
    std::optional<ClipTransform> transform;
    BlendMode blendMode;
    FitMode fit;
    double fadeIn, fadeOut, volume;
};
static_assert(sizeof(Clip) == sizeof(ClipLayout), "Clip gained a field: share it in ProjectSnapshot");
struct TransformLayout {
    Animatable<Vec2> anchor, position, scale;
    bool uniformScale;
    Animatable<double> rotation, opacity, keyTolerance, keySoftness, keySpill, exposure, contrast, saturation;
    ClipEffects effects;
};
static_assert(sizeof(ClipTransform) == sizeof(TransformLayout), "ClipTransform gained a field: share it in ProjectSnapshot");

// Every field but the transform.
bool sameCore(const Clip& a, const Clip& b) {
    return a.id == b.id && a.mediaID == b.mediaID && a.start == b.start && a.sourceIn == b.sourceIn &&
           a.duration == b.duration && a.opacity == b.opacity && a.blendMode == b.blendMode && a.fit == b.fit &&
           a.fadeIn == b.fadeIn && a.fadeOut == b.fadeOut && a.volume == b.volume;
}

Clip coreOf(const Clip& c) {
    Clip k;
    k.id = c.id;
    k.mediaID = c.mediaID;
    k.start = c.start;
    k.sourceIn = c.sourceIn;
    k.duration = c.duration;
    k.opacity = c.opacity;
    k.blendMode = c.blendMode;
    k.fit = c.fit;
    k.fadeIn = c.fadeIn;
    k.fadeOut = c.fadeOut;
    k.volume = c.volume;
    return k;
}

template <typename T>
std::shared_ptr<const T> share(const T& value, const std::shared_ptr<const T>* old) {
    return old && *old && **old == value ? *old : std::make_shared<const T>(value);
}

}  // namespace

bool ProjectSnapshot::SharedClip::holds(const Clip& clip) const {
    if (!sameCore(core, clip) || transform.has_value() != clip.transform.has_value()) return false;
    if (!transform) return true;
    const ClipTransform& t = *clip.transform;
    for (std::size_t i = 0; i < 3; ++i)
        if (!(*transform->vectors[i] == t.vector(allTransformProperties[i]))) return false;
    for (std::size_t i = 0; i < 8; ++i)
        if (!(*transform->scalars[i] == t.scalar(allTransformProperties[i + 3]))) return false;
    return transform->uniformScale == t.uniformScale && *transform->effects == t.effects;
}

Clip ProjectSnapshot::SharedClip::clip() const {
    Clip c = core;
    if (transform) {
        ClipTransform t;
        for (std::size_t i = 0; i < 3; ++i) t.vector(allTransformProperties[i]) = *transform->vectors[i];
        for (std::size_t i = 0; i < 8; ++i) t.scalar(allTransformProperties[i + 3]) = *transform->scalars[i];
        t.uniformScale = transform->uniformScale;
        t.effects = *transform->effects;
        c.transform = std::move(t);
    }
    return c;
}

std::shared_ptr<const ProjectSnapshot::SharedClip> ProjectSnapshot::SharedClip::make(const Clip& clip,
                                                                                    const SharedClip* old) {
    auto shared = std::make_shared<SharedClip>();
    shared->core = coreOf(clip);
    if (clip.transform) {
        const ClipTransform& t = *clip.transform;
        const SharedTransform* was = old && old->transform ? &*old->transform : nullptr;
        SharedTransform parts;
        for (std::size_t i = 0; i < 3; ++i)
            parts.vectors[i] = share(t.vector(allTransformProperties[i]), was ? &was->vectors[i] : nullptr);
        for (std::size_t i = 0; i < 8; ++i)
            parts.scalars[i] = share(t.scalar(allTransformProperties[i + 3]), was ? &was->scalars[i] : nullptr);
        parts.uniformScale = t.uniformScale;
        parts.effects = share(t.effects, was ? &was->effects : nullptr);
        shared->transform = std::move(parts);
    }
    return shared;
}

bool ProjectSnapshot::TrackShell::holds(const Track& track) const {
    if (id != track.id || name != track.name || isVisible != track.isVisible ||
        isAudioEnabled != track.isAudioEnabled || clips.size() != track.clips.size())
        return false;
    for (std::size_t i = 0; i < clips.size(); ++i)
        if (!clips[i]->holds(track.clips[i])) return false;
    return true;
}

ProjectSnapshot::ProjectSnapshot(const Project& project, const ProjectSnapshot* previous)
    : width_(project.width),
      height_(project.height),
      frameRate_(project.frameRate),
      transparentBackground_(project.transparentBackground) {
    QHash<QUuid, const TrackShell*> oldTracks;
    QHash<QUuid, std::shared_ptr<const SharedClip>> oldClips;
    if (previous) {
        for (const auto& shell : previous->tracks_) {
            oldTracks.insert(shell->id, shell.get());
            for (const auto& c : shell->clips) oldClips.insert(c->core.id, c);
        }
    }
    tracks_.reserve(project.tracks.size());
    for (std::size_t t = 0; t < project.tracks.size(); ++t) {
        const Track& track = project.tracks[t];
        if (previous && t < previous->tracks_.size() && previous->tracks_[t]->holds(track)) {
            tracks_.push_back(previous->tracks_[t]);
            continue;
        }
        if (const TrackShell* old = oldTracks.value(track.id); old && old->holds(track)) {
            for (const auto& shell : previous->tracks_)
                if (shell.get() == old) tracks_.push_back(shell);
            continue;
        }
        auto shell = std::make_shared<TrackShell>();
        shell->id = track.id;
        shell->name = track.name;
        shell->isVisible = track.isVisible;
        shell->isAudioEnabled = track.isAudioEnabled;
        shell->clips.reserve(track.clips.size());
        for (const Clip& clip : track.clips) {
            auto old = oldClips.value(clip.id);
            shell->clips.push_back(old && old->holds(clip) ? old : SharedClip::make(clip, old.get()));
        }
        tracks_.push_back(std::move(shell));
    }
    if (previous && previous->media_ && *previous->media_ == project.media)
        media_ = previous->media_;
    else
        media_ = std::make_shared<const std::vector<MediaItem>>(project.media);
}

Project ProjectSnapshot::project() const {
    Project p;
    p.width = width_;
    p.height = height_;
    p.frameRate = frameRate_;
    p.transparentBackground = transparentBackground_;
    p.tracks.reserve(tracks_.size());
    for (const auto& shell : tracks_) {
        Track track;
        track.id = shell->id;
        track.name = shell->name;
        track.isVisible = shell->isVisible;
        track.isAudioEnabled = shell->isAudioEnabled;
        track.clips.reserve(shell->clips.size());
        for (const auto& c : shell->clips) track.clips.push_back(c->clip());
        p.tracks.push_back(std::move(track));
    }
    if (media_) p.media = *media_;
    return p;
}

bool ProjectSnapshot::holds(const Project& project) const {
    if (width_ != project.width || height_ != project.height || frameRate_ != project.frameRate ||
        transparentBackground_ != project.transparentBackground || tracks_.size() != project.tracks.size())
        return false;
    for (std::size_t t = 0; t < tracks_.size(); ++t)
        if (!tracks_[t]->holds(project.tracks[t])) return false;
    return media_ ? *media_ == project.media : project.media.empty();
}

std::size_t ProjectSnapshot::sharedClips(const ProjectSnapshot& other) const {
    QSet<const SharedClip*> mine;
    for (const auto& shell : tracks_)
        for (const auto& c : shell->clips) mine.insert(c.get());
    std::size_t n = 0;
    for (const auto& shell : other.tracks_)
        for (const auto& c : shell->clips) n += mine.contains(c.get()) ? 1 : 0;
    return n;
}

ProjectSnapshot UndoHistory::snapshot(const Project& project) const { return ProjectSnapshot(project, last_.get()); }

void UndoHistory::push(const Project& project) { push(snapshot(project)); }

void UndoHistory::push(ProjectSnapshot snapshot) {
    last_ = std::make_shared<const ProjectSnapshot>(snapshot);
    undo_.push_back(std::move(snapshot));
    while (undo_.size() > limit) undo_.pop_front();
    redo_.clear();
}

std::optional<Project> UndoHistory::transfer(std::deque<ProjectSnapshot>& from, std::deque<ProjectSnapshot>& to,
                                             const Project& current) {
    if (from.empty()) return std::nullopt;
    ProjectSnapshot restored = std::move(from.back());
    from.pop_back();
    to.push_back(snapshot(current));
    Project project = restored.project();
    last_ = std::make_shared<const ProjectSnapshot>(std::move(restored));
    return project;
}

std::optional<Project> UndoHistory::undo(const Project& current) { return transfer(undo_, redo_, current); }
std::optional<Project> UndoHistory::redo(const Project& current) { return transfer(redo_, undo_, current); }

void UndoHistory::clear() {
    undo_.clear();
    redo_.clear();
    last_.reset();
}

}  // namespace qm
