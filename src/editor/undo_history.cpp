#include "editor/undo_history.h"

#include <QHash>
#include <QSet>

namespace qm {

bool ProjectSnapshot::TrackShell::holds(const Track& track) const {
    if (id != track.id || name != track.name || isVisible != track.isVisible ||
        isAudioEnabled != track.isAudioEnabled || clips.size() != track.clips.size())
        return false;
    for (std::size_t i = 0; i < clips.size(); ++i)
        if (!(*clips[i] == track.clips[i])) return false;
    return true;
}

ProjectSnapshot::ProjectSnapshot(const Project& project, const ProjectSnapshot* previous)
    : width_(project.width),
      height_(project.height),
      frameRate_(project.frameRate),
      transparentBackground_(project.transparentBackground) {
    QHash<QUuid, const TrackShell*> oldTracks;
    QHash<QUuid, std::shared_ptr<const Clip>> oldClips;
    if (previous) {
        for (const auto& shell : previous->tracks_) {
            oldTracks.insert(shell->id, shell.get());
            for (const auto& c : shell->clips) oldClips.insert(c->id, c);
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
            shell->clips.push_back(old && *old == clip ? old : std::make_shared<const Clip>(clip));
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
        for (const auto& c : shell->clips) track.clips.push_back(*c);
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
    QSet<const Clip*> mine;
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
