// qm-bench transcode: one conversion through the same Transcoder and output naming the Convert
// queue uses; prints the output path and the frames per second.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/conversion_settings.h"
#include "engine/media_info.h"
#include "engine/output_naming.h"
#include "engine/transcoder.h"
#include "conversion_options.h"
#include "registry.h"

namespace {

int transcode(const std::vector<std::string>& args) {
    std::optional<std::filesystem::path> source;
    std::optional<std::filesystem::path> folder;
    qm::ConversionSettings settings;
    bool formatGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (qm::bench::takeConversionOption(args, i, settings, formatGiven)) continue;
        if (a == "--out") {
            folder = qm::bench::optionValue(args, i);
        } else if (a == "--no-audio") {
            settings.includeAudio = false;
        } else if (!a.empty() && a[0] == '-') {
            throw std::invalid_argument("unknown option " + a);
        } else if (!source) {
            source = a;
        } else {
            throw std::invalid_argument("more than one source");
        }
    }
    if (!source || !folder || !formatGiven) throw std::invalid_argument("SOURCE, --format and --out are required");
    std::filesystem::create_directories(*folder);
    const qm::MediaInfo info = qm::MediaInfo::load(*source);
    // Taken at once, so two runs into one folder write two files.
    const auto reservation = qm::reserveOutputURL(settings.format, *source, *folder);
    const std::filesystem::path destination = reservation->target();
    const auto started = std::chrono::steady_clock::now();
    double lastFps = 0;
    qm::Transcoder transcoder(*source, destination, info, settings);
    const auto stop = qm::bench::stopSignals().listen([&transcoder] { transcoder.cancellation().set(); });
    transcoder.run([&](const qm::TranscodeProgress& p) { lastFps = p.framesPerSecond; });
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    // Where the output is now: its folder may have been moved during the run.
    // A movie takes the next free name where a file came under its own meanwhile.
    const auto output = qm::isImageSequence(settings.format) ? reservation->currentTarget() : transcoder.output();
    std::printf("%s\n", output.string().c_str());
    std::printf("fps %.2f (%.3f s)\n", lastFps, elapsed.count());
    return 0;
}

const qm::bench::Register registration{
    "transcode",
    "SOURCE --format <OutputFormat raw value> --out FOLDER [--quality low|medium|high|maximum] "
    "[--size <OutputSize raw value>] [--no-audio]",
    transcode};

}  // namespace
