// qm-bench editor-script SCRIPT.json: drives one editor model as a script would, headless and
// without sound, each command awaited (its preview included), and prints the model's state.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <QCoreApplication>

#include <nlohmann/json.hpp>

#include "editor/editor_model.h"
#include "editor_script.h"
#include "editor_script_documents.h"
#include "engine/media_info.h"
#include "number_text.h"
#include "platform/system/user_file.h"
#include "registry.h"

namespace qm::bench {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

double residentMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = std::size_t(std::min<double>(double(values.size() - 1), std::ceil(p * double(values.size())) - 1));
    return values[index];
}

}  // namespace

class EditorScript::Ops {
public:
    Ops(qm::EditorModel& model, Busy busy) : model_(model), busy_(std::move(busy)) {}

    void printState() {
        std::size_t clips = 0;
        for (const auto& t : model_.project().tracks) clips += t.clips.size();
        std::size_t missing = 0;
        for (const auto& m : model_.project().media) missing += model_.isMissing(m.id) ? 1 : 0;
        std::printf("state undo=%zu redo=%zu dirty=%d tracks=%zu clips=%zu media=%zu missing=%zu playhead=%s rss_mb=%s\n",
                    model_.undoCount(), model_.redoCount(), model_.isDirty() ? 1 : 0, model_.project().tracks.size(),
                    clips, model_.project().media.size(), missing, numberText(model_.playhead()).c_str(),
                    numberText(std::round(residentMegabytes() * 10) / 10).c_str());
    }

    // Until the preview and the probes asked for by the last command, and the panel's work, are in.
    void settle() {
        QCoreApplication::processEvents();
        while (model_.isRendering() || model_.isProbing() || (busy_ && busy_()))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        QCoreApplication::processEvents();
    }

    // The import problems a command added, one line each.
    void printNewErrors() {
        const QStringList& errors = model_.importErrors();
        if (errors.size() < printedErrors_) printedErrors_ = 0;
        for (; printedErrors_ < errors.size(); ++printedErrors_)
            std::printf("error %s\n", errors[printedErrors_].toStdString().c_str());
    }

private:
    friend class EditorScript;

    qsizetype printedErrors_ = 0;

    static const json& field(const json& c, const char* name) {
        if (!c.contains(name)) throw ScriptError(std::string("missing \"") + name + "\"");
        return c[name];
    }
    static std::string str(const json& c, const char* name) {
        const json& v = field(c, name);
        if (!v.is_string()) throw ScriptError(std::string("\"") + name + "\" is not a text");
        return v.get<std::string>();
    }
    static double num(const json& v, const char* name) {
        if (!v.is_number()) throw ScriptError(std::string("\"") + name + "\" is not a number");
        return v.get<double>();
    }
    static double num(const json& c, const char* name, int) { return num(field(c, name), name); }
    static std::optional<double> optNum(const json& c, const char* name) {
        if (!c.contains(name) || c[name].is_null()) return std::nullopt;
        return num(c[name], name);
    }
    static long long integer(const json& v, const char* name) {
        if (!v.is_number_integer()) throw ScriptError(std::string("\"") + name + "\" is not a whole number");
        return v.get<long long>();
    }
    static bool flag(const json& v, const char* name) {
        if (!v.is_boolean()) throw ScriptError(std::string("\"") + name + "\" is not true or false");
        return v.get<bool>();
    }

    std::size_t track(const json& c, const char* name = "track") const {
        const long long t = integer(field(c, name), name);
        if (t < 0 || std::size_t(t) >= model_.project().tracks.size())
            throw ScriptError("track " + std::to_string(t) + " does not exist");
        return std::size_t(t);
    }

    std::pair<std::size_t, std::size_t> location(const json& v) const {
        if (!v.is_array() || v.size() != 2) throw ScriptError("\"clip\" is [track, index]");
        const long long t = integer(v[0], "clip"), i = integer(v[1], "clip");
        const auto& tracks = model_.project().tracks;
        if (t < 0 || std::size_t(t) >= tracks.size() || i < 0 || std::size_t(i) >= tracks[std::size_t(t)].clips.size())
            throw ScriptError("no clip at [" + std::to_string(t) + ", " + std::to_string(i) + "]");
        return {std::size_t(t), std::size_t(i)};
    }
    QUuid clipID(const json& c) const {
        const auto [t, i] = location(field(c, "clip"));
        return model_.project().tracks[t].clips[i].id;
    }

