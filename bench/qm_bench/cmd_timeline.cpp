// qm-bench timeline-script SCRIPT.json: the timeline panel on one editor model, offscreen, driven
// by real pointer and key events at content positions; prints what it is asked to show and the
// model's state at the end.

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <QApplication>
#include <QDropEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

#include <nlohmann/json.hpp>

#include "editor/editor_model.h"
#include "editor/views/timeline/graph_editor_view.h"
#include "editor/views/timeline/property_lane.h"
#include "editor/views/timeline/timeline_content.h"
#include "editor/views/timeline/timeline_geometry.h"
#include "editor/views/timeline/timeline_view.h"
#include "editor/views/timeline/track_header.h"
#include "editor_script.h"
#include "gui_app.h"
#include "json_script.h"
#include "platform/desktop/icons.h"
#include "registry.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
namespace tl = qm::timeline;

using qm::bench::ScriptError;
const auto& field = qm::bench::scriptField;
const auto& text = qm::bench::scriptText;

double number(const json& v, const char* name) {
    if (!v.is_number() || !std::isfinite(v.get<double>()))
        throw ScriptError(std::string("\"") + name + "\" is not a number");
    return v.get<double>();
}
double roundAway(double v) { return v < 0 ? -std::floor(-v + 0.5) : std::floor(v + 0.5); }

std::pair<double, double> percentiles(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[std::min(ms.size() - 1, std::size_t(q * double(ms.size() - 1) + 0.5))]; };
    return {at(0.5), at(0.95)};
}

class Panel {
public:
    Panel()
        : view_(model_),
          // The background analysis and a sync run also finish before the next command.
          script_(
              model_, [this](const std::string& op, const json& c) { return panelOp(op, c); },
              [this] { return model_.isAnalysing() || !model_.analysisQueue().empty() || model_.syncStatus(); }) {
        view_.resize(1600, 600);
        view_.show();
        QApplication::setActiveWindow(&view_);
        script_.settle();
    }

    qm::bench::EditorScript& script() { return script_; }

    void printState() {
        std::string selected = "none";
        if (const auto at = model_.selectedClipID().isNull() ? std::nullopt
                                                             : model_.project().clipLocation(model_.selectedClipID()))
            selected = std::to_string(at->track) + "," + std::to_string(at->clip);
        std::printf("state undo=%zu redo=%zu dirty=%d selected=%s keyframes=%lld playhead=%.17g pps=%.17g\n",
                    model_.undoCount(), model_.redoCount(), model_.isDirty() ? 1 : 0, selected.c_str(),
                    static_cast<long long>(model_.selectedKeyframes().size()), model_.playhead(), model_.pixelsPerSecond());
    }

private:
    qm::TimelineContent& content() { return *view_.content(); }

    const qm::Clip& clipAt(const json& v) {
        const auto& tracks = model_.project().tracks;
        if (!v.is_array() || v.size() != 2 || !v[0].is_number_integer() || !v[1].is_number_integer())
            throw ScriptError("\"clip\" is [track, index]");
        const auto t = v[0].get<long long>(), i = v[1].get<long long>();
        if (t < 0 || i < 0 || std::size_t(t) >= tracks.size() || std::size_t(i) >= tracks[std::size_t(t)].clips.size())
            throw ScriptError("no such clip");
        return tracks[std::size_t(t)].clips[std::size_t(i)];
    }

    std::size_t keyframeIndex(const json& p) {
        const json& k = field(p, "index");
        if (!k.is_number_integer() || k.get<long long>() < 0) throw ScriptError("\"index\" is 0 or more");
        return std::size_t(k.get<long long>());
    }

    qm::TransformProperty propertyOf(const json& p) {
        const auto property = qm::transformPropertyFromRaw(text(p, "property"));
        if (!property) throw ScriptError("unknown property " + text(p, "property"));
        return *property;
    }

    // The graph editor's scene while it shows this property of this clip.
    std::optional<qm::GraphEditorView::Scene> graphShowing(const qm::Clip& clip, qm::TransformProperty property) {
        if (!model_.showGraphEditor()) return std::nullopt;
        auto scene = content().graphView()->scene();
        if (!scene || scene->geometry.clip.id != clip.id || scene->property != property) return std::nullopt;
        return scene;
    }

