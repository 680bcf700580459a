#pragma once
// The editor's undo and redo history. A snapshot keeps the project's tracks and clips behind
// shared pointers and takes over every track and clip that is equal to the one in the snapshot
// taken before it; the clips' keyframe lists share their storage with the live project until an
// edit writes them. A history of 200 one-clip edits thus holds 200 copies of one clip's plain
// fields and the keyframe lists those edits changed, not 200 projects.

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "editor/model/project.h"

namespace qm {

class ProjectSnapshot {
public:
    ProjectSnapshot() = default;
    // `previous`: a snapshot whose unchanged tracks, clips and media list this one shares.
    ProjectSnapshot(const Project& project, const ProjectSnapshot* previous);

    Project project() const;
    bool holds(const Project& project) const;
    // Clips this snapshot shares with `other` (for the memory check).
    std::size_t sharedClips(const ProjectSnapshot& other) const;

private:
    struct TrackShell {
        QUuid id;
        QString name;
        bool isVisible = true;
        bool isAudioEnabled = true;
        std::vector<std::shared_ptr<const Clip>> clips;
        bool holds(const Track& track) const;
    };

    int width_ = 0;
    int height_ = 0;
    double frameRate_ = 0;
    bool transparentBackground_ = false;
    std::vector<std::shared_ptr<const TrackShell>> tracks_;
    std::shared_ptr<const std::vector<MediaItem>> media_;
};

class UndoHistory {
public:
    static constexpr std::size_t limit = 200;

    // Records the project for undo (oldest dropped past the limit) and empties the redo side.
    void push(const Project& project);
    void push(ProjectSnapshot snapshot);
    // A snapshot for a gesture, sharing with the history.
    ProjectSnapshot snapshot(const Project& project) const;

    // Moves one step: the current project goes to the other side; returns the project to
    // restore, or nothing when this side is empty.
    std::optional<Project> undo(const Project& current);
    std::optional<Project> redo(const Project& current);

    std::size_t undoCount() const { return undo_.size(); }
    std::size_t redoCount() const { return redo_.size(); }
    Project undoEntry(std::size_t index) const { return undo_.at(index).project(); }
    Project redoEntry(std::size_t index) const { return redo_.at(index).project(); }
    const ProjectSnapshot& undoSnapshot(std::size_t index) const { return undo_.at(index); }
    void clear();

private:
    std::optional<Project> transfer(std::deque<ProjectSnapshot>& from, std::deque<ProjectSnapshot>& to,
                                    const Project& current);

    std::deque<ProjectSnapshot> undo_;
    std::deque<ProjectSnapshot> redo_;
    // The snapshot equal to the project as it stood at the last step: what the next one shares.
    std::shared_ptr<const ProjectSnapshot> last_;
};

}  // namespace qm