    QUuid mediaID(const json& c) const {
        const json& v = field(c, "media");
        const auto& media = model_.project().media;
        if (v.is_number_integer()) {
            const long long i = v.get<long long>();
            if (i < 0 || std::size_t(i) >= media.size()) throw ScriptError("no media " + std::to_string(i));
            return media[std::size_t(i)].id;
        }
        if (!v.is_string()) throw ScriptError("\"media\" is a name or an index");
        const QString name = QString::fromStdString(v.get<std::string>());
        for (const auto& m : media)
            if (m.name == name) return m.id;
        throw ScriptError("no media named " + v.get<std::string>());
    }

    static qm::TransformProperty property(const json& c) {
        const auto p = qm::transformPropertyFromRaw(str(c, "property"));
        if (!p) throw ScriptError("unknown property " + str(c, "property"));
        return *p;
    }

    static qm::TransformValue value(const json& v, qm::TransformProperty p) {
        if (qm::isVectorProperty(p)) {
            if (!v.is_array() || v.size() != 2) throw ScriptError("the value of a point is [x, y]");
            return qm::Vec2{num(v[0], "value"), num(v[1], "value")};
        }
        return num(v, "value");
    }

    void dispatch(const std::string& op, const json& c) {
        qm::EditorModel& m = model_;
        if (op == "media") {
            const std::string path = str(c, "path");
            qm::MediaInfo info;
            try {
                info = qm::MediaInfo::load(path, true);
            } catch (const std::exception& e) {
                throw ScriptError(e.what());
            }
            qm::Project p = m.project();
            qm::MediaItem item(QString::fromStdString(path), info);
            qm::MediaInfos infos = m.infos();
            infos.insert(item.id, info);
            p.media.push_back(std::move(item));
            m.setProject(std::move(p));
            m.setInfos(std::move(infos));
        } else if (op == "addClip") {
            std::optional<std::size_t> t;
            if (c.contains("track") && !c["track"].is_null()) {
                const long long v = integer(c["track"], "track");
                if (v < 0) throw ScriptError("track " + std::to_string(v) + " does not exist");
                t = std::size_t(v);
            }
            m.addClipAtPlayhead(mediaID(c), t, optNum(c, "time"));
        } else if (op == "select") {
            const json& v = field(c, "clip");
            m.setSelectedClipID(v.is_null() ? QUuid() : clipID(c));
        } else if (op == "seek") {
            m.seek(num(c, "time", 0));
        } else if (op == "step") {
            m.stepFrames(int(integer(field(c, "frames"), "frames")));
        } else if (op == "drag") {
            drag(c);
        } else if (op == "split") {
            m.splitAtPlayhead();
        } else if (op == "duplicate") {
            m.duplicateClip();
        } else if (op == "delete") {
            m.deleteSelection();
        } else if (op == "set") {
            const auto p = property(c);
            m.setPropertyValue(p, clipID(c), value(field(c, "value"), p), true);
        } else if (op == "scrub") {
            const auto p = property(c);
            const QUuid id = clipID(c);
            const json& values = field(c, "values");
            if (!values.is_array()) throw ScriptError("\"values\" is a list");
            std::vector<qm::TransformValue> parsed;
            for (const auto& v : values) parsed.push_back(value(v, p));
            m.beginGesture();
            for (const auto& v : parsed) m.setPropertyValue(p, id, v, false);
            m.endGesture();
        } else if (op == "keyframe") {
            m.toggleKeyframeAtPlayhead(clipID(c), property(c));
        } else if (op == "animate") {
            m.toggleStopwatch(property(c), clipID(c));
        } else if (op == "graph") {
            m.showPropertyInGraphEditor(property(c), clipID(c));
        } else if (op == "interpolation") {
            const std::string raw = str(c, "value");
            const auto i = qm::caseFromRaw(qm::allKeyframeInterpolations, raw);
            if (!i) throw ScriptError("unknown interpolation " + raw);
            m.setInterpolation(*i);
        } else if (op == "copyKeyframes") {
            m.copyKeyframes();
        } else if (op == "pasteKeyframes") {
            m.pasteKeyframes();
        } else if (op == "fades") {
            const QUuid id = clipID(c);
            m.setClipFades(id, optNum(c, "in"), optNum(c, "out"), true);
        } else if (op == "volume") {
            const QUuid id = clipID(c);
            m.setClipVolume(id, num(c, "value", 0), true);
        } else if (op == "blend") {
            const QUuid id = clipID(c);
            const auto mode = qm::blendModeFromRaw(str(c, "value"));
            if (!mode) throw ScriptError("unknown blend mode " + str(c, "value"));
            m.setClipBlendMode(id, true, *mode);
        } else if (op == "fit") {
            const QUuid id = clipID(c);
            const auto fit = qm::fitModeFromRaw(str(c, "value"));
            if (!fit) throw ScriptError("unknown fit " + str(c, "value"));
            m.setClipFit(id, true, *fit);
        } else if (op == "effects") {
            effects(c);
        } else if (op == "reset") {
            const QUuid id = clipID(c);
            const std::string section = str(c, "section");
            if (section == "transform")
                m.resetTransform(id);
            else if (section == "keying")
                m.resetKeying(id);
            else if (section == "color")
                m.resetColor(id);
            else
                throw ScriptError("unknown section " + section);
        } else if (op == "projectSize") {
            const long long w = integer(field(c, "width"), "width"), h = integer(field(c, "height"), "height");
            const auto clamp = [](long long v) { return int(std::clamp<long long>(v, -1, 1 << 20)); };
            m.setProjectSize(clamp(w), clamp(h));
        } else if (op == "addTrack") {
            m.addTrack();
        } else if (op == "deleteTrack") {
            m.deleteTrack(track(c));
        } else if (op == "toggleVisibility") {
            m.toggleTrackVisibility(track(c), true);
        } else if (op == "toggleAudio") {
            m.toggleTrackAudio(track(c), true);
        } else if (op == "moveTrack") {
            const std::size_t t = track(c);
            const long long by = integer(field(c, "by"), "by");
            m.moveTrack(t, int(std::clamp<long long>(by, -(1 << 20), 1 << 20)));
        } else if (op == "undo") {
            m.undo();
        } else if (op == "redo") {
            m.redo();
        } else if (op == "write") {
            write(str(c, "path"));
        } else if (op == "render") {
            render(str(c, "path"));
        } else if (op == "bench-seek" || op == "bench-step") {
            benchmark(op, c);
        } else if (op == "state") {
            printState();
        } else {
            const qm::bench::ScriptLookups lookups{[this](const json& v) { return mediaID(v); },
                                                   [this](const json& v) { return clipID(v); }};
            bool handled = false;
            try {
                handled = qm::bench::runDocumentCommand(m, op, c, lookups);
            } catch (const std::invalid_argument& e) {
                throw ScriptError(e.what());
            }
            if (!handled) throw ScriptError("unknown command");
        }
    }

