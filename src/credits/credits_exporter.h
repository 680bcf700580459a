#pragma once
// Writes a credits roll as a movie or an image sequence through the shared transcoder: a
// synthetic source description, and a render feeder that draws every frame with the renderer.

#include <filesystem>
#include <memory>

#include "credits/credits_renderer.h"
#include "engine/conversion_settings.h"
#include "engine/media_info.h"
#include "engine/output_naming.h"
#include "engine/transcode_sync.h"
#include "engine/transcoder.h"

namespace qm {

class CreditsExporter {
public:
    // Audio is never written: the settings' includeAudio is turned off. For an image-sequence
    // format the destination is the folder the frame files are named from; when something is
    // there already, the next free name (ExportDestination), which transcoder().destination() gives.
    // Throws ConversionError::writerFailed when no name can be taken.
    CreditsExporter(std::shared_ptr<const CreditsRenderer> renderer, ConversionSettings settings,
                    std::filesystem::path destination);

    // Renders and writes every frame; blocks until the output is complete. Throws what the
    // transcoder throws (ConversionError::cancelled after cancellation()).
    void exportCredits(const ProgressCallback& progress);

    // Stops a running export between batches.
    CancellationFlag& cancellation() const { return transcoder_->cancellation(); }
    const Transcoder& transcoder() const { return *transcoder_; }
    const CreditsRenderer& renderer() const { return *renderer_; }

    // Frames of the export: the holds and the roll at the frame duration of the rate, a partial
    // last frame included, at least one.
    int64_t frameCount() const;

    // What the transcoder is told about the (absent) source.
    static MediaInfo syntheticInfo(const CreditsRenderer& renderer);

private:
    std::shared_ptr<const CreditsRenderer> renderer_;
    ExportDestination destination_;  // outlives the transcoder
    std::unique_ptr<Transcoder> transcoder_;
};

}  // namespace qm
