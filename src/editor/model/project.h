#pragma once
// The editor's document: layers of timed clips that show entries of the media bin, with the
// look-ups every part of the editor calls, the write-back of a sync run, and the project file.

#include <array>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QUuid>

#include "editor/model/clip_transform.h"

namespace qm {

struct MediaInfo;

enum class BlendMode { normal, add, screen, multiply, overlay, softLight, lighten, darken, difference };
inline constexpr std::array<BlendMode, 9> allBlendModes = {
    BlendMode::normal,    BlendMode::add,     BlendMode::screen, BlendMode::multiply,  BlendMode::overlay,
    BlendMode::softLight, BlendMode::lighten, BlendMode::darken, BlendMode::difference};

enum class FitMode { fit, fill, stretch };
inline constexpr std::array<FitMode, 3> allFitModes = {FitMode::fit, FitMode::fill, FitMode::stretch};

std::string_view rawValue(BlendMode mode);
std::string_view rawValue(FitMode mode);
std::optional<BlendMode> blendModeFromRaw(std::string_view raw);  // case-sensitive
std::optional<FitMode> fitModeFromRaw(std::string_view raw);
// English texts; views translate them.
const char* label(BlendMode mode);
const char* label(FitMode mode);

// The fade factor of a clip at timeline time t: linear ramps up over fadeIn from its start and
// down over fadeOut to its end, multiplied (fades longer together than the clip overlap).
double fadeFactor(double t, double start, double duration, double fadeIn, double fadeOut);

struct Clip {
    QUuid id;
    QUuid mediaID;
    double start = 0.0;
    double sourceIn = 0.0;
    double duration = 0.0;
    double opacity = 1.0;  // used only while the clip has no transform
    std::optional<ClipTransform> transform;
    BlendMode blendMode = BlendMode::normal;
    FitMode fit = FitMode::fit;
    double fadeIn = 0.0;
    double fadeOut = 0.0;
    double volume = 1.0;
    bool operator==(const Clip&) const = default;

    // Opacity factor at timeline time t, fades applied (0 invisible, 1 opaque).
    double effectiveOpacity(double t) const;
};

struct Track {
    QUuid id;
    QString name;
    std::vector<Clip> clips;  // not kept sorted
    bool isVisible = true;
    bool isAudioEnabled = true;
    bool operator==(const Track&) const = default;

    // The active clip at t with the greatest start (the earlier in the array on equal starts).
    const Clip* clip(double t) const;
};

struct MediaItem {
    QUuid id;
    QString path;
    std::optional<QByteArray> bookmark;
    std::optional<QString> packagedPath;  // relative to the package folder
    QString name;
    int width = 0;
    int height = 0;
    double frameRate = 0.0;
    double duration = 0.0;
    bool hasAudio = false;
    QString codecName;
    // The length the project held before a probe conformed `duration` to a file that changed:
    // sound a clip needs past where the file now ends was in it once, and is lost.
    std::optional<double> recordedDuration;
    bool operator==(const MediaItem&) const = default;

    // The length recorded for the file before it last changed, or `duration`.
    double recordedLength() const { return recordedDuration.value_or(duration); }

    MediaItem() = default;
    // A new bin entry for an imported or relinked file and its probe result.
    MediaItem(const QString& path, const MediaInfo& info);
};

struct ClipLocation {
    std::size_t track = 0;
    std::size_t clip = 0;
    bool operator==(const ClipLocation&) const = default;
};

struct Project {
    int width = 1920;
    int height = 1080;
    double frameRate = 30;
    bool transparentBackground = false;
    std::vector<Track> tracks;
    std::vector<MediaItem> media;
    bool operator==(const Project&) const = default;

    // A new project: 1920 × 1080 at 30 fps with one empty track "Layer 1".
    static Project makeNew();

    double duration() const;
    const MediaItem* mediaItem(const QUuid& id) const;
    std::optional<ClipLocation> clipLocation(const QUuid& id) const;

    // Moves the clips of the media in `offsets` (seconds of that medium's time 0 after the
    // reference medium's) so they line up with the reference clip; returns how many moved.
    int applySync(const QUuid& referenceID, const QHash<QUuid, double>& offsets);
    bool trackHasRoom(std::size_t trackIndex, const Clip& clip) const;

    // The project file. Throws ProjectFileError when a number is not finite.
    QByteArray encoded() const;
    // Strict read of a project file's bytes; throws ProjectFileError naming the place.
    static Project decode(std::string_view bytes);
    // Opens a .qmproj file or a .qmpack package as the editor does: read, point every medium at a
    // reachable file, give clips stored without a transform a default one.
    static Project open(const QString& path);

    // The transform a clip without one is drawn and edited with (medium centre on canvas centre,
    // the clip's opacity in percent); nothing when the clip's medium is not in the bin.
    std::optional<ClipTransform> defaultTransform(const Clip& clip) const;

    // Brings a medium's record to what its file is now (`info`, a fresh probe of it: the file was
    // replaced). When its picture changed size, the anchors of its clips, which are in the
    // picture's pixels, scale with it: the same point of the picture stays at the same place and
    // the clip's fit applies to the new size. The length recorded before is kept beside the new
    // one (MediaItem::recordedDuration). Returns whether anything changed.
    bool conformMedium(const QUuid& id, const MediaInfo& info);
};

// Name of a track the editor adds: "Layer N" for the given 64-bit N, through the string table.
QString layerName(long long number);

class ProjectFileError : public std::exception {
public:
    enum class Kind {
        unreadable,     // the file could not be read
        malformed,      // not JSON, or a number JSON cannot hold
        missingKey,
        wrongType,
        invalidValue,   // a raw value, UUID or Base64 text that is not one
        outOfRange,
        notFinite,      // writing: a number that JSON cannot hold
    };

    ProjectFileError(Kind kind, std::string place, std::string message);
    Kind kind() const { return kind_; }
    // Where the fault is, such as "tracks[0].clips[2].volume"; empty for the file as a whole.
    const std::string& place() const { return place_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    Kind kind_;
    std::string place_;
    std::string message_;
};

}  // namespace qm
