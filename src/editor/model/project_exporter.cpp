#include "editor/model/project_exporter.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <string>

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <sys/stat.h>

#include "core/conversion_error.h"
#include "engine/render_feeder.h"
#include "engine/render_timing.h"
#include "engine/transcode_rules.h"

namespace qm {

std::vector<const MediaItem*> timelineMedia(const Project& project) {
    QSet<QUuid> used;
    for (const Track& track : project.tracks) {
        if (!track.isVisible && !track.isAudioEnabled) continue;
        for (const Clip& clip : track.clips) used.insert(clip.mediaID);
    }
    std::vector<const MediaItem*> media;
    QSet<QUuid> listed;
    for (const MediaItem& item : project.media)
        if (used.contains(item.id) && !listed.contains(item.id)) {
            listed.insert(item.id);
            media.push_back(&item);
        }
    return media;
}

bool isReadableMediaFile(const QString& path, bool quick) {
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable()) return false;
    if (quick) return true;
    QFile file(path);
    return file.open(QIODevice::ReadOnly);
}

std::optional<FileStamp> mediaFileStamp(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode) || !isReadableMediaFile(path))
        return std::nullopt;
    return FileStamp{uint64_t(st.st_dev), uint64_t(st.st_ino), int64_t(st.st_size),
                     int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

MediaGoneError::MediaGoneError(QList<QUuid> ids, QStringList names)
    : ids_(std::move(ids)),
      names_(std::move(names)),
      text_("These files can't be found any more, so the export was stopped: " +
            names_.join(QStringLiteral(", ")).toStdString()) {}

namespace {

// The timeline's media that had a probe result when the export began, watched while it runs.
class MediaWatch {
public:
    MediaWatch(const Project& project, const MediaInfos& infos) {
        for (const MediaItem* item : timelineMedia(project))
            if (infos.contains(item->id)) media_.push_back(*item);
    }

    // Throws MediaGoneError naming every watched medium whose file cannot be read now; the first
    // such finding is kept, since the feeds that find it may report it in their own words.
    void check(bool quick) {
        QList<QUuid> ids;
        QStringList names;
        for (const MediaItem& item : media_)
            if (!isReadableMediaFile(item.path, quick)) {
                ids.append(item.id);
                names.append(item.name);
            }
        if (ids.isEmpty()) return;
        MediaGoneError error(ids, names);
        {
            std::lock_guard guard(lock_);
            if (!gone_) gone_ = error;
        }
        throw error;
    }

    std::optional<MediaGoneError> gone() const {
        std::lock_guard guard(lock_);
        return gone_;
    }

private:
    std::vector<MediaItem> media_;
    mutable std::mutex lock_;
    std::optional<MediaGoneError> gone_;
};

// The rendered frames, with every file read once more after the last one: a file that went away
// while its frames were already read must not leave a finished movie behind.
class WatchedFeeder : public FrameBatchProvider {
public:
    WatchedFeeder(FrameBatchProvider& feeder, MediaWatch& watch) : feeder_(feeder), watch_(watch) {}
    std::vector<FramePair> nextBatch(const FrameFolder& folder) override {
        std::vector<FramePair> batch = feeder_.nextBatch(folder);
        if (batch.empty()) watch_.check(false);
        return batch;
    }
    void finish() override { feeder_.finish(); }

private:
    FrameBatchProvider& feeder_;
    MediaWatch& watch_;
};

// The same for the sound, which may end after the pictures. A medium whose sound can't be read
// is kept as found, since the run reports the feed's failure in general words.
class WatchedAudio : public AudioBufferSource {
public:
    WatchedAudio(AudioBufferSource& audio, MediaWatch& watch) : audio_(audio), watch_(watch) {}
    std::optional<AudioSampleBuffer> next() override {
        std::optional<AudioSampleBuffer> samples;
        try {
            samples = audio_.next();
        } catch (const MediaReadError& e) {
            std::lock_guard guard(lock_);
            if (!unread_) unread_ = e;
            throw;
        }
        if (!samples) watch_.check(false);
        return samples;
    }
    std::optional<MediaReadError> unread() const {
        std::lock_guard guard(lock_);
        return unread_;
    }

private:
    AudioBufferSource& audio_;
    MediaWatch& watch_;
    mutable std::mutex lock_;
    std::optional<MediaReadError> unread_;
};

}  // namespace

MediaInfo timelineMediaInfo(const Project& project) {
    MediaInfo info;
    info.codecType = 0;
    info.codecName = "Timeline";
    info.decoder = SourceDecoder::native();
    info.width = project.width;
    info.height = project.height;
    info.frameRate = project.frameRate;
    const MediaTime frame = frameDuration(project.frameRate);
    const int32_t scale = frame.isNumeric() ? frame.timescale : 600;
    info.duration = MediaTime::make(std::llround(project.duration() * scale), scale);
    info.naturalTimeScale = scale;
    // Sound only when the timeline plays some: a clip on an audio-enabled track whose medium has it.
    info.hasAudio = std::any_of(project.tracks.begin(), project.tracks.end(), [&](const Track& track) {
        return track.isAudioEnabled && std::any_of(track.clips.begin(), track.clips.end(), [&](const Clip& clip) {
                   const MediaItem* item = project.mediaItem(clip.mediaID);
                   return item != nullptr && item->hasAudio;
               });
    });
    info.hasAlpha = project.transparentBackground;
    return info;
}

MediaInfos probeProjectMedia(Project& project) {
    MediaInfos infos;
    for (const MediaItem& item : project.media) {
        try {
            infos.insert(item.id, MediaInfo::load(item.path.toStdString(), true));
        } catch (...) {
            // A file that does not probe counts as missing.
        }
    }
    for (auto it = infos.cbegin(); it != infos.cend(); ++it) project.conformMedium(it.key(), it.value());
    return infos;
}

ProjectExporter::ProjectExporter(Project project, MediaInfos infos, ConversionSettings settings,
                                 std::filesystem::path destination, LTCInfos ltc)
    : project_(std::move(project)),
      infos_(std::move(infos)),
      settings_(settings),
      ltc_(std::move(ltc)),
      destination_(settings.format, destination),
      transcoder_(std::make_unique<Transcoder>(destination_.path(), destination_.path(), timelineMediaInfo(project_), settings)) {}

ProjectExporter::ProjectExporter(Project project, MediaInfos infos, ConversionSettings settings,
                                 std::unique_ptr<PartialFile> reservation, LTCInfos ltc)
    : project_(std::move(project)),
      infos_(std::move(infos)),
      settings_(settings),
      ltc_(std::move(ltc)),
      destination_(settings.format, std::move(reservation)),
      transcoder_(std::make_unique<Transcoder>(destination_.path(), destination_.path(), timelineMediaInfo(project_), settings)) {}

int64_t ProjectExporter::frameCount() const {
    return renderFrameCount(project_.duration(), frameDuration(project_.frameRate));
}

std::optional<AudioMixPlan> ProjectExporter::audioPlan() const {
    if (!settings_.includeAudio || isImageSequence(settings_.format)) return std::nullopt;
    // Media without a probe result are left out of the run, sound and picture alike; the sound of
    // the others must be whole.
    std::vector<MediaItem> probed;
    std::copy_if(project_.media.begin(), project_.media.end(), std::back_inserter(probed),
                 [this](const MediaItem& item) { return infos_.contains(item.id); });
    return makeAudioMix(project_.tracks, probed, ltc_, true);
}

void ProjectExporter::exportProject(const ProgressCallback& progress) {
    const ExportDestination::ReleaseAtEnd release{destination_};
    const double d = project_.duration();
    if (!(d > 0)) throw ConversionError::noVideoTrack();
    const double rate = project_.frameRate;
    const MediaTime frame = frameDuration(rate);
    if (!(rate >= 0.1 && rate <= 1000) || !frame.isNumeric())
        throw ConversionError::encodeFailed("the frame rate must lie between 0.1 and 1000 frames per second");
    checkRenderLength(d);
    // The renderer and the mix leave out what they cannot read, which suits a preview; an export
    // that did so would look complete. A file that is gone, or went away while it was read,
    // fails the run with its name instead.
    MediaWatch watch(project_, infos_);
    watch.check(false);
    std::optional<AudioMixReader> audio;
    if (const std::optional<AudioMixPlan> plan = audioPlan()) audio.emplace(*plan, 0.0, d);
    if (audio) audio->setStrict(true);
    std::optional<WatchedAudio> watchedAudio;
    if (audio) watchedAudio.emplace(*audio, watch);
    CompositionRenderer renderer;
    renderer.setReadAhead(frame.seconds());
    renderer.setStrict(true);
    const bool unpremultiply = project_.transparentBackground;
    auto render = [this, &renderer, &watch, unpremultiply](double seconds, PixelBuffer& into) {
        QImage composed;
        try {
            composed = renderer.render(project_, infos_, seconds, QSize(into.width(), into.height()), false);
        } catch (const MediaReadError&) {
            watch.check(false);  // a file that went away is named as gone, not as damaged
            throw;
        }
        // Checked after drawing, so a frame drawn without a file that had just gone is not kept.
        watch.check(true);
        CompositionRenderer::draw(composed, into, unpremultiply);
    };
    auto pool = makePixelBufferPool(project_.width, project_.height, kPixelFormatBGRA);
    RenderFeeder feeder(*transcoder_, render, std::move(pool), progress, frame, frameCount(),
                        renderBatchSize(project_.width, project_.height));
    WatchedFeeder watchedFeeder(feeder, watch);
    try {
        transcoder_->runRendered(watchedFeeder, watchedAudio ? &*watchedAudio : nullptr);
    } catch (const MediaReadError&) {
        // An image sequence's frames stay when a run fails; one stopped for a medium it could not
        // read would look complete up to there.
        transcoder_->discardSequence();
        throw;
    } catch (...) {
        // The feeds report a gone file in their own words (the sound as a failed read).
        const std::optional<MediaGoneError> gone = watch.gone();
        if (gone && !cancellation().value()) {
            transcoder_->discardSequence();
            throw *gone;
        }
        if (const std::optional<MediaReadError> unread = watchedAudio ? watchedAudio->unread() : std::nullopt;
            unread && !cancellation().value())
            throw *unread;
        throw;
    }
}

}  // namespace qm