    // The graph point or ease handle of keyframe K (in time order), component "component" (0 by
    // default), in content points.
    QPointF graphItem(const qm::GraphEditorView::Scene& scene, qm::GraphEditorView::ItemKind kind, std::size_t k,
                      const json& p) {
        std::size_t c = 0;
        if (p.contains("component")) {
            if (!p["component"].is_number_integer() || p["component"].get<long long>() < 0)
                throw ScriptError("\"component\" is 0 or more");
            c = std::size_t(p["component"].get<long long>());
        }
        if (k >= scene.keys.size()) throw ScriptError("no such keyframe");
        if (c >= scene.components) throw ScriptError("no such component");
        for (const auto& item : content().graphView()->items(scene))
            if (item.kind == kind && item.keyframe == k && item.component == c)
                return item.centre + QPointF(0, tl::rulerHeight);
        throw ScriptError("the keyframe shows no such handle (is it selected, is its segment held?)");
    }

    // {"keyframe": [track, index], "property", "index", "component"?}: the graph point while the
    // graph editor shows that property, else the centre of the mark in the expanded layer's row.
    QPointF keyframeMark(const json& p) {
        const qm::Clip& clip = clipAt(p["keyframe"]);
        const qm::TransformProperty property = propertyOf(p);
        const std::size_t k = keyframeIndex(p);
        if (const auto scene = graphShowing(clip, property))
            return graphItem(*scene, qm::GraphEditorView::ItemKind::point, k, p);
        const auto at = model_.project().clipLocation(clip.id);
        const tl::TimelineGeometry g = content().geometry();
        for (const tl::LayerRow& row : g.rows())
            for (const tl::PropertyRow& r : row.properties) {
                if (row.track != at->track || r.property != property) continue;
                std::vector<tl::KeyframeMark> marks;
                for (const auto& m : tl::keyframeMarks(model_.project().tracks[row.track], r.property, g.pixelsPerSecond(), r.top))
                    if (m.clipID == clip.id) marks.push_back(m);
                if (k >= marks.size()) throw ScriptError("no such keyframe");
                return marks[k].glyph.center();
            }
        throw ScriptError("the property has no row (is the layer expanded?)");
    }

    // {"handle": [track, index], "property", "index", "side": "in"|"out", "component"?}: the ease
    // handle on that side of keyframe K in the graph editor.
    QPointF easeHandle(const json& p) {
        const qm::Clip& clip = clipAt(p["handle"]);
        const qm::TransformProperty property = propertyOf(p);
        const std::size_t k = keyframeIndex(p);
        const std::string side = text(p, "side");
        if (side != "in" && side != "out") throw ScriptError("\"side\" is \"in\" or \"out\"");
        const auto scene = graphShowing(clip, property);
        if (!scene) throw ScriptError("the graph editor does not show that property");
        using Kind = qm::GraphEditorView::ItemKind;
        return graphItem(*scene, side == "out" ? Kind::outHandle : Kind::inHandle, k, p);
    }

    // A position in content points: {"x", "y"}, {"clip", "part"} or a keyframe mark, plus dx and
    // dy; whole points.
    QPointF position(const json& p) {
        if (!p.is_object()) throw ScriptError("a position is an object");
        double x = 0, y = 0;
        if (p.contains("clip")) {
            const qm::Clip& clip = clipAt(p["clip"]);
            const auto at = model_.project().clipLocation(clip.id);
            const tl::TimelineGeometry g = content().geometry();
            const QRectF r = g.clipRect(clip, at->track);
            const std::string part = p.contains("part") ? text(p, "part") : "body";
            const double pps = g.pixelsPerSecond();
            y = r.center().y();
            if (part == "body") {
                x = r.center().x();
            } else if (part == "start") {
                x = r.left() + tl::trimWidth / 2;
            } else if (part == "end") {
                x = r.right() - tl::trimWidth / 2;
            } else if (part == "fadeIn") {
                x = r.left() + std::min(clip.fadeIn * pps, r.width() - 10);
                y = r.top() + 1;
            } else if (part == "fadeOut") {
                x = r.left() + std::max(r.width() - clip.fadeOut * pps, 0.0);
                y = r.top() + 1;
            } else {
                throw ScriptError("unknown part " + part);
            }
        } else if (p.contains("keyframe") || p.contains("handle")) {
            const QPointF mark = p.contains("keyframe") ? keyframeMark(p) : easeHandle(p);
            x = mark.x();
            y = mark.y();
        } else {
            x = number(field(p, "x"), "x");
            y = number(field(p, "y"), "y");
        }
        if (p.contains("dx")) x += number(p["dx"], "dx");
        if (p.contains("dy")) y += number(p["dy"], "dy");
        return {roundAway(x), roundAway(y)};
    }

