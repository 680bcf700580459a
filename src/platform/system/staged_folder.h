#pragma once
// A folder written beside its final place and swapped in only when complete, so that a failure
// half-way leaves whatever was at the target untouched, and so that the old folder (which may
// hold the very files being copied) is still there while the new one is built. Credits and
// editor packages both go through it.

#include <QString>

namespace qm {

class StagedFolder {
public:
    // Creates an empty hidden sibling of `target` (".Name.1a2b3c4d.partial"), first removing the
    // siblings that killed runs left for the same target. Throws std::runtime_error naming the
    // target when the parent folder cannot be written.
    explicit StagedFolder(QString target);
    // Removes the sibling unless commit() succeeded.
    ~StagedFolder();
    StagedFolder(const StagedFolder&) = delete;
    StagedFolder& operator=(const StagedFolder&) = delete;

    // Where to write now.
    const QString& path() const { return staging_; }
    // Where the folder will be.
    const QString& target() const { return target_; }
    // An error text with the staging folder's path replaced by the target's, so that the user
    // reads the place they chose.
    QString userText(QString text) const;

    // Puts the staged folder at the target, replacing any item there: an atomic exchange where
    // the file system offers one, else the old item is renamed aside first. Only after the swap
    // is the old item removed. Throws std::runtime_error; the target is then as it was.
    void commit();

private:
    QString target_;
    QString staging_;
    int lock_ = -1;  // held open with an exclusive flock: a live staging folder is never stale
    bool committed_ = false;
};

}  // namespace qm
