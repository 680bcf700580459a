// qm-bench ltc, align, waveform and sync: LTC reading of one file, one sound comparison of two
// files as the editor's sync run makes it, the analysis of a file without picture, and a whole
// sync run of a headless editor model; `key: value` lines.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <QCoreApplication>

#include "editor/editor_model.h"
#include "editor/sync/ltc_scan.h"
#include "engine/media_info.h"
#include "editor/sync/clip_sync.h"
#include "editor/sync/media_analysis.h"
#include "platform/media/asset_reader.h"
#include "platform/media/media_asset.h"
#include "registry.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double parseNumber(const std::string& text, const std::string& option) {
    if (text == "inf") return std::numeric_limits<double>::infinity();
    size_t used = 0;
    const double value = std::stod(text, &used);
    if (used != text.size() || std::isnan(value)) throw std::invalid_argument(option + ": not a number: " + text);
    return value;
}

int ltc(const std::vector<std::string>& args) {
    std::filesystem::path file;
    int64_t minFrames = 300;
    double maxSeconds = 120;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--min-frames" || a == "--max-seconds") {
            if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
            const double value = parseNumber(args[++i], a);
            if (a == "--max-seconds")
                maxSeconds = value;
            else
                minFrames = std::isfinite(value) ? int64_t(value) : std::numeric_limits<int64_t>::max();
        } else if (!a.empty() && a[0] == '-') {
            throw std::invalid_argument("unknown option " + a);
        } else if (file.empty()) {
            file = a;
        } else {
            throw std::invalid_argument("more than one file");
        }
    }
    if (file.empty()) throw std::invalid_argument("FILE is required");
    const auto started = Clock::now();
    try {
        const auto info = qm::readLTC(file, minFrames, maxSeconds);
        std::printf("ltc: %s\n", info ? "found" : "none");
        if (info) {
            std::printf("track: %lld\nchannel: %lld\nnominal_rate: %lld\ndrop_frame: %s\n", (long long)info->track,
                        (long long)info->channel, (long long)info->nominalRate, info->dropFrame ? "true" : "false");
            std::printf("measured_rate: %.6f\nstart_frame: %.4f\nframes_decoded: %lld\nrate_text: %s\n", info->measuredRate,
                        info->startFrame, (long long)info->framesDecoded, info->rateText().c_str());
            const auto timecode = qm::ltcTimecodeAt(*info, 0);
            std::printf("timecode: %s\n", timecode ? timecode->displayText().c_str() : "none");
        }
    } catch (const std::exception& e) {
        std::printf("ltc: none\nerror: %s\n", e.what());
    }
    std::printf("seconds: %.3f\n", secondsSince(started));
    return 0;
}