    // Content points to the content widget's own points.
    QPointF widgetPoint(QPointF content) { return this->content().toWidget(content); }

    // To the widget under the point, as the window system would; a press's widget keeps the
    // pointer until the release.
    void mouse(QEvent::Type type, QPointF contentPoint, Qt::KeyboardModifiers mods,
               Qt::MouseButton button = Qt::LeftButton) {
        const QPointF inContent = widgetPoint(contentPoint);
        QWidget* w = grabbed_;
        if (!w) w = content().childAt(inContent.toPoint());
        if (!w) w = &content();
        grabbed_ = type == QEvent::MouseButtonRelease ? nullptr : type == QEvent::MouseButtonPress ? w : grabbed_;
        const QPointF at = w->mapFrom(&content(), inContent);
        const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
        QMouseEvent e(type, at, at + QPointF(w->mapToGlobal(QPoint(0, 0))),
                      type == QEvent::MouseMove ? Qt::NoButton : button, held, mods);
        QApplication::sendEvent(w, &e);
    }

    static Qt::KeyboardModifiers shift(const json& c) {
        return c.contains("shift") && c["shift"] == true ? Qt::ShiftModifier : Qt::NoModifier;
    }

    std::vector<QPointF> dragPath(const json& c) {
        std::vector<QPointF> steps;
        if (c.contains("path")) {
            const json& path = c["path"];
            if (!path.is_array() || path.empty()) throw ScriptError("\"path\" is a list of translations");
            for (const json& d : path) {
                if (!d.is_array() || d.size() != 2) throw ScriptError("a translation is [dx, dy]");
                steps.emplace_back(number(d[0], "path"), number(d[1], "path"));
            }
            return steps;
        }
        const json& by = field(c, "by");
        if (!by.is_array() || by.size() != 2) throw ScriptError("\"by\" is [dx, dy]");
        const QPointF total(number(by[0], "by"), number(by[1], "by"));
        const int count = c.contains("steps") ? int(number(c["steps"], "steps")) : 10;
        if (count < 1 || count > 100000) throw ScriptError("\"steps\" is 1 or more");
        for (int k = 1; k <= count; ++k) steps.push_back(total * double(k) / double(count));
        return steps;
    }

    void drag(const QPointF from, const std::vector<QPointF>& steps, Qt::KeyboardModifiers mods,
              std::vector<double>* times = nullptr) {
        mouse(QEvent::MouseButtonPress, from, mods);
        QPointF at = from;
        for (QPointF d : steps) {
            at = QPointF(roundAway(from.x() + d.x()), roundAway(from.y() + d.y()));
            const auto started = Clock::now();
            mouse(QEvent::MouseMove, at, mods);
            if (times) times->push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
        }
        mouse(QEvent::MouseButtonRelease, at, mods);
    }

    static void actOn(const char* kind, const QString& name, QAction* action) {
        std::printf("%s %s enabled=%d\n", kind, name.toUtf8().constData(), action->isEnabled() ? 1 : 0);
        if (action->isEnabled()) action->trigger();
    }

    static QAction* menuItem(QMenu& menu, const QString& item) {
        for (QAction* a : menu.actions())
            if (!a->isSeparator() && a->text() == item) return a;
        throw ScriptError("no menu item " + item.toStdString());
    }

    qm::TrackHeader& header(const json& c) {
        const json& v = field(c, "track");
        const auto& tracks = model_.project().tracks;
        if (!v.is_number_integer() || v.get<long long>() < 0 || std::size_t(v.get<long long>()) >= tracks.size())
            throw ScriptError("no such track");
        qm::TrackHeader* h = view_.header(tracks[std::size_t(v.get<long long>())].id);
        if (!h) throw ScriptError("the track has no header");
        return *h;
    }

