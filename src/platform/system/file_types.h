#pragma once
// Content types of files, standing in for uniform type identifiers.

#include <QString>

namespace qm {

// Folders shown to the user as single documents; their contents are never scanned.
bool isPackageFolder(const QString& path);

// A name starting with a dot.
bool isHiddenItem(const QString& path);

// The file's content type is a movie (video containers: QuickTime, MPEG-4, Matroska/WebM, AVI,
// MXF, MPEG transport streams, ...), judged from its name and, where the name is ambiguous, its
// first bytes. Whether it really holds a video track is for the probe to say.
bool isMovieFile(const QString& path);

// The file's content type is a picture.
bool isImageFile(const QString& path);

}  // namespace qm
