#pragma once
// Writes the editor's timeline to a movie or an image sequence through the shared transcoder:
// every frame drawn by a renderer of the export's own, and the audio mix alongside.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QList>
#include <QStringList>
#include <QUuid>

#include "editor/model/audio_mix.h"
#include "editor/model/composition_renderer.h"
#include "engine/conversion_settings.h"
#include "engine/media_info.h"
#include "engine/output_naming.h"
#include "engine/transcode_sync.h"
#include "engine/transcoder.h"

namespace qm {

// What the transcoder is told about the rendered timeline: "Timeline", the project's size and
// rate, its duration at the timescale of one frame, audio when any medium has sound.
MediaInfo timelineMediaInfo(const Project& project);

// The media infos of a project as the editor keeps them: every item whose file probes (sound-only
// files included); missing files have no entry. Each record is brought to what its file is now
// (Project::conformMedium), as the editor does when it opens the project.
MediaInfos probeProjectMedia(Project& project);

// The media whose clips an export draws or plays: those of clips on tracks that are shown or
// heard, in bin order, each once.
std::vector<const MediaItem*> timelineMedia(const Project& project);

// Whether a medium's file can still be read: it exists, is a regular file and opens for reading.
// `quick` leaves out the opening, for checks made once a frame.
bool isReadableMediaFile(const QString& path, bool quick = false);

// What tells a medium's file from another put at its path: device and inode (a file renamed over
// it), size and modification time (one rewritten in place).
struct FileStamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modifiedNs = 0;
    bool operator==(const FileStamp&) const = default;
};
// The stamp of a file isReadableMediaFile accepts; nothing for any other.
std::optional<FileStamp> mediaFileStamp(const QString& path);

// Media an export was reading whose files went away while it ran: their clips would have been
// left out of what it wrote, so nothing is kept.
class MediaGoneError : public std::exception {
public:
    MediaGoneError(QList<QUuid> ids, QStringList names);
    const QList<QUuid>& ids() const { return ids_; }
    const QStringList& names() const { return names_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    QList<QUuid> ids_;
    QStringList names_;
    std::string text_;
};

class ProjectExporter {
public:
    // Copies everything it is given; the transcoder is made for the destination and settings. An
    // image sequence goes under the next free name when something is at the destination
    // (ExportDestination), which transcoder().destination() gives; throws
    // ConversionError::writerFailed when no name can be taken.
    ProjectExporter(Project project, MediaInfos infos, ConversionSettings settings, std::filesystem::path destination,
                    LTCInfos ltc);
    // The same under a name the caller picked and reserved for it (reserveOutputURL).
    ProjectExporter(Project project, MediaInfos infos, ConversionSettings settings,
                    std::unique_ptr<PartialFile> reservation, LTCInfos ltc);

    // Renders and writes every frame, blocking until the output is complete. Throws
    // ConversionError::noVideoTrack for an empty timeline (nothing written), encodeFailed for a
    // frame rate outside 0.1…1000 fps, MediaGoneError when the file of a medium it was given a
    // probe result for cannot be read before or while it runs, MediaReadError when a medium's
    // picture cannot be read or decoded where it has one (after either nothing is left under the
    // destination's name, image sequences included), and what the transcoder throws (cancelled
    // after cancellation()).
    void exportProject(const ProgressCallback& progress);

    CancellationFlag& cancellation() const { return transcoder_->cancellation(); }
    const Transcoder& transcoder() const { return *transcoder_; }
    const Project& project() const { return project_; }

    // Frames of the export: the duration rounded to a tick of the frame's timescale, whole frames
    // counted up, at least one.
    int64_t frameCount() const;
    // The audio the export writes, or nothing (image sequences, audio off, no sound on the timeline).
    std::optional<AudioMixPlan> audioPlan() const;

private:
    Project project_;
    MediaInfos infos_;
    ConversionSettings settings_;
    LTCInfos ltc_;
    ExportDestination destination_;  // outlives the transcoder
    std::unique_ptr<Transcoder> transcoder_;
};

}  // namespace qm
