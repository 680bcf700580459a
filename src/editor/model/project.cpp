#include "editor/model/project.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "engine/media_info.h"
#include "platform/system/bookmarks.h"

namespace qm {

namespace {

// Anything below 0, and NaN, becomes 0; anything from 1 up becomes 1.
double unitRamp(double v) { return v > 0.0 ? std::min(v, 1.0) : 0.0; }

// What a medium's record takes from its file's probe.
void takeProbe(MediaItem& item, const MediaInfo& info) {
    item.width = info.width;
    item.height = info.height;
    item.frameRate = info.frameRate;
    item.duration = info.duration.isNumeric() ? info.duration.seconds() : 0.0;
    item.hasAudio = info.hasAudio;
    item.codecName = QString::fromStdString(info.codecName);
}

}  // namespace

std::string_view rawValue(BlendMode mode) {
    switch (mode) {
        case BlendMode::normal: return "normal";
        case BlendMode::add: return "add";
        case BlendMode::screen: return "screen";
        case BlendMode::multiply: return "multiply";
        case BlendMode::overlay: return "overlay";
        case BlendMode::softLight: return "softLight";
        case BlendMode::lighten: return "lighten";
        case BlendMode::darken: return "darken";
        case BlendMode::difference: return "difference";
    }
    return "normal";
}

std::string_view rawValue(FitMode mode) {
    switch (mode) {
        case FitMode::fit: return "fit";
        case FitMode::fill: return "fill";
        case FitMode::stretch: return "stretch";
    }
    return "fit";
}

std::optional<BlendMode> blendModeFromRaw(std::string_view raw) { return caseFromRaw(allBlendModes, raw); }

std::optional<FitMode> fitModeFromRaw(std::string_view raw) { return caseFromRaw(allFitModes, raw); }

const char* label(BlendMode mode) {
    switch (mode) {
        case BlendMode::normal: return "Normal";
        case BlendMode::add: return "Add";
        case BlendMode::screen: return "Screen";
        case BlendMode::multiply: return "Multiply";
        case BlendMode::overlay: return "Overlay";
        case BlendMode::softLight: return "Soft Light";
        case BlendMode::lighten: return "Lighten";
        case BlendMode::darken: return "Darken";
        case BlendMode::difference: return "Difference";
    }
    return "Normal";
}

const char* label(FitMode mode) {
    switch (mode) {
        case FitMode::fit: return "Fit";
        case FitMode::fill: return "Fill";
        case FitMode::stretch: return "Stretch";
    }
    return "Fit";
}

double fadeFactor(double t, double start, double duration, double fadeIn, double fadeOut) {
    double f = 1.0;
    if (fadeIn > 0) f *= unitRamp((t - start) / fadeIn);
    if (fadeOut > 0) f *= unitRamp((start + duration - t) / fadeOut);
    return f;
}

double Clip::effectiveOpacity(double t) const {
    const double base = transform ? transform->opacity.valueAt(t - start + sourceIn) / 100.0 : opacity;
    return base * fadeFactor(t, start, duration, fadeIn, fadeOut);
}

const Clip* Track::clip(double t) const {
    const Clip* held = nullptr;
    for (const Clip& c : clips) {
        if (!(c.start <= t && t < c.start + c.duration)) continue;
        if (!held || c.start > held->start) held = &c;
    }
    return held;
}

MediaItem::MediaItem(const QString& filePath, const MediaInfo& info)
    : id(QUuid::createUuid()),
      path(QDir::cleanPath(QFileInfo(filePath).absoluteFilePath())),
      bookmark(createBookmark(filePath, BookmarkScope::securityScoped)),
      name(QFileInfo(filePath).fileName()) {
    takeProbe(*this, info);
}

QString layerName(long long number) {
    // Translated as data: the number goes in after translation, never through a format call.
    return QCoreApplication::translate("qm::Project", "Layer %lld").replace(QLatin1String("%lld"), QString::number(number));
}

Project Project::makeNew() {
    Project project;
    Track track;
    track.id = QUuid::createUuid();
    track.name = QCoreApplication::translate("qm::Project", "Layer 1");
    project.tracks.push_back(std::move(track));
    return project;
}

double Project::duration() const {
    double end = 0.0;
    for (const Track& track : tracks)
        for (const Clip& c : track.clips) end = std::max(end, c.start + c.duration);
    return end;
}

const MediaItem* Project::mediaItem(const QUuid& id) const {
    for (const MediaItem& item : media)
        if (item.id == id) return &item;
    return nullptr;
}

std::optional<ClipLocation> Project::clipLocation(const QUuid& id) const {
    for (std::size_t t = 0; t < tracks.size(); ++t)
        for (std::size_t c = 0; c < tracks[t].clips.size(); ++c)
            if (tracks[t].clips[c].id == id) return ClipLocation{t, c};
    return std::nullopt;
}

bool Project::trackHasRoom(std::size_t trackIndex, const Clip& clip) const {
    if (trackIndex >= tracks.size()) return false;
    for (const Clip& o : tracks[trackIndex].clips)
        if (o.start < clip.start + clip.duration - 1e-9 && clip.start < o.start + o.duration - 1e-9) return false;
    return true;
}

int Project::applySync(const QUuid& referenceID, const QHash<QUuid, double>& offsets) {
    const auto location = clipLocation(referenceID);
    if (!location) return 0;
    const Clip reference = tracks[location->track].clips[location->clip];
    const QUuid referenceTrack = tracks[location->track].id;
    const double origin = reference.start - reference.sourceIn;

    struct Lifted {
        Clip clip;
        QUuid track;
    };
    std::vector<Lifted> lifted;
    for (Track& track : tracks) {
        std::erase_if(track.clips, [&](const Clip& c) {
            if (c.id == reference.id || c.mediaID == reference.mediaID) return false;
            const auto offset = offsets.constFind(c.mediaID);
            // A measured offset that is not a number would leave a clip that can never be saved.
            if (offset == offsets.constEnd() || !std::isfinite(*offset)) return false;
            Clip moved = c;
            moved.start = c.sourceIn + origin + *offset;
            lifted.push_back({std::move(moved), track.id});
            return true;
        });
    }
    if (lifted.empty()) return 0;

    double earliest = lifted.front().clip.start;
    for (const Lifted& l : lifted) earliest = std::min(earliest, l.clip.start);
    if (earliest < 0) {
        for (Track& track : tracks)
            for (Clip& c : track.clips) c.start -= earliest;
        for (Lifted& l : lifted) l.clip.start -= earliest;
    }
    std::stable_sort(lifted.begin(), lifted.end(), [](const Lifted& a, const Lifted& b) { return a.clip.start < b.clip.start; });

    auto indexOf = [&](const QUuid& trackID) {
        for (std::size_t i = 0; i < tracks.size(); ++i)
            if (tracks[i].id == trackID) return i;
        return tracks.size();
    };
    for (Lifted& l : lifted) {
        const std::size_t home = indexOf(l.track);
        const std::size_t referenceIndex = indexOf(referenceTrack);
        std::vector<std::size_t> candidates{home};
        for (std::size_t i = 0; i < tracks.size(); ++i)
            if (i != home && i != referenceIndex) candidates.push_back(i);
        const auto distance = [&](std::size_t i) { return i > home ? i - home : home - i; };
        std::stable_sort(candidates.begin() + 1, candidates.end(),
                         [&](std::size_t a, std::size_t b) { return distance(a) < distance(b); });
        bool placed = false;
        for (std::size_t candidate : candidates) {
            if (trackHasRoom(candidate, l.clip)) {
                tracks[candidate].clips.push_back(l.clip);
                placed = true;
                break;
            }
        }
        if (!placed) {
            Track track;
            track.id = QUuid::createUuid();
            track.name = layerName(static_cast<long long>(tracks.size()) + 1);
            track.clips.push_back(l.clip);
            tracks.insert(tracks.begin() + static_cast<std::ptrdiff_t>(std::min(home, tracks.size())), std::move(track));
        }
    }
    return static_cast<int>(lifted.size());
}

std::optional<ClipTransform> Project::defaultTransform(const Clip& clip) const {
    const MediaItem* item = mediaItem(clip.mediaID);
    if (!item) return std::nullopt;
    // The plain opacity moves over unclamped; only a percentage beyond any double is held to the
    // largest one, so that the project can still be saved.
    constexpr double most = std::numeric_limits<double>::max();
    return ClipTransform::makeDefault({item->width / 2.0, item->height / 2.0}, {width / 2.0, height / 2.0},
                                      std::clamp(clip.opacity * 100.0, -most, most));
}

bool Project::conformMedium(const QUuid& id, const MediaInfo& info) {
    const auto item = std::find_if(media.begin(), media.end(), [&](const MediaItem& m) { return m.id == id; });
    if (item == media.end()) return false;
    MediaItem now = *item;
    takeProbe(now, info);
    if (now.duration != item->duration && !now.recordedDuration) now.recordedDuration = item->duration;
    if (now == *item) return false;
    if (item->width > 0 && item->height > 0 && now.width > 0 && now.height > 0 &&
        (now.width != item->width || now.height != item->height)) {
        const double sx = double(now.width) / item->width, sy = double(now.height) / item->height;
        for (Track& track : tracks)
            for (Clip& c : track.clips) {
                if (c.mediaID != id || !c.transform) continue;
                auto& anchor = c.transform->anchor;
                anchor.value = {anchor.value.x * sx, anchor.value.y * sy};
                for (auto& k : anchor.keyframes) k.value = {k.value.x * sx, k.value.y * sy};
            }
    }
    *item = std::move(now);
    return true;
}

ProjectFileError::ProjectFileError(Kind kind, std::string place, std::string message)
    : kind_(kind), place_(std::move(place)), message_(std::move(message)) {}

}  // namespace qm
