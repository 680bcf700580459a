// qm-bench render-frame / render-speed / export-project / audio-mix: the editor's picture and
// sound of a project opened as the editor opens it, its media probed as the editor probes them.

#include <QImage>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/output_format.h"
#include "editor/model/audio_mix.h"
#include "editor/model/composition_renderer.h"
#include "editor/model/project_exporter.h"
#include "engine/conversion_settings.h"
#include "engine/output_naming.h"
#include "engine/render_timing.h"
#include "platform/media/pixel_buffer.h"
#include "conversion_options.h"
#include "number_text.h"
#include "registry.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using qm::bench::numberText;
using qm::bench::parseNumberText;

QSize parseSize(const std::string& text) {
    const size_t x = text.find('x');
    if (x == std::string::npos) throw std::invalid_argument("a size is WxH: " + text);
    const double w = parseNumberText(text.substr(0, x)), h = parseNumberText(text.substr(x + 1));
    if (!(w >= 1 && h >= 1 && w <= 16384 && h <= 16384)) throw std::invalid_argument("size out of range: " + text);
    return QSize(int(w), int(h));
}

// The project argument and the options after it, each option with one value unless a flag.
struct Arguments {
    std::string project;
    std::vector<std::pair<std::string, std::string>> options;

    Arguments(const std::vector<std::string>& args, const std::vector<std::string>& flags) {
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a.rfind("--", 0) != 0) {
                if (!project.empty()) throw std::invalid_argument("unexpected argument " + a);
                project = a;
            } else if (std::find(flags.begin(), flags.end(), a) != flags.end()) {
                options.emplace_back(a, "");
            } else {
                if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
                options.emplace_back(a, args[++i]);
            }
        }
        if (project.empty()) throw std::invalid_argument("the project is required");
    }
    std::optional<std::string> get(const std::string& name) const {
        for (const auto& [k, v] : options)
            if (k == name) return v;
        return std::nullopt;
    }
    bool has(const std::string& name) const { return get(name).has_value(); }
};

void checkOptions(const Arguments& a, const std::vector<std::string>& known) {
    for (const auto& [k, v] : a.options)
        if (std::find(known.begin(), known.end(), k) == known.end()) throw std::invalid_argument("unknown option " + k);
}

qm::Project openProject(const std::string& path) { return qm::Project::open(QString::fromStdString(path)); }

// A clip's medium that could not be read, in the words of a command that is no export.
std::runtime_error readFailure(const qm::MediaReadError& e) {
    char at[32];
    std::snprintf(at, sizeof at, "%.2f", e.seconds());
    return std::runtime_error("\u201c" + e.name().toStdString() + "\u201d can't be read at " + at + " s into the file: " + e.reason());
}

// Draws one frame as the exporter does.
void drawFrame(qm::CompositionRenderer& renderer, const qm::Project& project, const qm::MediaInfos& infos, double t,
               qm::PixelBuffer& into, bool preview) {
    const QImage composed = renderer.render(project, infos, t, QSize(into.width(), into.height()), preview);
    qm::CompositionRenderer::draw(composed, into, project.transparentBackground);
}

int renderFrame(const std::vector<std::string>& args) {
    const Arguments a(args, {"--preview"});
    checkOptions(a, {"--time", "--out", "--size", "--preview"});
    if (!a.has("--time") || !a.has("--out")) throw std::invalid_argument("--time and --out are required");
    qm::Project project = openProject(a.project);
    const qm::MediaInfos infos = qm::probeProjectMedia(project);
    const QSize size = a.has("--size") ? parseSize(*a.get("--size")) : QSize(project.width, project.height);
    auto buffer = qm::PixelBuffer::create(size.width(), size.height(), qm::kPixelFormatBGRA);
    if (!buffer) throw std::runtime_error("no memory for the frame");
    qm::CompositionRenderer renderer;
    // A clip whose picture can't be read fails the command in words, never renders without it.
    renderer.setStrict(true);
    const double time = parseNumberText(*a.get("--time"));
    try {
        drawFrame(renderer, project, infos, time, *buffer, a.has("--preview"));
    } catch (const qm::MediaReadError& e) {
        throw readFailure(e);
    }
    // BGRA bytes are QImage's ARGB32 on little-endian machines.
    const QImage view(buffer->data(), buffer->width(), buffer->height(), qsizetype(buffer->bytesPerRow()),
                      project.transparentBackground ? QImage::Format_ARGB32 : QImage::Format_ARGB32_Premultiplied);
    const std::string out = *a.get("--out");
    if (!view.convertToFormat(QImage::Format_RGBA8888).save(QString::fromStdString(out), "PNG"))
        throw std::runtime_error("cannot write " + out);
    std::printf("rendered %dx%d\n", size.width(), size.height());
    return 0;
}

int renderSpeed(const std::vector<std::string>& args) {
    const Arguments a(args, {});
    checkOptions(a, {"--size", "--seconds"});
    qm::Project project = openProject(a.project);
    const qm::MediaInfos infos = qm::probeProjectMedia(project);
    const QSize size = a.has("--size") ? parseSize(*a.get("--size")) : QSize(project.width, project.height);
    const double seconds = a.has("--seconds") ? parseNumberText(*a.get("--seconds")) : project.duration();
    const qm::MediaTime frame = qm::frameDuration(project.frameRate);
    if (!frame.isNumeric()) throw std::invalid_argument("the project's frame rate is unusable");
    const int64_t frames = qm::renderFrameCount(seconds, frame);
    auto pool = qm::makePixelBufferPool(size.width(), size.height(), qm::kPixelFormatBGRA);
    qm::CompositionRenderer renderer;
    renderer.setReadAhead(frame.seconds());  // as the exporter reads
    const auto started = Clock::now();
    for (int64_t i = 0; i < frames; ++i) {
        qm::PixelBufferRef buffer = qm::makePixelBuffer(pool);
        drawFrame(renderer, project, infos, (frame * i).seconds(), *buffer, false);
    }
    const std::chrono::duration<double> elapsed = Clock::now() - started;
    std::printf("frames %lld fps %s\n", static_cast<long long>(frames), numberText(double(frames) / elapsed.count()).c_str());
    return 0;
}

