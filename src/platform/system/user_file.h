#pragma once
// Writing a file the user keeps (a project, a package's project file): the new bytes go to a
// hidden sibling, which is flushed, synced and only then renamed over the target, so that a full
// disk or a crash leaves either the old file or the new one whole, never a cut one.

#include <QByteArray>
#include <QString>

namespace qm {

// Writes `bytes` to `path`, replacing what is there (a link is followed and the file it names is
// replaced, keeping that file's permissions). Returns an empty text once the bytes are on disk,
// else the system's reason ("No space left on device"); the old file is then untouched. A stop
// signal that comes meanwhile acts once the save has landed or failed (StopSignals::hold).
[[nodiscard]] QString writeUserFile(const QString& path, const QByteArray& bytes);

// Copies `source` to a new file `destination` (which must not exist) with the source's
// permissions, synced to disk. The system's reason when a step fails (the part written is then
// removed), else empty.
[[nodiscard]] QString copyUserFile(const QString& source, const QString& destination);

// The system's text for an errno value.
QString systemReason(int error);

}  // namespace qm
