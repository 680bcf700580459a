#pragma once
// Copies a file into a project package's "Media" folder under a name not yet taken in this
// packaging run. Credits and editor packages both use it.

#include <set>

#include <QString>

namespace qm {

// `usedNames` holds the lower-cased names taken so far in this run; the chosen name is added.
// Name clashes are judged against that set only (case-insensitively): "x.mov", "X.mov", "x.MOV"
// become "x.mov", "X 2.mov", "x 3.MOV". A file left at the target by an earlier run is replaced.
// Returns the copy's absolute path. Throws std::runtime_error with the failed step and path.
QString copyIntoPackage(const QString& source, const QString& package, std::set<QString>& usedNames);

}  // namespace qm