    void button(const json& c) {
        const QString name = QString::fromStdString(text(c, "name"));
        if (c.contains("track")) {
            qm::TrackHeader& h = header(c);
            QToolButton* b = name == "disclosure" ? h.disclosureButton()
                             : name == "visibility" ? h.visibilityButton()
                             : name == "audio"      ? h.audioButton()
                                                    : nullptr;
            if (!b) {
                std::unique_ptr<QMenu> menu(h.layerMenu(nullptr));
                return actOn("button", name, menuItem(*menu, name));
            }
            std::printf("button %s enabled=%d\n", name.toUtf8().constData(), b->isEnabled() ? 1 : 0);
            if (b->isEnabled()) QTest::mouseClick(b, Qt::LeftButton);
            return;
        }
        QToolButton* b = view_.button(name);
        if (!b || !b->isVisibleTo(&view_)) throw ScriptError("no toolbar button " + name.toStdString());
        std::printf("button %s enabled=%d\n", name.toUtf8().constData(), b->isEnabled() ? 1 : 0);
        if (b->isEnabled()) QTest::mouseClick(b, Qt::LeftButton);
    }

    void layout() {
        const QPoint origin = content().mapTo(&view_, QPointF(-content().scrollX(), 0).toPoint());
        std::printf("layout viewport=%.17g visible=%.17g rows=%.17g graph=%.17g width=%.17g origin=%d,%d\n",
                    model_.timelineViewportWidth(), view_.visibleHeight(), model_.timelineTracksHeight(),
                    view_.graphHeight(), content().geometry().contentWidth(), origin.x(), origin.y());
        if (!model_.showGraphEditor()) return;
        if (const auto scene = content().graphView()->scene())
            std::printf("graph-range %.17g %.17g\n", scene->geometry.range.lo, scene->geometry.range.hi);
        else
            std::printf("graph none\n");
    }

    void clips() {
        const tl::TimelineGeometry g = content().geometry();
        const auto& project = model_.project();
        for (std::size_t t = 0; t < project.tracks.size(); ++t)
            for (std::size_t i = 0; i < project.tracks[t].clips.size(); ++i) {
                const qm::Clip& c = project.tracks[t].clips[i];
                const QRectF r = g.clipRect(c, t);
                const qm::MediaItem* media = project.mediaItem(c.mediaID);
                const auto ltc = model_.ltc().constFind(c.mediaID);
                std::printf("clip %zu %zu x=%.17g width=%.17g colour=%s name=%s detail=%s\n", t, i, r.left(), r.width(),
                            tl::clipColour(media).name().toUpper().toUtf8().constData(),
                            (media ? media->name : QStringLiteral("?")).toUtf8().constData(),
                            tl::clipDetail(c, media, ltc != model_.ltc().cend() ? &*ltc : nullptr).toUtf8().constData());
            }
    }

    void ruler() {
        const double pps = model_.pixelsPerSecond(), fps = model_.project().frameRate;
        const double step = tl::rulerTickStep(pps, fps);
        std::printf("ruler step=%.17g\n", step);
        if (!(step > 0)) return;
        const double left = content().scrollX(), right = left + content().width();
        const double minor = step / 5;
        for (double i = std::max(0.0, std::ceil((left - tl::originX) / (minor * pps) - 1e-9)); ; ++i) {
            const double t = i * minor, x = pps * t + tl::originX;
            if (x > right) break;
            if (std::fmod(i, 5.0) == 0 && x >= left)
                std::printf("label %.17g %s\n", x, tl::rulerLabel(t, step, fps).toUtf8().constData());
        }
    }

    void benchPaint(const json& c) {
        const int count = int(number(field(c, "count"), "count"));
        if (count < 1) throw ScriptError("\"count\" is 1 or more");
        // What the scroll area shows of the content, not its whole height.
        const QRect visible = content().visibleRegion().boundingRect();
        if (visible.isEmpty()) throw ScriptError("no content in view");
        QImage target(visible.size(), QImage::Format_ARGB32_Premultiplied);
        std::vector<double> ms;
        for (int k = 0; k < count; ++k) {
            const auto started = Clock::now();
            content().render(&target, QPoint(), QRegion(visible));
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
        }
        const auto [p50, p95] = percentiles(ms);
        std::printf("bench-paint count=%d size=%dx%d p50_ms=%.17g p95_ms=%.17g\n", count, target.width(), target.height(),
                    p50, p95);
    }