// The LTC channel of a file as the analysis finds it, to be left out of its sound.
std::optional<qm::AudioAligner::ChannelRef> ltcChannel(const std::filesystem::path& file) {
    try {
        if (const auto info = qm::readLTC(file, 300, 120)) return qm::AudioAligner::ChannelRef{info->track, info->channel};
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

const char* outcomeName(qm::SyncReport::Outcome::Kind kind) {
    using K = qm::SyncReport::Outcome::Kind;
    switch (kind) {
    case K::differentSpeed: return "differentSpeed";
    case K::timecode: return "timecode";
    case K::sound: return "sound";
    case K::noSound: return "noSound";
    case K::noMatch: return "noMatch";
    case K::partial: return "partial";
    }
    return "none";
}

const char* verdictName(const std::optional<qm::AudioAligner::Consistency>& c) {
    if (!c) return "none";
    using K = qm::AudioAligner::Consistency::Kind;
    switch (c->kind) {
    case K::consistent: return "consistent";
    case K::drifting: return "drifting";
    case K::tooShort: return "tooShort";
    case K::unconfirmed: return "unconfirmed";
    }
    return "none";
}

int align(const std::vector<std::string>& args) {
    if (args.size() != 2) throw std::invalid_argument("REFERENCE and OTHER are required");
    const std::filesystem::path reference = args[0], other = args[1];
    const auto started = Clock::now();
    const double duration = qm::MediaAsset::open(reference)->duration().seconds();
    const double rate = qm::syncAnalysisRate(std::isfinite(duration) ? duration : 0);
    const bool sound = !qm::AudioSampleReader::probeTracks(reference).empty() && !qm::AudioSampleReader::probeTracks(other).empty();
    qm::SoundMatch match;
    if (sound) match = qm::matchSound(std::nullopt, reference, ltcChannel(reference), other, ltcChannel(other), rate);
    const qm::SyncReport::Outcome outcome = sound ? qm::soundOutcome(match) : qm::SyncReport::Outcome::noSound();
    if (match.offset)
        std::printf("offset: %.6f\n", *match.offset);
    else
        std::printf("offset: none\n");
    if (match.score)
        std::printf("score: %.2f\n", *match.score);
    else
        std::printf("score: none\n");
    std::printf("verdict: %s\n", verdictName(match.consistency));
    if (match.consistency && match.consistency->kind == qm::AudioAligner::Consistency::Kind::drifting)
        std::printf("spread: %.6f\nspeed_change: %.4f\n", match.consistency->spread, match.consistency->speedChange);
    std::printf("outcome: %s\nrate: %.0f\nseconds: %.3f\n", outcomeName(outcome.kind), rate, secondsSince(started));
    return 0;
}

int waveform(const std::vector<std::string>& args) {
    if (args.size() != 1) throw std::invalid_argument("FILE is required");
    const auto started = Clock::now();
    const auto peaks = qm::analyzeMedia(args[0], true).waveform;
    std::printf("peaks: %s\n", peaks ? std::to_string(peaks->size()).c_str() : "none");
    std::printf("seconds: %.3f\n", secondsSince(started));
    return 0;
}

// Each file imported and placed at 0 s on its own track, in order; then the first is the
// reference of one sync run.
int sync(const std::vector<std::string>& args) {
    if (args.size() < 2) throw std::invalid_argument("REFERENCE and at least one FILE are required");
    int argc = 1;
    char name[] = "qm-bench";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    qm::EditorModel::Environment environment;
    environment.render = [](const qm::Project&, const qm::MediaInfos&, double) { return QImage(); };
    qm::EditorModel model(environment);
    std::vector<QUuid> media;
    for (const std::string& file : args) {
        qm::MediaInfo info;
        try {
            info = qm::MediaInfo::load(file, true);
        } catch (const std::exception& e) {
            throw std::runtime_error(file + ": " + e.what());
        }
        qm::MediaItem item(QString::fromStdString(file), info);
        qm::Project project = model.project();
        // A file given twice is imported once, as the editor's import does.
        const bool known = std::any_of(project.media.begin(), project.media.end(),
                                       [&](const qm::MediaItem& m) { return m.path == item.path; });
        if (known) continue;
        media.push_back(item.id);
        project.media.push_back(item);
        model.setProject(std::move(project));
        qm::MediaInfos infos = model.infos();
        infos.insert(item.id, info);
        model.setInfos(std::move(infos));
        model.enqueueAnalysis(item.id);
    }
    for (std::size_t i = 1; i < media.size(); ++i) model.addTrack();
    std::vector<QUuid> clips;
    for (std::size_t i = 0; i < media.size(); ++i) {
        model.addClipAtPlayhead(media[i], i, 0.0);
        clips.push_back(model.selectedClipID());
    }
    model.syncClips(clips[0]);
    while (model.syncStatus()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    const qm::Project& project = model.project();
    auto origin = [&](const QUuid& clip) {
        const auto at = project.clipLocation(clip);
        const qm::Clip& c = project.tracks[at->track].clips[at->clip];
        return c.start - c.sourceIn;
    };
    const qm::SyncReport& report = *model.syncReport();
    std::printf("reference: %s\n", report.referenceName.toStdString().c_str());
    // The entries follow the timeline: the files after the reference, in order.
    for (std::size_t k = 0; k < report.entries.size(); ++k) {
        const qm::SyncReport::Entry& entry = report.entries[k];
        std::printf("entry: %s\noutcome: %s\n", entry.name.toStdString().c_str(), outcomeName(entry.outcome.kind));
        if (entry.outcome.kind == qm::SyncReport::Outcome::Kind::differentSpeed)
            std::printf("percent: %.4f\n", entry.outcome.percent);
        const bool placed = entry.outcome.kind == qm::SyncReport::Outcome::Kind::timecode ||
                            entry.outcome.kind == qm::SyncReport::Outcome::Kind::sound;
        if (placed && k + 1 < clips.size())
            std::printf("offset: %.6f\n", origin(clips[k + 1]) - origin(clips[0]));
        else
            std::printf("offset: none\n");
    }
    std::printf("synced: %d of %zu\n", report.syncedCount(), report.entries.size());
    return 0;
}

const qm::bench::Register ltcRegistration{"ltc", "FILE [--min-frames N] [--max-seconds S|inf]", ltc};
const qm::bench::Register alignRegistration{"align", "REFERENCE OTHER", align};
const qm::bench::Register waveformRegistration{"waveform", "FILE", waveform};
const qm::bench::Register syncRegistration{"sync", "REFERENCE FILE...", sync};

}  // namespace
