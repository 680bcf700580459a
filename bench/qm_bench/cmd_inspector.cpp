// qm-bench inspector-script SCRIPT.json: the inspector panel on one editor model, offscreen, 330
// wide and tall enough not to scroll, driven by real input events on its named controls; prints
// what it is asked to show and the model's state at the end.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaEnum>
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
#include "editor_script.h"
#include "gui_app.h"
#include "platform/desktop/icons.h"
#include "registry.h"

namespace {

using nlohmann::json;

using qm::bench::ScriptError;
const auto& field = qm::bench::scriptField;
const auto& text = qm::bench::scriptText;

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

// One chord ("PgUp", "Ctrl+Shift+F9") in Qt's sequence wording, or with Qt's enum name for the key
// ("PageUp", "Ctrl+PageUp"); nothing when neither names a key.
std::optional<QKeyCombination> chord(const QString& text) {
    const QKeySequence parsed = QKeySequence::fromString(text, QKeySequence::PortableText);
    if (parsed.count() == 1 && parsed[0].key() != Qt::Key_unknown && parsed[0].key() != 0) return parsed[0];
    const qsizetype plus = text.lastIndexOf(QLatin1Char('+'), text.size() - 2);
    const QString name = text.mid(plus + 1);
    bool known = false;
    const int key = QMetaEnum::fromType<Qt::Key>().keyToValue(("Key_" + name).toLatin1().constData(), &known);
    if (!known) return std::nullopt;
    Qt::KeyboardModifiers mods;
    if (plus >= 0) {
        const QKeySequence prefix = QKeySequence::fromString(text.left(plus + 1) + "A", QKeySequence::PortableText);
        if (prefix.count() != 1 || prefix[0].key() != Qt::Key_A) return std::nullopt;
        mods = prefix[0].keyboardModifiers();
    }
    return QKeyCombination(mods, Qt::Key(key));
}

// The chords of a comma-separated sequence; ScriptError naming the first one no key answers to.
QKeySequence keySequence(const std::string& text) {
    const QStringList parts = QString::fromStdString(text).split(QStringLiteral(", "));
    if (parts.size() > 4) throw ScriptError("more than four keys in " + text);
    QKeyCombination keys[4] = {QKeyCombination::fromCombined(0), QKeyCombination::fromCombined(0),
                               QKeyCombination::fromCombined(0), QKeyCombination::fromCombined(0)};
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const auto one = chord(parts[i].trimmed());
        if (!one) throw ScriptError("unknown key " + parts[i].toStdString());
        keys[i] = *one;
    }
    return QKeySequence(keys[0], keys[1], keys[2], keys[3]);
}

// A symbol or toggle button is on when it shows its active state.
bool isOn(const QWidget* w) {
    if (const auto* box = qobject_cast<const QCheckBox*>(w)) return box->isChecked();
    if (w->property("qmActive").isValid()) return w->property("qmActive").toBool();
    return w->property("qmIcon").toString().endsWith(QLatin1Char('+'));
}

class Panel {
public:
    Panel() : view_(model_), script_(model_, [this](const std::string& op, const json& c) { return panelOp(op, c); }) {
        view_.resize(330, 2600);
        view_.show();
        QApplication::setActiveWindow(&view_);  // window shortcuts need an active window
        QObject::connect(&view_, &qm::InspectorView::exportRequested, [] { std::printf("export-requested\n"); });
        script_.settle();
    }

    qm::bench::EditorScript& script() { return script_; }

private:

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

    // The panel's own ops by real events; false for the editor's ops.
    bool panelOp(const std::string& op, const json& c) {
        if (op == "click") {
            QWidget* w = target(c);
            QTest::mouseClick(input(w), Qt::LeftButton, {}, pressPoint(w));
        } else if (op == "drag") {
            drag(c);
        } else if (op == "type") {
            type(c);
        } else if (op == "key") {
            QWidget* w = input(target(c));
            const QKeySequence key = keySequence(text(c, "key"));
            const int count = c.contains("count") ? int(number(c["count"], "count")) : 1;
            w->setFocus();
            for (int i = 0; i < count; ++i) QTest::keySequence(w, key);
        } else if (op == "keys") {
            const QKeySequence keys = keySequence(text(c, "sequence"));
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
            return false;
        }
        return true;
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
    qm::bench::EditorScript script_;
};

int inspectorScript(const std::vector<std::string>& args) {
    const auto script = qm::bench::readScript("inspector-script", args);
    if (!script) return 2;
    qm::bench::ensureGuiApplication<QApplication>();
    qm::installIconTheme();
    Panel panel;
    if (const int status =
            qm::bench::runScript("inspector-script", *script, [&](const json& c) { panel.script().run(c); }))
        return status;
    panel.script().printState();
    return 0;
}

const qm::bench::Register registered(
    "inspector-script",
    "SCRIPT.json   (a JSON list of {\"op\": ...} run on the inspector panel of one editor model, offscreen)",
    inspectorScript);

}  // namespace