    // The panel's own ops; false for the editor's ops (open, seek, select, undo, redo, ...).
    bool panelOp(const std::string& op, const json& c) {
        if (op == "size") {
            const int w = int(number(field(c, "width"), "width")), h = int(number(field(c, "height"), "height"));
            if (w < 1 || h < 1) throw ScriptError("the size is positive");
            view_.resize(w, h);
        } else if (op == "zoom") {
            model_.setPixelsPerSecond(number(field(c, "pps"), "pps"));
        } else if (op == "scroll") {
            view_.horizontalBar()->setValue(int(roundAway(number(field(c, "x"), "x"))));
        } else if (op == "showProperty") {
            model_.showPropertyInGraphEditor(propertyOf(c), clipAt(field(c, "clip")).id);
        } else if (op == "click") {
            const QPointF at = position(field(c, "at"));
            mouse(QEvent::MouseButtonPress, at, shift(c));
            mouse(QEvent::MouseButtonRelease, at, shift(c));
        } else if (op == "drag") {
            drag(position(field(c, "from")), dragPath(c), shift(c));
        } else if (op == "menu") {
            const QPointF at = position(field(c, "at"));
            std::unique_ptr<QMenu> menu;
            if (const auto mark = content().keyframeAt(at))
                menu.reset(tl::keyframeMenu(model_, mark->clipID, mark->keyframeID, nullptr));
            else if (content().propertyRowAt(at))
                menu.reset(tl::laneMenu(model_, nullptr));
            else if (const auto hit = content().geometry().hit(at))
                menu.reset(content().clipMenu(model_.project().tracks[hit->track].clips[hit->index].id, nullptr));
            else
                throw ScriptError("no clip there");
            actOn("menu", QString::fromStdString(text(c, "item")), menuItem(*menu, QString::fromStdString(text(c, "item"))));
        } else if (op == "button") {
            button(c);
        } else if (op == "rename") {
            QLineEdit* field = header(c).nameField();
            field->setFocus();
            field->selectAll();
            QTest::keyClicks(field, QString::fromStdString(text(c, "text")));
            if (!c.contains("commit") || c["commit"] == true)
                QTest::keyClick(field, Qt::Key_Return);
            else
                field->clearFocus();
        } else if (op == "drop") {
            QMimeData data;
            data.setText(QString::fromStdString(text(c, "text")));
            const QPointF at = widgetPoint(position(field(c, "at")));
            QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, {});
            QApplication::sendEvent(&content(), &enter);
            QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, {});
            static_cast<QObject*>(&content())->event(&drop);
        } else if (op == "write") {
            qm::bench::writeProject(model_, text(c, "path"));  // silently, unlike the editor's
        } else if (op == "shot") {
            const std::string path = text(c, "path");
            const QPixmap shot = view_.grab();
            if (!shot.save(QString::fromStdString(path), "PNG")) throw ScriptError("cannot write " + path);
        } else if (op == "layout") {
            layout();
        } else if (op == "clips") {
            clips();
        } else if (op == "ruler") {
            ruler();
        } else if (op == "bench-paint") {
            benchPaint(c);
        } else if (op == "bench-drag") {
            const QPointF from = position(json{{"clip", field(c, "clip")}});
            const int steps = int(number(field(c, "steps"), "steps"));
            if (steps < 1) throw ScriptError("\"steps\" is 1 or more");
            std::vector<QPointF> path;
            for (int k = 1; k <= steps; ++k) path.emplace_back(k, 0);
            std::vector<double> ms;
            drag(from, path, Qt::NoModifier, &ms);
            const auto [p50, p95] = percentiles(ms);
            std::printf("bench-drag steps=%d p50_ms=%.17g p95_ms=%.17g\n", steps, p50, p95);
        } else if (op == "state") {
            printState();
        } else {
            return false;
        }
        return true;
    }

    qm::EditorModel model_;
    qm::TimelineView view_;
    QWidget* grabbed_ = nullptr;
    qm::bench::EditorScript script_;
};

int timelineScript(const std::vector<std::string>& args) {
    const auto script = qm::bench::readScript("timeline-script", args);
    if (!script) return 2;
    qm::bench::ensureGuiApplication<QApplication>();
    std::setlocale(LC_NUMERIC, "C");  // the printed numbers are read by scripts
    qm::installIconTheme();
    Panel panel;
    if (const int status = qm::bench::runScript("timeline-script", *script, [&](const json& c) { panel.script().run(c); }))
        return status;
    panel.printState();
    return 0;
}

const qm::bench::Register registered(
    "timeline-script",
    "SCRIPT.json   (a JSON list of {\"op\": ...} run on the timeline panel of one editor model, offscreen)",
    timelineScript);

}  // namespace