    void drag(const json& c) {
        qm::EditorModel& m = model_;
        const std::string kind = str(c, "kind");
        auto [t, i] = location(field(c, "clip"));
        const QUuid id = m.project().tracks[t].clips[i].id;
        const json& to = field(c, "to");
        if (!to.is_array()) throw ScriptError("\"to\" is a list");
        std::vector<double> values;
        for (const auto& v : to) values.push_back(num(v, "to"));
        std::optional<std::ptrdiff_t> toTrack;
        if (c.contains("toTrack") && !c["toTrack"].is_null()) toTrack = integer(c["toTrack"], "toTrack");
        if (kind != "move" && kind != "trimStart" && kind != "trimEnd") throw ScriptError("unknown drag " + kind);
        m.setSelectedClipID(id);
        m.beginGesture();
        for (double v : values) {
            if (kind == "move") {
                m.moveClipInModel(t, i, std::nullopt, v);
            } else if (kind == "trimStart") {
                m.trimClipStart(id, v);
            } else {
                m.trimClipEnd(id, v);
            }
        }
        if (kind == "move" && toTrack) m.moveClipInModel(t, i, toTrack, m.project().tracks[t].clips[i].start);
        m.endGesture();
    }

    void effects(const json& c) {
        const QUuid id = clipID(c);
        const auto transform = model_.transform(id);
        if (!transform) throw ScriptError("the clip's medium is not in the project");
        qm::ClipEffects e = transform->effects;
        if (c.contains("keyEnabled")) e.keyEnabled = flag(c["keyEnabled"], "keyEnabled");
        if (c.contains("colorEnabled")) e.colorEnabled = flag(c["colorEnabled"], "colorEnabled");
        if (c.contains("showMatte")) e.showMatte = flag(c["showMatte"], "showMatte");
        if (c.contains("keyColor")) {
            const json& k = c["keyColor"];
            if (!k.is_array() || k.size() != 3) throw ScriptError("\"keyColor\" is [r, g, b]");
            e.keyColor = {num(k[0], "keyColor"), num(k[1], "keyColor"), num(k[2], "keyColor")};
            if (!std::isfinite(e.keyColor.r) || !std::isfinite(e.keyColor.g) || !std::isfinite(e.keyColor.b))
                throw ScriptError("\"keyColor\" is not finite");
        }
        model_.setClipEffects(id, e);
    }

