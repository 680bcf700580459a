#pragma once
// A folder written beside its final place and swapped in only when complete, so that a failure
// half-way leaves whatever was at the target untouched, and so that the old folder (which may
// hold the very files being copied) is still there while the new one is built. Credits and
// editor packages both go through it.

#include <optional>

#include <QString>

#include "core/partial_file.h"

namespace qm {

// What dead package runs and saves left in `folder`, whatever package they wrote: their hidden
// staging folders (".B.qmpack.<hex>.partial") and the staging marker a run killed just after
// giving a package its name left inside it. Only what provably is a dead run's of this user goes
// (see sweepPartialsIn and clearStagingMarker); a live run's and anybody else's stay.
void clearDeadPackageRuns(const QString& folder);

class StagedFolder {
public:
    // Creates an empty hidden sibling of `target` (".Name.1a2b3c4d.partial"), first removing the
    // siblings that killed runs left for the same target (and putting back an old package a
    // killed swap had set aside). Throws std::runtime_error naming the target when the parent
    // folder cannot be written.
    explicit StagedFolder(QString target);
    // Removes the sibling unless commit() succeeded.
    ~StagedFolder() = default;
    StagedFolder(const StagedFolder&) = delete;
    StagedFolder& operator=(const StagedFolder&) = delete;

    // Where to write now.
    const QString& path() const { return staging_; }
    // Where the folder will be.
    const QString& target() const { return target_; }
    // An error text with the staging folder's path replaced by the target's, so that the user
    // reads the place they chose.
    QString userText(QString text) const;

    // Puts the staged folder at the target, replacing any item there (see PartialFolder::replace).
    // Only after the swap is the old item removed. Throws std::runtime_error; the target is then
    // as it was.
    void commit();

private:
    QString target_;
    QString staging_;
    std::optional<PartialFolder> folder_;  // locked and marked until it stands at the target
};

}  // namespace qm
