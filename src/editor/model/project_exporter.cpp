#include "editor/model/project_exporter.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/conversion_error.h"
#include "engine/render_feeder.h"
#include "engine/render_timing.h"

namespace qm {

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

MediaInfos probeProjectMedia(const Project& project) {
    MediaInfos infos;
    for (const MediaItem& item : project.media) {
        try {
            infos.insert(item.id, MediaInfo::load(item.path.toStdString(), true));
        } catch (...) {
            // A file that does not probe counts as missing.
        }
    }
    return infos;
}

ProjectExporter::ProjectExporter(Project project, MediaInfos infos, ConversionSettings settings,
                                 std::filesystem::path destination, LTCInfos ltc)
    : project_(std::move(project)),
      infos_(std::move(infos)),
      settings_(settings),
      ltc_(std::move(ltc)),
      transcoder_(std::make_unique<Transcoder>(destination, destination, timelineMediaInfo(project_), settings)) {}

int64_t ProjectExporter::frameCount() const {
    return renderFrameCount(project_.duration(), frameDuration(project_.frameRate));
}

std::optional<AudioMixPlan> ProjectExporter::audioPlan() const {
    if (!settings_.includeAudio || isImageSequence(settings_.format)) return std::nullopt;
    return makeAudioMix(project_.tracks, project_.media, ltc_);
}

void ProjectExporter::exportProject(const ProgressCallback& progress) {
    const double d = project_.duration();
    if (!(d > 0)) throw ConversionError::noVideoTrack();
    const double rate = project_.frameRate;
    const MediaTime frame = frameDuration(rate);
    if (!(rate >= 0.1 && rate <= 1000) || !frame.isNumeric())
        throw ConversionError::encodeFailed("the frame rate must lie between 0.1 and 1000 frames per second");
    checkRenderLength(d);
    std::optional<AudioMixReader> audio;
    if (const std::optional<AudioMixPlan> plan = audioPlan()) audio.emplace(*plan, 0.0, d);
    CompositionRenderer renderer;
    renderer.setReadAhead(frame.seconds());
    const bool unpremultiply = project_.transparentBackground;
    auto render = [this, &renderer, unpremultiply](double seconds, PixelBuffer& into) {
        const QImage composed = renderer.render(project_, infos_, seconds, QSize(into.width(), into.height()), false);
        CompositionRenderer::draw(composed, into, unpremultiply);
    };
    auto pool = makePixelBufferPool(project_.width, project_.height, kPixelFormatBGRA);
    RenderFeeder feeder(*transcoder_, render, std::move(pool), progress, frame, frameCount(),
                        renderBatchSize(project_.width, project_.height));
    transcoder_->runRendered(feeder, audio ? &*audio : nullptr);
}

}  // namespace qm
