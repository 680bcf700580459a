// editor-script's document commands: new, open, import, save, package, export, relink,
// removeMedia, pick and play.

#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <thread>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFuture>

#include "editor/editor_model.h"
#include "editor_script_documents.h"
#include "number_text.h"
#include "platform/system/desktop_services.h"
#include "registry.h"

namespace qm::bench {

namespace {

using nlohmann::json;

// The answer a script gives to the one save panel its command shows.
class AnsweringDesktop final : public DesktopServices {
public:
    explicit AnsweringDesktop(std::optional<QString> answer) : answer_(std::move(answer)) {}
    QStringList runOpenPanel(const OpenPanelRequest&) override { return {}; }
    std::optional<QString> runSavePanel(const SavePanelRequest&) override { return std::exchange(answer_, std::nullopt); }
    void revealInFileManager(const QStringList&) override {}
    void playCompletionSound() override {}
    void requestAttention(AttentionRequest) override {}

private:
    std::optional<QString> answer_;
};

void await(const QFuture<void>& future) {
    while (!future.isFinished()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
}

std::string text(const json& c, const char* name) {
    if (!c.contains(name) || !c[name].is_string()) throw std::invalid_argument(std::string("\"") + name + "\" is a text");
    return c[name].get<std::string>();
}
QString qtext(const json& c, const char* name) { return QString::fromStdString(text(c, name)); }
double number(const json& c, const char* name) {
    if (!c.contains(name) || !c[name].is_number()) throw std::invalid_argument(std::string("\"") + name + "\" is a number");
    return c[name].get<double>();
}

ConversionSettings exportSettings(const json& c) {
    ConversionSettings settings;
    const auto format = outputFormatFromRawValue(text(c, "format"));
    if (!format) throw std::invalid_argument("unknown format " + text(c, "format"));
    settings.format = *format;
    if (c.contains("quality")) {
        const auto quality = deliveryQualityFromRawValue(text(c, "quality"));
        if (!quality) throw std::invalid_argument("unknown quality " + text(c, "quality"));
        settings.deliveryQuality = *quality;
    }
    if (c.contains("size")) {
        const auto size = outputSizeFromRawValue(text(c, "size"));
        if (!size) throw std::invalid_argument("unknown size " + text(c, "size"));
        settings.outputSize = *size;
    }
    if (c.contains("noAudio")) {
        if (!c["noAudio"].is_boolean()) throw std::invalid_argument("\"noAudio\" is true or false");
        settings.includeAudio = !c["noAudio"].get<bool>();
    }
    return settings;
}

void play(EditorModel& m, const json& c) {
    const std::optional<double> seconds = c.contains("seconds") ? std::optional(number(c, "seconds")) : std::nullopt;
    QElapsedTimer clock;
    clock.start();
    m.play();
    while (m.isPlaying()) {
        if (seconds && double(clock.nsecsElapsed()) / 1e9 >= *seconds) {
            m.pause();
            break;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    const double elapsed = double(clock.nsecsElapsed()) / 1e9;
    std::printf("play frames=%d fps=%s playhead=%s\n", m.playbackFrames(),
                numberText(elapsed > 0 ? std::round(m.playbackFrames() / elapsed * 100) / 100 : 0).c_str(),
                numberText(m.playhead()).c_str());
}

}  // namespace

bool runDocumentCommand(EditorModel& m, const std::string& op, const json& c, const ScriptLookups& lookups) {
    if (op == "new") {
        m.newProject();
    } else if (op == "open") {
        // With "timed", also when the first picture of the opened project arrived.
        QElapsedTimer clock;
        clock.start();
        std::optional<double> firstPicture;
        const auto watch = QObject::connect(&m, &EditorModel::previewImageChanged, [&] {
            if (!firstPicture && !m.previewImage().isNull()) firstPicture = double(clock.nsecsElapsed()) / 1e6;
        });
        await(m.openProject(qtext(c, "path")));
        while (!firstPicture && (m.isRendering() || m.isProbing()))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        QObject::disconnect(watch);
        if (c.contains("timed") && c["timed"] == true && firstPicture)
            std::printf("time open-first-preview %s\n", numberText(*firstPicture).c_str());
    } else if (op == "import") {
        if (!c.contains("paths") || !c["paths"].is_array()) throw std::invalid_argument("\"paths\" is a list");
        QStringList paths;
        for (const json& p : c["paths"]) {
            if (!p.is_string()) throw std::invalid_argument("\"paths\" holds texts");
            paths.append(QString::fromStdString(p.get<std::string>()));
        }
        await(m.importFiles(paths));
    } else if (op == "save") {
        const bool as = c.contains("as") && c["as"].is_boolean() && c["as"].get<bool>();
        AnsweringDesktop answering(c.contains("path") ? std::optional(qtext(c, "path")) : std::nullopt);
        setDesktopServices(&answering);
        const bool saved = m.saveProject(as);
        setDesktopServices(nullptr);
        if (saved) std::printf("save %s\n", m.projectURL().toStdString().c_str());
    } else if (op == "package") {
        const auto before = m.packageResult();
        await(m.packageProject(qtext(c, "path")));
        if (m.packageResult() && m.packageResult() != before)
            std::printf("package %s missing=%lld\n", m.packageResult()->url.toStdString().c_str(),
                        (long long)m.packageResult()->missing.size());
    } else if (op == "export") {
        // Stopped by a signal, the export is cancelled as its sheet's Cancel does.
        const auto stop = stopSignals().listen(
            [&m] { QMetaObject::invokeMethod(&m, [&m] { m.cancelExport(); }, Qt::QueuedConnection); });
        await(m.startExport(exportSettings(c), qtext(c, "path")));
        if (m.exportResult())
            std::printf("export %s\n", m.exportResult()->toStdString().c_str());
        else if (m.exportError())
            std::printf("export-error %s\n", m.exportError()->toStdString().c_str());
        else
            std::printf("export-cancelled\n");
    } else if (op == "relink") {
        await(m.relink(lookups.media(c), qtext(c, "path")));
    } else if (op == "removeMedia") {
        m.removeMedia(lookups.media(c));
    } else if (op == "pick") {
        const QUuid clip = lookups.clip(c);
        m.setSelectedClipID(clip);
        const auto before = m.undoCount();
        await(m.pickKeyColor(QPointF(number(c, "x"), number(c, "y"))));
        const auto t = m.transform(clip);
        if (m.undoCount() != before && t)
            std::printf("pick %s %s %s\n", numberText(t->effects.keyColor.r).c_str(),
                        numberText(t->effects.keyColor.g).c_str(), numberText(t->effects.keyColor.b).c_str());
        else
            std::printf("pick none\n");
    } else if (op == "play") {
        play(m, c);
    } else {
        return false;
    }
    return true;
}

}  // namespace qm::bench
