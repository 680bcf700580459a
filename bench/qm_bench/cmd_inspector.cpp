// qm-bench inspector-script SCRIPT.json: the inspector panel on one editor model, offscreen, 330
// wide and tall enough not to scroll, driven by real input events on its named controls; prints
// what it is asked to show and the model's state at the end.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <nlohmann/json.hpp>

#include "editor/editor_model.h"
#include "editor/views/inspector/clip_inspector.h"
#include "editor/views/inspector/curve_editor.h"
#include "editor/views/inspector/effect_sections.h"
#include "editor/views/inspector/inspector_view.h"
#include "editor/views/inspector/scrub_field.h"
#include "editor/views/inspector/slider_row.h"
#include "editor/views/inspector/transform_property_row.h"
#include "engine/media_info.h"
#include "platform/desktop/icons.h"
#include "registry.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

struct ScriptError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const json& field(const json& c, const char* name) {
    if (!c.contains(name)) throw ScriptError(std::string("missing \"") + name + "\"");
    return c[name];
}
std::string text(const json& c, const char* name) {
    const json& v = field(c, name);
    if (!v.is_string()) throw ScriptError(std::string("\"") + name + "\" is not a text");
    return v.get<std::string>();
}
double number(const json& v, const char* name) {
    if (!v.is_number()) throw ScriptError(std::string("\"") + name + "\" is not a number");
    return v.get<double>();
}
QPointF point(const json& v, const char* name) {
    if (!v.is_array() || v.size() != 2) throw ScriptError(std::string("\"") + name + "\" is [x, y]");
    return {number(v[0], name), number(v[1], name)};
}

Qt::KeyboardModifiers modifiers(const std::string& name) {
    if (name.empty()) return Qt::NoModifier;
    if (name == "shift") return Qt::ShiftModifier;
    if (name == "alt") return Qt::AltModifier;
    if (name == "shift+alt") return Qt::ShiftModifier | Qt::AltModifier;
    throw ScriptError("unknown modifiers " + name);
}

// A symbol or toggle button is on when it shows its active state.
bool isOn(const QWidget* w) {
    if (const auto* box = qobject_cast<const QCheckBox*>(w)) return box->isChecked();
    if (w->property("qmActive").isValid()) return w->property("qmActive").toBool();
    return w->property("qmIcon").toString().endsWith(QLatin1Char('+'));
}

class Panel {
public:
    Panel() : view_(model_) {
        view_.resize(330, 2600);
        view_.show();
        QApplication::setActiveWindow(&view_);  // window shortcuts need an active window
        QObject::connect(&view_, &qm::InspectorView::exportRequested, [] { std::printf("export-requested\n"); });
        settle();
    }

