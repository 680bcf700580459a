// qm-bench credits-frame / credits-export: one frame (or many, for timing) of a credits roll, or
// one export of it, from a settings file, a strip picture and the two pictures.
#include <QImage>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/output_format.h"
#include "credits/credits_exporter.h"
#include "credits/credits_renderer.h"
#include "credits/logo_keying.h"
#include "engine/conversion_settings.h"
#include "platform/media/pixel_buffer.h"
#include "conversion_options.h"
#include "number_text.h"
#include "registry.h"

namespace {

namespace fs = std::filesystem;

using qm::bench::numberText;
using qm::bench::parseNumberText;

QImage picture(const fs::path& file) {
    const QImage image = qm::loadImageFile(file);
    if (image.isNull()) throw std::runtime_error("cannot read the picture " + file.string());
    return image;
}

// The options both commands share, and the renderer they describe.
struct Roll {
    std::optional<fs::path> settingsFile, strip, head, tail;

    // Takes the option at args[i] if it is one of these; false otherwise.
    bool take(const std::vector<std::string>& args, size_t& i) {
        const std::string& a = args[i];
        std::optional<fs::path>* slot = a == "--settings" ? &settingsFile
                                        : a == "--strip"  ? &strip
                                        : a == "--head"   ? &head
                                        : a == "--tail"   ? &tail
                                                          : nullptr;
        if (!slot) return false;
        *slot = qm::bench::optionValue(args, i);
        return true;
    }

    std::shared_ptr<const qm::CreditsRenderer> renderer() const {
        if (!settingsFile) throw std::invalid_argument("--settings is required");
        const qm::CreditsSettings settings = qm::CreditsSettings::fromJsonText(readText(*settingsFile));
        std::optional<qm::CreditsStrip> band;
        if (strip) band = qm::CreditsStrip::fromPicture(picture(*strip));
        const QImage first = head ? qm::keySlotPicture(picture(*head), settings.head) : QImage();
        const QImage last = tail ? qm::keySlotPicture(picture(*tail), settings.tail) : QImage();
        return std::make_shared<const qm::CreditsRenderer>(settings, first, band, last);
    }

    static std::string readText(const fs::path& file) {
        FILE* f = std::fopen(file.c_str(), "rb");
        if (!f) throw std::runtime_error("cannot read " + file.string());
        std::string text;
        char chunk[65536];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
        std::fclose(f);
        return text;
    }
};

QImage frameImage(const qm::PixelBuffer& buffer) {
    // BGRA bytes are QImage's ARGB32 on little-endian machines; straight alpha.
    QImage view(buffer.data(), buffer.width(), buffer.height(), qsizetype(buffer.bytesPerRow()), QImage::Format_ARGB32);
    return view.convertToFormat(QImage::Format_RGBA8888);
}

int creditsFrame(const std::vector<std::string>& args) {
    Roll roll;
    std::optional<double> time;
    std::optional<fs::path> out;
    bool continuous = false, preview = false;
    int repeat = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (roll.take(args, i)) continue;
        if (a == "--time") time = parseNumberText(qm::bench::optionValue(args, i));
        else if (a == "--out") out = qm::bench::optionValue(args, i);
        else if (a == "--continuous") continuous = true;
        else if (a == "--preview") preview = true;
        else if (a == "--repeat") repeat = int(parseNumberText(qm::bench::optionValue(args, i)));
        else throw std::invalid_argument("unknown option " + a);
    }
    if (!time || !out) throw std::invalid_argument("--settings, --time and --out are required");
    const auto renderer = roll.renderer();
    const auto& r = *renderer;
    std::printf("timing start=%s end=%s step=%s roll=%s head=%s tail=%s length=%s\n", numberText(r.startOffset()).c_str(),
                numberText(r.endOffset()).c_str(), numberText(r.pixelsPerFrame()).c_str(), numberText(r.rollSeconds()).c_str(),
                numberText(r.headHold()).c_str(), numberText(r.tailHold()).c_str(), numberText(r.totalSeconds()).c_str());
    std::printf("offset %s\n", numberText(r.scrollOffset(*time, continuous)).c_str());
    constexpr int kPreviewWidth = 1280, kPreviewHeight = 720;
    const int w = int(r.settings().width), h = int(r.settings().height);
    auto buffer = qm::PixelBuffer::create(w, h, qm::kPixelFormatBGRA);
    if (!buffer) throw std::runtime_error("no memory for the frame");
    QImage image;
    if (preview) {
        image = r.previewImage(continuous, *time, kPreviewWidth, kPreviewHeight);
    } else {
        r.renderFrame(*buffer, *time);
        image = frameImage(*buffer);
    }
    if (!image.save(QString::fromStdString(out->string()), "PNG")) throw std::runtime_error("cannot write " + out->string());
    if (repeat > 0) {
        const auto started = std::chrono::steady_clock::now();
        for (int i = 0; i < repeat; ++i) {
            const double t = r.totalSeconds() * (i + 0.5) / repeat;
            if (preview)
                image = r.previewImage(continuous, t, kPreviewWidth, kPreviewHeight);
            else
                r.renderFrame(*buffer, t);
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
        std::printf("render %s fps\n", numberText(repeat / elapsed.count()).c_str());
    }
    return 0;
}

int creditsExport(const std::vector<std::string>& args) {
    Roll roll;
    std::optional<fs::path> out;
    qm::ConversionSettings settings;
    bool formatGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (roll.take(args, i) || qm::bench::takeConversionOption(args, i, settings, formatGiven)) continue;
        if (a == "--out") out = qm::bench::optionValue(args, i);
        else throw std::invalid_argument("unknown option " + a);
    }
    if (!out || !formatGiven) throw std::invalid_argument("--settings, --format and --out are required");
    qm::CreditsExporter exporter(roll.renderer(), settings, *out);
    const auto stop = qm::bench::stopSignals().listen([&exporter] { exporter.cancellation().set(); });
    const auto started = std::chrono::steady_clock::now();
    exporter.exportCredits({});
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    std::printf("%s\n", exporter.transcoder().output().string().c_str());
    std::printf("frames %lld\n", static_cast<long long>(exporter.frameCount()));
    std::printf("fps %s (%s s)\n", numberText(double(exporter.frameCount()) / elapsed.count()).c_str(), numberText(elapsed.count()).c_str());
    return 0;
}

const qm::bench::Register frameRegistration{
    "credits-frame",
    "--settings S.json [--strip STRIP.png] [--head PIC] [--tail PIC] --time T [--continuous] [--preview] "
    "[--repeat N] --out FRAME.png",
    creditsFrame};

const qm::bench::Register exportRegistration{
    "credits-export",
    "--settings S.json [--strip STRIP.png] [--head PIC] [--tail PIC] --format <OutputFormat raw value> --out DEST "
    "[--quality low|medium|high|maximum] [--size <OutputSize raw value>]",
    creditsExport};

}  // namespace
