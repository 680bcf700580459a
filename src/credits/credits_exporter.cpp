#include "credits/credits_exporter.h"

#include <cmath>

#include "engine/render_feeder.h"
#include "engine/render_timing.h"

namespace qm {

MediaInfo CreditsExporter::syntheticInfo(const CreditsRenderer& renderer) {
    const CreditsSettings& s = renderer.settings();
    MediaInfo info;
    info.codecType = 0;
    info.codecName = "Credits";
    info.decoder = SourceDecoder::native();
    info.width = int(s.width);
    info.height = int(s.height);
    info.frameRate = s.frameRate;
    const MediaTime frame = frameDuration(s.frameRate);
    const int32_t scale = frame.isNumeric() ? frame.timescale : 600;
    info.duration = MediaTime::make(std::llround(renderer.totalSeconds() * scale), scale);
    info.naturalTimeScale = scale;
    info.hasAudio = false;
    info.hasAlpha = s.background == CreditsSettings::Background::transparent;
    return info;
}

namespace {

ConversionSettings withoutAudio(ConversionSettings settings) {
    settings.includeAudio = false;
    return settings;
}

}  // namespace

CreditsExporter::CreditsExporter(std::shared_ptr<const CreditsRenderer> renderer, ConversionSettings settings,
                                 std::filesystem::path destination)
    : renderer_(std::move(renderer)),
      destination_(settings.format, destination),
      transcoder_(std::make_unique<Transcoder>(destination_.path(), destination_.path(), syntheticInfo(*renderer_),
                                               withoutAudio(settings))) {}

int64_t CreditsExporter::frameCount() const {
    return renderFrameCount(renderer_->totalSeconds(), frameDuration(renderer_->settings().frameRate));
}

void CreditsExporter::exportCredits(const ProgressCallback& progress) {
    const ExportDestination::ReleaseAtEnd release{destination_};
    const CreditsSettings& s = renderer_->settings();
    const MediaTime frame = frameDuration(s.frameRate);
    checkRenderLength(renderer_->totalSeconds());
    auto pool = makePixelBufferPool(int(s.width), int(s.height), kPixelFormatBGRA);
    const CreditsRenderer& renderer = *renderer_;
    RenderFeeder feeder(
        *transcoder_, [&renderer](double seconds, PixelBuffer& into) { renderer.renderFrame(into, seconds); },
        std::move(pool), progress, frame, frameCount(), renderBatchSize(s.width, s.height));
    transcoder_->runRendered(feeder);
}

}  // namespace qm
