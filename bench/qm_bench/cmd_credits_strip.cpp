// qm-bench credits-strip: builds the strip of a credits list (Word or PDF) as the credits mode
// does, prints its geometry and choices, and writes it as one PNG (not with --out -); --repeat N
// times N more builds. What of the list could not be read is told on stderr, and the exit status is
// then 3: the strip was made, from part of the list.

#include <QImage>
#include <QPainter>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "credits/strip_builder.h"
#include "gui_app.h"
#include "number_text.h"
#include "registry.h"

namespace {

constexpr const char* kUsage =
    "DOCUMENT --settings S.json --out STRIP.png|- [--overrides O.json] [--repeat N]   build a credits strip";

using qm::bench::numberText;

// The exit status of a strip made from part of a damaged list.
constexpr int kReadInPart = 3;

std::string readText(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

qm::ChineseConverter::Overrides readOverrides(const std::string& file) {
    qm::ChineseConverter::Overrides overrides;
    const auto json = nlohmann::json::parse(readText(file));
    if (!json.is_object()) throw std::runtime_error("the overrides are not a JSON object");
    for (const auto& [key, value] : json.items()) overrides[std::stoi(key)] = value.get<std::string>();
    return overrides;
}

// The whole strip as one straight-alpha RGBA picture, each tile at its top.
QImage stripPicture(const qm::CreditsStrip& strip) {
    QImage canvas(static_cast<int>(std::ceil(strip.width)), static_cast<int>(std::ceil(strip.height)),
                  QImage::Format_ARGB32_Premultiplied);
    if (canvas.isNull()) throw std::runtime_error("the strip is too large for one picture");
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    for (const auto& tile : strip.tiles) painter.drawImage(QPoint(0, static_cast<int>(std::round(tile.top))), tile.image);
    painter.end();
    return canvas.convertToFormat(QImage::Format_RGBA8888);
}

int creditsStrip(const std::vector<std::string>& args) {
    std::string document, settingsFile, out, overridesFile;
    int repeat = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == "--settings" && hasValue)
            settingsFile = args[++i];
        else if (args[i] == "--out" && hasValue)
            out = args[++i];
        else if (args[i] == "--overrides" && hasValue)
            overridesFile = args[++i];
        else if (args[i] == "--repeat" && hasValue)
            repeat = std::stoi(args[++i]);
        else
            document = args[i];
    }
    if (document.empty() || settingsFile.empty() || out.empty()) {
        std::fprintf(stderr, "usage: qm-bench credits-strip %s\n", kUsage);
        return 2;
    }

    // Text is laid out through Qt's font system, which needs an application but no display. Qt's
    // own notes (a missing runtime folder and the like) would mix with the command's output.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(message));
    });
    qm::bench::ensureGuiApplication();

    qm::CreditsStrip strip;
    try {
        const qm::CreditsSettings settings = qm::CreditsSettings::fromJsonText(readText(settingsFile));
        const qm::ChineseConverter::Overrides overrides =
            overridesFile.empty() ? qm::ChineseConverter::Overrides{} : readOverrides(overridesFile);
        strip = qm::buildStrip(document, settings, overrides);

        std::printf("strip width=%s height=%s tiles=%zu choices=%zu\n", numberText(strip.width).c_str(),
                    numberText(strip.height).c_str(), strip.tiles.size(), strip.choices.size());
        for (const auto& tile : strip.tiles)
            if (out != "-") std::printf("tile top=%s size=%dx%d\n", numberText(tile.top).c_str(), tile.image.width(), tile.image.height());
        for (const auto& choice : strip.choices) {
            std::string options;
            for (const auto& option : choice.options) options += (options.empty() ? "" : "|") + option;
            std::printf("choice id=%d source=%s result=%s options=%s\n", choice.id, choice.source.c_str(),
                        choice.result.c_str(), options.c_str());
        }
        if (out != "-" && !strip.tiles.empty() && !stripPicture(strip).save(QString::fromStdString(out), "PNG"))
            throw std::runtime_error("cannot write " + out);
        for (const auto& warning : strip.warnings) std::fprintf(stderr, "warning: %s\n", warning.c_str());

        if (repeat > 0) {
            double best = INFINITY;
            for (int i = 0; i < repeat; ++i) {
                const auto start = std::chrono::steady_clock::now();
                const qm::CreditsStrip again = qm::buildStrip(document, settings, overrides);
                best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
                if (again.tiles.size() != strip.tiles.size()) throw std::runtime_error("builds differ");
            }
            std::printf("build %.1f ms\n", best);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return strip.warnings.empty() ? 0 : kReadInPart;
}

const qm::bench::Register registration{"credits-strip", kUsage, creditsStrip};

}  // namespace