    void write(const std::string& path) {
        writeProject(model_, path);
        std::printf("write %s\n", path.c_str());
    }

    void render(const std::string& path) {
        model_.requestRender();
        settle();
        const QImage& image = model_.previewImage();
        if (image.isNull()) throw ScriptError("no preview picture");
        if (!image.save(QString::fromStdString(path), "PNG")) throw ScriptError("cannot write " + path);
        std::printf("render %s %dx%d\n", path.c_str(), image.width(), image.height());
    }

    void benchmark(const std::string& op, const json& c) {
        const long long count = integer(field(c, "count"), "count");
        if (count < 1) throw ScriptError("\"count\" is at least 1");
        std::mt19937_64 random(20261206);
        const double duration = model_.project().duration();
        std::uniform_real_distribution<double> anywhere(0.0, std::max(duration, 0.0));
        std::vector<double> ms;
        for (long long n = 0; n < count; ++n) {
            const auto started = Clock::now();
            if (op == "bench-seek")
                model_.seek(anywhere(random));
            else
                model_.stepFrames(1);
            settle();
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
        }
        std::printf("%s count=%lld p50_ms=%s p95_ms=%s\n", op.c_str(), count, numberText(percentile(ms, 0.5)).c_str(),
                    numberText(percentile(ms, 0.95)).c_str());
    }

    qm::EditorModel& model_;
    Busy busy_;
};

EditorScript::EditorScript(qm::EditorModel& model, PanelOps panelOps, Busy busy)
    : ops_(std::make_unique<Ops>(model, std::move(busy))), panelOps_(std::move(panelOps)) {}

EditorScript::~EditorScript() = default;

void EditorScript::run(const json& command) {
    if (!command.is_object()) throw ScriptError("a command is an object");
    const std::string op = scriptText(command, "op");
    const auto started = Clock::now();
    if (!panelOps_ || !panelOps_(op, command)) ops_->dispatch(op, command);
    settle();
    ops_->printNewErrors();
    if (command.contains("timed") && command["timed"] == true)
        std::printf("time %s %s\n", op.c_str(),
                    numberText(std::chrono::duration<double, std::milli>(Clock::now() - started).count()).c_str());
}

void EditorScript::settle() { ops_->settle(); }

void EditorScript::printState() { ops_->printState(); }

void writeProject(const qm::EditorModel& model, const std::string& path) {
    QByteArray bytes;
    try {
        bytes = model.project().encoded();
    } catch (const std::exception& e) {
        throw ScriptError(e.what());
    }
    // As the editor saves: beside the file, synced, then renamed over it, so that a write cut
    // short leaves the old project whole.
    if (const QString reason = writeUserFile(QString::fromStdString(path), bytes); !reason.isEmpty())
        throw ScriptError("cannot write " + path + " (" + reason.toStdString() + ")");
}

namespace {

int editorScript(const std::vector<std::string>& args) {
    const auto script = readScript("editor-script", args);
    if (!script) return 2;
    int argc = 1;
    char name[] = "qm-bench";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    qm::EditorModel model;
    EditorScript runner(model);
    if (const int status = runScript("editor-script", *script, [&](const json& c) { runner.run(c); })) return status;
    runner.printState();
    return 0;
}

const Register registered(
    "editor-script", "SCRIPT.json   (a JSON list of {\"op\": ...} run on one editor model; commands count from 0)",
    editorScript);

}  // namespace

}  // namespace qm::bench