    void run(const json& c) {
        if (!c.is_object()) throw ScriptError("a command is an object");
        const std::string op = text(c, "op");
        const auto started = Clock::now();
        dispatch(op, c);
        settle();
        if (c.contains("timed") && c["timed"] == true)
            std::printf("time %s %.3f\n", op.c_str(),
                        std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    }

    void printState() {
        std::size_t clips = 0;
        for (const auto& t : model_.project().tracks) clips += t.clips.size();
        std::printf("state undo=%zu redo=%zu dirty=%d tracks=%zu clips=%zu media=%zu playhead=%g\n",
                    model_.undoCount(), model_.redoCount(), model_.isDirty() ? 1 : 0,
                    model_.project().tracks.size(), clips, model_.project().media.size(), model_.playhead());
    }

private:
    void settle() {
        QApplication::processEvents();
        while (model_.isRendering()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QApplication::processEvents();
    }

    std::vector<QWidget*> named() {
        std::vector<QWidget*> all;
        for (QWidget* w : view_.findChildren<QWidget*>())
            if (!w->objectName().isEmpty() && !w->objectName().startsWith(QLatin1String("qt_")) &&
                w->isVisibleTo(&view_) && !qobject_cast<QLineEdit*>(w->parentWidget()) &&
                !qobject_cast<qm::ScrubField*>(w->parentWidget()))
                all.push_back(w);
        // A property row's controls share its line, whatever their own heights.
        const auto centre = [this](QWidget* w) {
            QPoint c = w->mapTo(&view_, w->rect().center());
            for (QWidget* up = w->parentWidget(); up && up != &view_; up = up->parentWidget())
                if (qobject_cast<qm::TransformPropertyRow*>(up)) {
                    c.setY(up->mapTo(&view_, up->rect().center()).y());
                    break;
                }
            return c;
        };
        std::stable_sort(all.begin(), all.end(), [&](QWidget* a, QWidget* b) {
            const QPoint p = centre(a), q = centre(b);
            return p.y() != q.y() ? p.y() < q.y() : p.x() < q.x();
        });
        return all;
    }

    QWidget* target(const json& c) {
        const QString name = QString::fromStdString(text(c, "target"));
        for (QWidget* w : named())
            if (w->objectName() == name) return w;
        throw ScriptError("no visible control " + name.toStdString());
    }

    static QPoint pressPoint(QWidget* w) {
        if (auto* row = qobject_cast<qm::SliderRow*>(w)) return row->thumbCentre();
        return w->rect().center();
    }

    static void mouse(QWidget* w, QEvent::Type type, QPointF at, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QMouseEvent event(type, at, w->mapToGlobal(at), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, mods);
        QApplication::sendEvent(w, &event);
    }

    static QWidget* input(QWidget* w) {
        if (auto* row = qobject_cast<qm::SliderRow*>(w)) return row->slider();
        return w;
    }

    void dispatch(const std::string& op, const json& c) {
        if (op == "media") {
            const std::string path = text(c, "path");
            qm::MediaInfo info;
            try {
                info = qm::MediaInfo::load(path, true);
            } catch (const std::exception& e) {
                throw ScriptError(e.what());
            }
            qm::Project p = model_.project();
            qm::MediaItem item(QString::fromStdString(path), info);
            qm::MediaInfos infos = model_.infos();
            infos.insert(item.id, info);
            p.media.push_back(std::move(item));
            model_.setProject(std::move(p));
            model_.setInfos(std::move(infos));
        } else if (op == "addClip") {
            const auto& media = model_.project().media;
            const json& v = field(c, "media");
            if (!v.is_number_integer() || v.get<long long>() < 0 || std::size_t(v.get<long long>()) >= media.size())
                throw ScriptError("no such media");
            model_.addClipAtPlayhead(media[std::size_t(v.get<long long>())].id);
        } else if (op == "select") {
            const json& v = field(c, "clip");
            if (v.is_null()) {
                model_.setSelectedClipID({});
            } else {
                const auto& tracks = model_.project().tracks;
                if (!v.is_array() || v.size() != 2 || !v[0].is_number_integer() || !v[1].is_number_integer())
                    throw ScriptError("\"clip\" is [track, index]");
                const auto t = v[0].get<std::size_t>(), i = v[1].get<std::size_t>();
                if (t >= tracks.size() || i >= tracks[t].clips.size()) throw ScriptError("no such clip");
                model_.setSelectedClipID(tracks[t].clips[i].id);
            }
        } else if (op == "seek") {
            model_.seek(number(field(c, "time"), "time"));
        } else if (op == "undo") {
            model_.undo();
        } else if (op == "redo") {
            model_.redo();
        } else if (op == "state") {
            printState();
        } else if (op == "click") {
            QWidget* w = target(c);
            QTest::mouseClick(input(w), Qt::LeftButton, {}, pressPoint(w));
        } else if (op == "drag") {
            drag(c);
        } else if (op == "type") {
            type(c);
        } else if (op == "key") {
            QWidget* w = input(target(c));
            const QKeySequence key = QKeySequence::fromString(QString::fromStdString(text(c, "key")));
            if (key.isEmpty()) throw ScriptError("unknown key");
            const int count = c.contains("count") ? int(number(c["count"], "count")) : 1;
            w->setFocus();
            for (int i = 0; i < count; ++i) QTest::keySequence(w, key);
        } else if (op == "keys") {
            const QKeySequence keys = QKeySequence::fromString(QString::fromStdString(text(c, "sequence")));
            if (keys.isEmpty()) throw ScriptError("unknown key sequence");
            QApplication::setActiveWindow(&view_);  // a closed dialog may have kept activation
            QTest::keySequence(&view_, keys);
        } else if (op == "choose") {
            auto* picker = qobject_cast<QComboBox*>(target(c));
            if (!picker) throw ScriptError("not a picker");
            const int index = picker->findText(QString::fromStdString(text(c, "entry")));
            if (index < 0) throw ScriptError("no entry " + text(c, "entry"));
            picker->setCurrentIndex(index);
            emit picker->activated(index);
        } else if (op == "curve") {
            curve(c);
        } else if (op == "color") {
            color(c);
        } else if (op == "shot") {
            const std::string path = text(c, "path");
            const QPixmap shot = view_.grab();
            if (!shot.save(QString::fromStdString(path), "PNG")) throw ScriptError("cannot write " + path);
            std::printf("shot %s %dx%d\n", path.c_str(), shot.width(), shot.height());
        } else if (op == "dump") {
            dump();
        } else {
            throw ScriptError("unknown command");
        }
    }

    void drag(const json& c) {
        QWidget* row = target(c);
        QWidget* w = input(row);
        const json& dx = field(c, "dx");
        if (!dx.is_array()) throw ScriptError("\"dx\" is a list");
        std::vector<std::string> mods;
        if (c.contains("modifiers")) {
            if (!c["modifiers"].is_array()) throw ScriptError("\"modifiers\" is a list");
            for (const auto& m : c["modifiers"]) mods.push_back(m.is_string() ? m.get<std::string>() : "?");
        }
        const QPointF from = pressPoint(row);
        mouse(w, QEvent::MouseButtonPress, from);
        QPointF at = from;
        for (std::size_t i = 0; i < dx.size(); ++i) {
            at = from + QPointF(number(dx[i], "dx"), 0);
            mouse(w, QEvent::MouseMove, at, i < mods.size() ? modifiers(mods[i]) : Qt::NoModifier);
            QApplication::processEvents();
        }
        mouse(w, QEvent::MouseButtonRelease, at);
    }

    void type(const json& c) {
        QWidget* w = target(c);
        const std::string end = c.contains("end") ? text(c, "end") : "return";
        QLineEdit* editor = qobject_cast<QLineEdit*>(w);
        if (auto* scrub = qobject_cast<qm::ScrubField*>(w)) {
            QTest::mouseClick(scrub, Qt::LeftButton);
            editor = scrub->editor();
        }
        if (!editor) throw ScriptError("not a text field");
        editor->setFocus();
        editor->selectAll();
        QTest::keyClicks(editor, QString::fromStdString(text(c, "text")));
        if (end == "return")
            QTest::keyClick(editor, Qt::Key_Return);
        else if (end == "escape")
            QTest::keyClick(editor, Qt::Key_Escape);
        else if (end == "focus")
            view_.exportButton()->setFocus();
        else
            throw ScriptError("unknown end " + end);
        if (editor->hasFocus()) editor->clearFocus();
    }

    void curve(const json& c) {
        auto* clip = view_.clipInspector();
        qm::CurveEditor* editor = clip && clip->color() ? clip->color()->curveEditor() : nullptr;
        if (!editor || !editor->isVisibleTo(&view_)) throw ScriptError("no visible control curve");
        const json& p = field(c, "point");
        if (!p.is_number_integer() || p.get<long long>() < 0 ||
            p.get<std::size_t>() >= editor->curve().points.size())
            throw ScriptError("no such point");
        mouse(editor, QEvent::MouseButtonPress, editor->handleCentre(p.get<int>()));
        if (c.contains("via")) {
            if (!c["via"].is_array()) throw ScriptError("\"via\" is a list");
            for (const auto& v : c["via"]) mouse(editor, QEvent::MouseMove, point(v, "via"));
        }
        const QPointF to = point(field(c, "to"), "to");
        mouse(editor, QEvent::MouseMove, to);
        mouse(editor, QEvent::MouseButtonRelease, to);
    }

    void color(const json& c) {
        auto* clip = view_.clipInspector();
        QColorDialog* dialog = clip && clip->keying() ? clip->keying()->colorDialog() : nullptr;
        if (!dialog) throw ScriptError("the key colour's dialog is not open");
        const json& values = field(c, "values");
        if (!values.is_array()) throw ScriptError("\"values\" is a list");
        for (const auto& v : values) {
            if (!v.is_array() || v.size() != 3) throw ScriptError("a colour is [r, g, b]");
            const double r = number(v[0], "values"), g = number(v[1], "values"), b = number(v[2], "values");
            dialog->setCurrentColor(QColor::fromRgbF(float(std::clamp(r, 0.0, 1.0)), float(std::clamp(g, 0.0, 1.0)),
                                                     float(std::clamp(b, 0.0, 1.0))));
        }
        const std::string end = c.contains("end") ? text(c, "end") : "accept";
        if (end == "accept")
            dialog->accept();
        else if (end == "cancel")
            dialog->reject();
        else
            throw ScriptError("unknown end " + end);
    }

    void dump() {
        std::printf("dump begin\n");
        for (QWidget* w : named()) {
            QString value;
            if (auto* scrub = qobject_cast<qm::ScrubField*>(w))
                value = scrub->displayText();
            else if (auto* row = qobject_cast<qm::SliderRow*>(w))
                value = row->valueLabel()->text();
            else if (auto* label = qobject_cast<QLabel*>(w))
                value = label->text();
            else if (auto* picker = qobject_cast<QComboBox*>(w))
                value = picker->currentText();
            else if (auto* line = qobject_cast<QLineEdit*>(w))
                value = line->text();
            else if (w->objectName() == QLatin1String("keyColor"))
                value = w->property("qmColour").toString();
            else if (auto* curve = qobject_cast<qm::CurveEditor*>(w))
                value = QStringLiteral("%1x%2").arg(curve->width()).arg(curve->height());
            else if (qobject_cast<QCheckBox*>(w) || (qobject_cast<QToolButton*>(w) && !w->objectName().endsWith(QLatin1String(".name"))))
                value = isOn(w) ? QStringLiteral("on") : QStringLiteral("off");
            else if (auto* button = qobject_cast<QAbstractButton*>(w))
                value = w->objectName().endsWith(QLatin1String(".name"))
                            ? button->text() + (isOn(w) ? QStringLiteral(" on") : QStringLiteral(" off"))
                            : button->text();
            else
                continue;
            std::printf("%s %s%s\n", w->objectName().toUtf8().constData(), value.toUtf8().constData(),
                        w->isEnabled() ? "" : " disabled");
        }
        std::printf("dump end\n");
    }

    qm::EditorModel model_;
    qm::InspectorView view_;
};

int inspectorScript(const std::vector<std::string>& args) {
    if (args.size() != 1) throw std::invalid_argument("usage: inspector-script SCRIPT.json");
    std::ifstream in(args[0], std::ios::binary);
    if (!in) throw std::invalid_argument("cannot read " + args[0]);
    std::stringstream content;
    content << in.rdbuf();
    json script;
    try {
        script = json::parse(content.str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "inspector-script: %s\n", e.what());
        return 2;
    }
    if (!script.is_array()) {
        std::fprintf(stderr, "inspector-script: the script is a list of commands\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "qm-bench";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    qm::installIconTheme();
    Panel panel;
    for (std::size_t n = 0; n < script.size(); ++n) {
        try {
            panel.run(script[n]);
        } catch (const ScriptError& e) {
            const json& c = script[n];
            const std::string op =
                c.is_object() && c.contains("op") && c["op"].is_string() ? c["op"].get<std::string>() : "?";
            std::fflush(stdout);
            std::fprintf(stderr, "inspector-script: command %zu (%s): %s\n", n, op.c_str(), e.what());
            return 2;
        }
        std::fflush(stdout);
    }
    panel.printState();
    return 0;
}

const qm::bench::Register registered(
    "inspector-script",
    "SCRIPT.json   (a JSON list of {\"op\": ...} run on the inspector panel of one editor model, offscreen)",
    inspectorScript);

}  // namespace
