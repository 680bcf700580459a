// qm-bench credits-project: drives one credits model headless the way the window does: inputs
// or a project, settings and format, decisions, playback, save, package and export, printing
// what the model shows and how long the steps took. A list read only in part (its damage is
// printed as "warning:" lines) exits with status 3 once every step is done.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPainter>
#include <QTemporaryDir>
#include <QThread>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/output_format.h"
#include "credits/credits_model.h"
#include "platform/system/desktop_services.h"
#include "gui_app.h"
#include "registry.h"

namespace {

constexpr const char* kUsage =
    "INPUT... [--settings JSON] [--format RAW] [--choose ID=TEXT]... [--out DIR] [--save PATH] [--package PATH] "
    "[--strip-png FILE] [--play SECONDS]";

struct StepFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Panels answer with the paths given on the command line.
class AnsweringDesktop : public qm::DesktopServices {
public:
    QStringList runOpenPanel(const qm::OpenPanelRequest&) override {
        return openAnswer.isEmpty() ? QStringList{} : QStringList{openAnswer};
    }
    std::optional<QString> runSavePanel(const qm::SavePanelRequest&) override {
        if (saveAnswer.isEmpty()) return std::nullopt;
        return saveAnswer;
    }
    void revealInFileManager(const QStringList&) override {}
    void playCompletionSound() override {}
    void requestAttention(qm::AttentionRequest) override {}
    QString openAnswer;
    QString saveAnswer;
};

std::string text(const QString& s) { return s.toStdString(); }

std::string number(double v, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
    return buffer;
}

void waitFor(const std::function<bool()>& condition) {
    while (!condition()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    }
}

void runFor(double seconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.nsecsElapsed() < qint64(seconds * 1e9)) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

std::string readArgument(const std::string& value) {
    // A file name, or the JSON itself.
    std::ifstream in(value, std::ios::binary);
    if (!in) return value;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void writeStripPNG(const qm::CreditsStrip& strip, const QString& file) {
    QImage image(int(std::ceil(strip.width)), int(std::ceil(strip.height)), qm::CreditsStrip::kTileFormat);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    for (const auto& tile : strip.tiles) painter.drawImage(0, int(std::lround(tile.top)), tile.image);
    painter.end();
    if (!image.save(file, "PNG")) throw StepFailed("cannot write " + text(file));
}

int run(const std::vector<std::string>& args) {
    std::vector<std::string> inputs;
    std::optional<std::string> settingsJSON, format, out, save, package, stripPNG;
    std::vector<std::pair<int, std::string>> choices;
    std::optional<double> play;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
            return args[++i];
        };
        if (a == "--settings") {
            settingsJSON = readArgument(value());
        } else if (a == "--format") {
            format = value();
        } else if (a == "--choose") {
            const std::string& v = value();
            const size_t eq = v.find('=');
            int id = 0;
            if (eq == std::string::npos || std::from_chars(v.data(), v.data() + eq, id).ptr != v.data() + eq) {
                throw std::invalid_argument("--choose needs ID=TEXT");
            }
            choices.emplace_back(id, v.substr(eq + 1));
        } else if (a == "--out") {
            out = value();
        } else if (a == "--save") {
            save = value();
        } else if (a == "--package") {
            package = value();
        } else if (a == "--strip-png") {
            stripPNG = value();
        } else if (a == "--play") {
            play = std::stod(value());
        } else if (a.rfind("--", 0) == 0) {
            throw std::invalid_argument("unknown option " + a);
        } else {
            inputs.push_back(a);
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: qm-bench credits-project %s\n", kUsage);
        return 2;
    }

    qm::bench::ensureGuiApplication();

    QTemporaryDir storeDir;
    AnsweringDesktop desktop;
    qm::CreditsModel::Environment environment;
    environment.desktop = &desktop;
    environment.store = qm::SettingsStore(storeDir.filePath(QStringLiteral("settings.ini")));
    qm::CreditsModel model(std::move(environment));

    std::vector<QString> messages;
    QObject::connect(&model, &qm::CreditsModel::errorMessageChanged, [&] {
        if (model.errorMessage()) messages.push_back(*model.errorMessage());
    });
    QObject::connect(&model, &qm::CreditsModel::projectMessageChanged, [&] {
        if (model.projectMessage()) messages.push_back(*model.projectMessage());
    });
    const auto flushMessages = [&] {
        for (const QString& m : messages) std::printf("message: %s\n", text(m).c_str());
        messages.clear();
    };
    const auto settle = [&] {
        // The strip (when a list is in), then the still render its renderer asked for.
        waitFor([&] { return !model.isBuildingStrip(); });
        waitFor([&] { return !model.isRenderingPreview(); });
    };

    try {
        // --- Inputs, settings, format ---
        QElapsedTimer clock;
        clock.start();
        QStringList files;
        for (const std::string& input : inputs) {
            const QString path = QFileInfo(QString::fromStdString(input)).absoluteFilePath();
            const QFileInfo info(path);
            const bool project = info.suffix().toLower() == QLatin1String("qmcredits") ||
                                 (info.fileName() == QLatin1String("project.json") &&
                                  info.dir().dirName().endsWith(QLatin1String(".qmcredits"), Qt::CaseInsensitive));
            if (project) {
                model.openProject(path);
                if (model.projectURL().isEmpty()) throw StepFailed(text(model.errorMessage().value_or("cannot open the project")));
            } else {
                files.append(path);
            }
        }
        if (!files.isEmpty()) model.openFile(files, qm::CreditsModel::Slot::automatic);
        if (settingsJSON) model.setSettings(qm::CreditsSettings::fromJsonText(*settingsJSON));
        if (format) {
            const auto parsed = qm::outputFormatFromRawValue(*format);
            if (!parsed) throw std::invalid_argument("unknown format " + *format);
            qm::ConversionSettings output = model.output();
            output.format = *parsed;
            model.setOutput(output);
        }
        const bool hadDocument = !model.documentURL().isEmpty();
        settle();
        const double firstPreview = clock.nsecsElapsed() / 1e6;
        if (hadDocument && !model.strip()) throw StepFailed(text(model.errorMessage().value_or("the strip was not built")));

        for (const auto& [id, option] : choices) {
            const qm::ChineseConverter::Choice* found = nullptr;
            if (model.strip()) {
                for (const auto& c : model.strip()->choices) {
                    if (c.id == id) found = &c;
                }
            }
            if (!found) throw StepFailed("no choice " + std::to_string(id));
            model.choose(option, qm::ChineseConverter::Choice(*found), false);
            settle();
        }

        // --- What the model shows ---
        const auto slot = [](const char* label, const QString& path) {
            std::printf("%s: %s\n", label, path.isEmpty() ? "none" : text(path).c_str());
        };
        slot("head", model.headURL());
        slot("tail", model.tailURL());
        slot("document", model.documentURL());
        if (const auto& strip = model.strip()) {
            std::printf("strip: %s x %s px, %zu choices, %zu uncertain\n", number(strip->width, 0).c_str(),
                        number(strip->height, 0).c_str(), strip->choices.size(), model.uncertainChoices().size());
            for (const auto& c : strip->choices) {
                std::string options;
                for (const auto& o : c.options) options += (options.empty() ? "" : "|") + o;
                std::printf("choice: %d %s %s %s %s\n", c.id, c.source.c_str(), c.result.c_str(), options.c_str(),
                            c.byPhrase ? "phrase" : "guess");
            }
            for (const auto& warning : strip->warnings) std::printf("warning: %s\n", warning.c_str());
            if (stripPNG) writeStripPNG(*strip, QString::fromStdString(*stripPNG));
        } else {
            std::printf("strip: none\n");
            if (stripPNG) throw StepFailed("no strip to write");
        }
        std::printf("first-preview: %s ms\n", number(firstPreview, 1).c_str());
        const auto& renderer = *model.renderer();
        std::printf("length: %s s, roll %s s, %s px/frame\n", number(renderer.totalSeconds(), 3).c_str(),
                    number(renderer.rollSeconds(), 3).c_str(), number(renderer.pixelsPerFrame(), 3).c_str());

        // --- Playback ---
        if (play) {
            int frames = 0;
            const auto counter = QObject::connect(&model, &qm::CreditsModel::playheadChanged, [&] {
                if (model.isPlaying()) ++frames;
            });
            QElapsedTimer played;
            model.seek(0);
            model.play();
            played.start();
            while (model.isPlaying() && played.nsecsElapsed() < qint64(*play * 1e9)) runFor(0.005);
            model.pause();
            QObject::disconnect(counter);
            std::printf("playback: %d frames in %s s\n", frames, number(played.nsecsElapsed() / 1e9, 3).c_str());
        }

        // --- Save and package ---
        if (save) {
            desktop.saveAnswer = QFileInfo(QString::fromStdString(*save)).absoluteFilePath();
            model.saveProject(true);
            if (model.projectURL() != QDir::cleanPath(desktop.saveAnswer)) {
                throw StepFailed(text(model.errorMessage().value_or("the project was not saved")));
            }
            std::printf("project: %s\n", text(model.projectURL()).c_str());
        }
        if (package) {
            desktop.saveAnswer = QFileInfo(QString::fromStdString(*package)).absoluteFilePath();
            model.packageProject();
            if (model.lastPackageURL() != QDir::cleanPath(desktop.saveAnswer)) {
                throw StepFailed(text(model.errorMessage().value_or("nothing to package")));
            }
            std::printf("package: %s\n", text(model.lastPackageURL()).c_str());
        }

        // --- Export ---
        if (out) {
            const QString folder = QFileInfo(QString::fromStdString(*out)).absoluteFilePath();
            if (!QDir().mkpath(folder)) throw StepFailed("cannot create " + *out);
            QString destination = QDir(folder).filePath(model.exportName());
            const qm::OutputFormat f = model.output().format;
            if (!qm::isImageSequence(f)) {
                destination += f == qm::OutputFormat::h264 || f == qm::OutputFormat::hevc ? QStringLiteral(".mp4")
                                                                                           : QStringLiteral(".mov");
            }
            QElapsedTimer exported;
            exported.start();
            model.startExport(destination);
            if (!model.exporter()) throw StepFailed(text(model.exportError().value_or("the export did not start")));
            const int64_t frames = model.exporter()->frameCount();
            const double videoSeconds = model.exporter()->renderer().totalSeconds();
            waitFor([&] { return !model.isExporting(); });
            const double seconds = exported.nsecsElapsed() / 1e9;
            if (model.exportError()) throw StepFailed(text(*model.exportError()));
            std::printf("output: %s\n", text(model.exportResult()).c_str());
            std::printf("export: %lld frames in %s s, %s× real time\n", static_cast<long long>(frames),
                        number(seconds, 3).c_str(), number(videoSeconds / seconds, 2).c_str());
        }
        flushMessages();
        return model.strip() && !model.strip()->warnings.empty() ? 3 : 0;
    } catch (const StepFailed& e) {
        flushMessages();
        std::printf("error: %s\n", e.what());
        return 1;
    }
}

const qm::bench::Register reg("credits-project", kUsage, run);

}  // namespace