int exportProject(const std::vector<std::string>& args) {
    std::string project;
    std::optional<fs::path> out;
    qm::ConversionSettings settings;
    bool formatGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--out")
            out = qm::bench::optionValue(args, i);
        else if (a == "--no-audio")
            settings.includeAudio = false;
        else if (a == "--size" || !qm::bench::takeConversionOption(args, i, settings, formatGiven)) {
            if (a.rfind("--", 0) == 0 || !project.empty()) throw std::invalid_argument("unexpected argument " + a);
            project = a;
        }
    }
    if (project.empty() || !formatGiven || !out) throw std::invalid_argument("PROJECT, --format and --out are required");
    qm::Project opened = openProject(project);
    qm::MediaInfos infos = qm::probeProjectMedia(opened);
    // There is no one to tell which clips a run without them left out.
    std::string unreadable;
    for (const qm::MediaItem* item : qm::timelineMedia(opened))
        if (!infos.contains(item->id)) unreadable += (unreadable.empty() ? "" : ", ") + item->path.toStdString();
    if (!unreadable.empty()) throw std::runtime_error("these files can't be read, so nothing was exported: " + unreadable);
    // Taken at once, as Convert takes its names, so runs into one folder never share one.
    fs::create_directories(*out);
    qm::ProjectExporter exporter(std::move(opened), std::move(infos), settings,
                                 qm::reserveOutputURL(settings.format, project, *out), {});
    const auto stop = qm::bench::stopSignals().listen([&exporter] { exporter.cancellation().set(); });
    const auto started = Clock::now();
    exporter.exportProject({});
    const std::chrono::duration<double> elapsed = Clock::now() - started;
    std::printf("%s\n", exporter.transcoder().output().string().c_str());
    std::printf("fps %s (%s s)\n", numberText(double(exporter.frameCount()) / elapsed.count()).c_str(),
                numberText(elapsed.count()).c_str());
    return 0;
}

int audioMix(const std::vector<std::string>& args) {
    std::vector<std::string> rest;
    qm::LTCInfos ltc;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--ltc") {
            rest.push_back(args[i]);
            continue;
        }
        if (i + 1 >= args.size()) throw std::invalid_argument("--ltc needs MEDIA-UUID=TRACK:CHANNEL");
        const std::string v = args[++i];
        const size_t eq = v.find('='), colon = v.find(':', eq == std::string::npos ? 0 : eq);
        if (eq == std::string::npos || colon == std::string::npos) throw std::invalid_argument("--ltc " + v + ": MEDIA-UUID=TRACK:CHANNEL");
        const QUuid id = QUuid::fromString(QString::fromStdString(v.substr(0, eq)));
        if (id.isNull()) throw std::invalid_argument("not a UUID: " + v.substr(0, eq));
        qm::LTCInfo info;
        info.track = int64_t(parseNumberText(v.substr(eq + 1, colon - eq - 1)));
        info.channel = int64_t(parseNumberText(v.substr(colon + 1)));
        ltc.insert(id, info);
    }
    const Arguments a(rest, {});
    checkOptions(a, {"--out"});
    if (!a.has("--out")) throw std::invalid_argument("--out is required");
    const qm::Project project = openProject(a.project);
    // Strict: a clip whose sound can't be read fails the command in words, never sounds silent.
    const std::optional<qm::AudioMixPlan> plan = qm::makeAudioMix(project.tracks, project.media, ltc, true);
    if (!plan) {
        std::printf("no audio\n");
        return 0;
    }
    const std::string out = *a.get("--out");
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    if (!file) throw std::runtime_error("cannot write " + out);
    qm::AudioMixReader reader(*plan, 0.0, project.duration());
    reader.setStrict(true);
    long long frames = 0;
    try {
        while (auto buffer = reader.next()) {
            file.write(reinterpret_cast<const char*>(buffer->planes[0].data()), std::streamsize(buffer->planes[0].size()));
            frames += buffer->frameCount;
        }
    } catch (const qm::MediaReadError& e) {
        file.close();
        std::filesystem::remove(out);
        throw readFailure(e);
    }
    if (!file.flush()) throw std::runtime_error("cannot write " + out);
    std::printf("frames %lld\n", frames);
    return 0;
}

const qm::bench::Register frameRegistration{
    "render-frame", "PROJECT --time SECONDS --out PNG [--size WxH] [--preview]", renderFrame};
const qm::bench::Register speedRegistration{"render-speed", "PROJECT [--size WxH] [--seconds S]", renderSpeed};
const qm::bench::Register exportRegistration{
    "export-project", "PROJECT --format F --out FOLDER [--no-audio] [--quality Q]", exportProject};
const qm::bench::Register mixRegistration{"audio-mix", "PROJECT --out FILE [--ltc MEDIA-UUID=TRACK:CHANNEL]...", audioMix};

}  // namespace
