#pragma once
// Copies a file into a project package's "Media" folder under a name not yet taken in this
// packaging run. Credits and editor packages both use it.

#include <optional>
#include <set>

#include <QString>

namespace qm {

// `usedNames` holds the lower-cased names taken so far in this run; the chosen name is added.
// Name clashes are judged against that set only (case-insensitively): "x.mov", "X.mov", "x.MOV"
// become "x.mov", "X 2.mov", "x 3.MOV". A file left at the target by an earlier run is replaced.
// Returns the copy's absolute path. Throws std::runtime_error with the failed step and path.
QString copyIntoPackage(const QString& source, const QString& package, std::set<QString>& usedNames);

// Whether `path`, links resolved, lies inside the package folder `package`. A link that leads out
// of it, or nowhere, does not; an item that is not there at all does (reading it then fails with
// its own error, and writing it makes a file of the package's own).
bool isInsidePackage(const QString& package, const QString& path);

// The package's copy at `packagedPath` (a plain relative path, no ".."), while it exists and stays
// inside the package once links are followed: a hand-made or damaged project could otherwise point
// a read (and a later package write) at any file on the disk.
std::optional<QString> packagedCopy(const QString& package, const QString& packagedPath);

}  // namespace qm
