#include "editor/views/timeline/graph_editor_view.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include <QHelpEvent>
#include <QLineF>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPolygonF>
#include <QToolTip>

#include "editor/editor_model.h"
#include "editor/frame_grid.h"
#include "editor/views/timeline/timeline_geometry.h"
#include "platform/desktop/icons.h"
#include "view_kit/form_style.h"

namespace qm {

namespace {

constexpr double pointSize = 8;
constexpr double hitGrowth = 4;  // hit areas reach this far beyond a point's square or a handle's circle
constexpr double sampleStep = 2;
constexpr double dashPeriod = 6;  // 3 on, 3 off

// Grows `lo`/`hi` to take in `v`.
void fold(double v, double& lo, double& hi) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
}

QColor withAlpha(QColor colour, double alpha) {
    colour.setAlphaF(float(alpha));
    return colour;
}

// A horizontal line from `from` to `to` at `y` in the painter's dashed pen, cut to [left, right]
// where the whole line would have its dashes: a held value hours long at high zoom stays a few
// dashes. (Antialiased: the raster engine draws translucent lines without it many times slower.)
void dashedLine(QPainter& painter, double from, double to, double y, double left, double right) {
    const double length = std::abs(to - from), direction = to >= from ? 1.0 : -1.0;
    // The part of [0, length] (distance from `from`) that lies in view, from a whole dash period.
    const double near = std::max(0.0, std::floor((direction > 0 ? left - from : from - right) / dashPeriod) * dashPeriod);
    const double far = std::min(length, (direction > 0 ? right - from : from - left) + dashPeriod);
    if (far > near) painter.drawLine(QPointF(from + direction * near, y), QPointF(from + direction * far, y));
}

// A wide antialiased polyline in short runs: the raster engine fills one long stroke of a steep
// curve many times slower than the same stroke in pieces. Round caps join the runs.
void drawCurve(QPainter& painter, const QPolygonF& line) {
    constexpr int run = 16;
    for (qsizetype s = 0; s + 1 < line.size(); s += run)
        painter.drawPolyline(line.constData() + s, int(std::min<qsizetype>(run + 1, line.size() - s)));
}

// The part of the segment a–b that lies between x = left and x = right, or nothing: Qt strokes a
// line to a point far off over its whole length.
std::optional<QLineF> withinColumns(QPointF a, QPointF b, double left, double right) {
    if (a.x() > b.x()) std::swap(a, b);
    if (!(b.x() >= left && a.x() <= right)) return std::nullopt;
    const auto cut = [&](double x) {
        return b.x() == a.x() ? a : QPointF(x, a.y() + (b.y() - a.y()) * ((x - a.x()) / (b.x() - a.x())));
    };
    const QLineF line(a.x() < left ? cut(left) : a, b.x() > right ? cut(right) : b);
    const bool finite = std::isfinite(line.x1()) && std::isfinite(line.y1()) && std::isfinite(line.x2()) && std::isfinite(line.y2());
    return finite ? std::optional(line) : std::nullopt;
}

const GraphKeyframe* keyframeWithID(const std::vector<GraphKeyframe>& keys, const QUuid& id) {
    const auto it = std::find_if(keys.begin(), keys.end(), [&](const GraphKeyframe& k) { return k.id == id; });
    return it == keys.end() ? nullptr : &*it;
}

}  // namespace

// --- Geometry --------------------------------------------------------------------------------

double GraphEditorView::Geometry::x(double clipTime) const {
    return timeline::originX + (clip.start + clipTime - clip.sourceIn) * pps;
}

double GraphEditorView::Geometry::timelineX(double time) const { return timeline::originX + time * pps; }

double GraphEditorView::Geometry::time(double x) const {
    return (x - timeline::originX) / pps - clip.start + clip.sourceIn;
}

double GraphEditorView::Geometry::y(double value) const {
    return margin + (1 - (value - range.lo) / std::max(range.hi - range.lo, 0.000000001)) * (height - 2 * margin);
}

double GraphEditorView::Geometry::value(double y) const {
    return range.lo + (1 - (y - margin) / (height - 2 * margin)) * (range.hi - range.lo);
}

double GraphEditorView::Scene::valueAt(double clipTime, std::size_t c) const {
    if (isVectorProperty(property)) {
        const Vec2 v = transform.vector(property).valueAt(clipTime);
        return c == 0 ? v.x : v.y;
    }
    return transform.scalar(property).valueAt(clipTime);
}

QPointF GraphEditorView::Scene::point(const GraphKeyframe& k, std::size_t c) const {
    return {geometry.x(k.time), geometry.y(k.values[c])};
}

GraphEditorView::ValueRange GraphEditorView::automaticRange(const Scene& scene) {
    const auto& keys = scene.keys;
    if (keys.empty()) return {0, 1};
    const double t0 = keys.front().time, tN = keys.back().time;
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (int i = 0; i <= 120; ++i) {
        const double t = t0 + i * (tN - t0) / 120;
        for (std::size_t c = 0; c < scene.components; ++c) fold(scene.valueAt(t, c), lo, hi);
    }
    for (const GraphKeyframe& k : keys)
        for (double v : k.values) fold(v, lo, hi);
    if (!(hi - lo >= 0.000001)) {
        lo -= 1;
        hi += 1;
    }
    const double pad = (hi - lo) * 0.12;
    return {lo - pad, hi + pad};
}

std::vector<GraphEditorView::GridLine> GraphEditorView::gridLines(const Geometry& geometry) {
    std::vector<GridLine> lines;
    const ValueRange& r = geometry.range;
    for (int i = 0; i < 5; ++i) {
        const double v = r.lo + i * (r.hi - r.lo) * 0.25;
        lines.push_back({geometry.y(v), QString::asprintf("%.1f", v)});
    }
    return lines;
}

QPointF GraphEditorView::outHandle(const GraphKeyframe& a) {
    const EaseControl p = outgoingControl(a);
    return {p.x, p.y};
}

QPointF GraphEditorView::inHandle(const GraphKeyframe& b) {
    const EaseControl p = incomingControl(b);
    return {p.x, p.y};
}

double GraphEditorView::draggedValue(double start, double dy, const Geometry& geometry) {
    const double plot = geometry.height - 2 * Geometry::margin;
    if (!timeline::positive(plot)) return start;
    const double v = std::round((start - dy * (geometry.range.hi - geometry.range.lo) / plot) * 100) / 100;
    return std::isfinite(v) ? v : start;
}

// --- The view --------------------------------------------------------------------------------

GraphEditorView::GraphEditorView(EditorModel& editor, QWidget* parent) : QWidget(parent), editor_(editor) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    for (auto signal : {&EditorModel::projectChanged, &EditorModel::selectedClipIDChanged,
                        &EditorModel::selectedKeyframesChanged, &EditorModel::graphPropertyChanged,
                        &EditorModel::pixelsPerSecondChanged})
        connect(&editor_, signal, this, qOverload<>(&QWidget::update));
}

void GraphEditorView::setScrollX(double x) {
    if (!std::isfinite(x) || x == scrollX_) return;
    scrollX_ = x;
    update();
}

std::optional<GraphEditorView::Scene> GraphEditorView::scene() const {
    const auto shown = editor_.effectiveGraphClipProperty();
    if (!shown || !timeline::positive(editor_.pixelsPerSecond())) return std::nullopt;
    auto transform = editor_.transform(shown->first.id);
    if (!transform) return std::nullopt;
    Scene s;
    s.property = shown->second;
    s.keys = transform->graphKeyframes(s.property);
    s.transform = std::move(*transform);
    s.components = s.keys.empty() || s.keys.front().values.empty() ? 1 : s.keys.front().values.size();
    s.geometry.clip = shown->first;
    s.geometry.pps = editor_.pixelsPerSecond();
    s.geometry.height = height();
    s.geometry.range = frozenRange_ ? *frozenRange_ : automaticRange(s);
    return s;
}

std::vector<GraphEditorView::Item> GraphEditorView::items(const Scene& s) const {
    std::vector<Item> found;
    const auto& keys = s.keys;
    const auto& selected = editor_.selectedKeyframes();
    for (std::size_t c = 0; c < s.components; ++c) {
        for (std::size_t i = 0; i + 1 < keys.size(); ++i) {
            const GraphKeyframe &a = keys[i], &b = keys[i + 1];
            if (a.easeOut == KeyframeEase::hold || c >= a.values.size() || c >= b.values.size()) continue;
            const double dt = b.time - a.time, dv = b.values[c] - a.values[c];
            const auto at = [&](QPointF n) {
                return QPointF(s.geometry.x(a.time + n.x() * dt), s.geometry.y(a.values[c] + n.y() * dv));
            };
            if (selected.contains(a.id)) found.push_back({ItemKind::outHandle, i, c, at(outHandle(a))});
            if (selected.contains(b.id)) found.push_back({ItemKind::inHandle, i + 1, c, at(inHandle(b))});
        }
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (c < keys[i].values.size()) found.push_back({ItemKind::point, i, c, s.point(keys[i], c)});
    }
    return found;
}

std::optional<GraphEditorView::Item> GraphEditorView::itemAt(QPointF p) const {
    const auto s = scene();
    if (!s) return std::nullopt;
    const std::vector<Item> all = items(*s);
    const double reach = pointSize / 2 + hitGrowth;
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        const QPointF d = p - it->centre;
        const bool hit = it->kind == ItemKind::point ? std::abs(d.x()) <= reach && std::abs(d.y()) <= reach
                                                     : std::hypot(d.x(), d.y()) <= reach;
        if (hit) return *it;
    }
    return std::nullopt;
}

QColor GraphEditorView::componentColour(std::size_t components, std::size_t c) const {
    static const QColor pair[2] = {QColor::fromRgbF(1.0f, 0.35f, 0.35f), QColor::fromRgbF(0.35f, 0.85f, 0.4f)};
    return components == 2 ? pair[std::min<std::size_t>(c, 1)] : accentColor(this);
}

// --- Painting ----------------------------------------------------------------------------------

void GraphEditorView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QRectF exposed = event->rect();
    // Black at 15 % over the base, as one opaque fill (a blend over the whole view costs more).
    const QColor base = palette().color(QPalette::Base);
    painter.fillRect(exposed, QColor::fromRgbF(base.redF() * 0.85f, base.greenF() * 0.85f, base.blueF() * 0.85f));
    if (const auto s = scene()) {
        painter.save();
        painter.translate(-scrollX_, 0);
        paintScene(painter, *s, exposed.translated(scrollX_, 0));
        painter.restore();
    } else {
        paintEmpty(painter);
    }
    // The playhead line runs on through the graph.
    const double x = timeline::originX + editor_.playhead() * editor_.pixelsPerSecond() - scrollX_;
    if (std::isfinite(x)) painter.fillRect(QRectF(x, 0, 1.5, height()), Qt::red);
}

void GraphEditorView::paintEmpty(QPainter& painter) {
    // Centred in the visible slice, so a wide timeline still shows it.
    const QColor secondary = secondaryColor(this);
    const QPixmap symbol = symbolPixmap(QStringLiteral("chart.xyaxis.line"), 22, secondary);
    const QString hint = tr("Select a clip with keyframes, then click a property name to edit its curve.");
    const QFontMetricsF metrics(font());
    const QPointF centre = QRectF(rect()).center();
    const double top = centre.y() - (22 + 6 + metrics.height()) / 2;
    painter.drawPixmap(QPointF(centre.x() - 11, top), symbol);
    painter.setPen(secondary);
    painter.drawText(QRectF(0, top + 28, width(), metrics.height()), Qt::AlignHCenter, hint);
}

void GraphEditorView::paintScene(QPainter& painter, const Scene& s, const QRectF& exposed) {
    const Geometry& g = s.geometry;
    const double left = exposed.left(), right = exposed.right();
    const QColor secondary = secondaryColor(this);

    // Grid and labels, the labels at the timeline's left edge.
    QFont font = digitsFont(this->font());
    font.setPixelSize(9);
    const QFontMetricsF metrics(font);
    painter.setFont(font);
    for (const GridLine& line : gridLines(g)) {
        // A one-point rule filled, not stroked: a translucent pen line is slow in the raster engine.
        painter.fillRect(QRectF(left, line.y - 0.5, right - left, 1), withAlpha(secondary, 0.18));
        if (left <= 4 + metrics.horizontalAdvance(line.label)) {
            painter.setPen(secondary);
            painter.drawText(QPointF(4, line.y - 2 - metrics.descent()), line.label);
        }
    }
    const auto& keys = s.keys;
    if (keys.empty()) return;

    painter.setRenderHint(QPainter::Antialiasing);
    const auto& selected = editor_.selectedKeyframes();
    const Clip& clip = g.clip;
    const std::vector<Item> all = items(s);
    for (std::size_t c = 0; c < s.components; ++c) {
        const QColor colour = componentColour(s.components, c);
        const GraphKeyframe &first = keys.front(), &last = keys.back();
        const double x0 = g.x(first.time), xN = g.x(last.time);
        // The curve on a 2-point grid from the first keyframe, only the columns in view (one more
        // on each side so the line runs through the edges). The columns are counted from the
        // first in view, never from a keyframe far off: beside a coordinate of 1e18 a step of 2
        // vanishes.
        if (xN > x0 && xN >= left - sampleStep && x0 <= right + sampleStep) {
            const bool fromFirst = x0 >= left - sampleStep;
            const double from =
                fromFirst ? x0 : left - sampleStep - (std::isfinite(x0) ? std::fmod(left - sampleStep - x0, sampleStep) : 0.0);
            const double columns = std::clamp(std::ceil((std::min(xN, right) - from) / sampleStep) + 2, 1.0, 1e7);
            QPolygonF line;
            for (int i = 0; i <= int(columns); ++i) {
                const double x = std::min(from + i * sampleStep, xN);
                line << QPointF(x, i == 0 && fromFirst ? g.y(first.values[c]) : g.y(s.valueAt(g.time(x), c)));
                if (x >= xN || x > right + sampleStep) break;
            }
            painter.setPen(QPen(colour, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            drawCurve(painter, line);
        }
        // The values held before the first keyframe and after the last, to the clip's ends.
        QPen held(withAlpha(colour, 0.35), 1, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
        held.setDashPattern({3, 3});
        painter.setPen(held);
        dashedLine(painter, g.timelineX(clip.start), x0, g.y(first.values[c]), left, right);
        dashedLine(painter, xN, g.timelineX(clip.start + clip.duration), g.y(last.values[c]), left, right);
        // Guide lines from selected keyframes to their handles.
        painter.setPen(QPen(withAlpha(Qt::white, 0.7), 1));
        for (const Item& item : all) {
            if (item.kind == ItemKind::point || item.component != c) continue;
            if (const auto guide = withinColumns(s.point(keys[item.keyframe], c), item.centre, left - 1, right + 1))
                painter.drawLine(*guide);
        }
    }
    // Handles below points, component 1 above component 0.
    const QColor gold = QColor::fromRgbF(1.0f, 0.8f, 0.2f);
    painter.setPen(QPen(withAlpha(Qt::black, 0.6), 0.8));
    const double half = pointSize / 2;
    for (const Item& item : all) {
        if (item.centre.x() + half < left || item.centre.x() - half > right) continue;
        if (item.kind == ItemKind::point) {
            const GraphKeyframe& k = keys[item.keyframe];
            painter.setBrush(selected.contains(k.id) ? gold : componentColour(s.components, item.component));
            painter.drawRect(QRectF(item.centre - QPointF(half, half), QSizeF(pointSize, pointSize)));
        } else {
            painter.setBrush(Qt::white);
            painter.drawEllipse(item.centre, half, half);
        }
    }
}

// --- Pointer -------------------------------------------------------------------------------------

void GraphEditorView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    const auto s = scene();
    if (!s) return;
    Press p;
    p.clipID = s->geometry.clip.id;
    p.property = s->property;
    p.item = itemAt(toGraph(event->position()));
    if (p.item) {
        const std::size_t k = p.item->keyframe;
        switch (p.item->kind) {
            case ItemKind::point: p.keyframeID = s->keys[k].id; break;
            case ItemKind::outHandle:
                p.keyframeID = p.a = s->keys[k].id;
                p.b = s->keys[k + 1].id;
                break;
            case ItemKind::inHandle:
                p.a = s->keys[k - 1].id;
                p.keyframeID = p.b = s->keys[k].id;
                break;
        }
    }
    // Handles answer to the smallest move; points and the empty graph tell a tap from a drag.
    p.tracker = DragTracker(p.item && p.item->kind != ItemKind::point ? 1.0 : 2.0);
    p.tracker.press(*event);
    press_ = std::move(p);
}

void GraphEditorView::mouseMoveEvent(QMouseEvent* event) {
    if (!press_) return;
    const auto change = press_->tracker.move(*event);
    if (!change || !press_->item) return;
    if (press_->item->kind == ItemKind::point)
        pointStep(*change);
    else
        handleStep(*change);
}

void GraphEditorView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !press_) return QWidget::mouseReleaseEvent(event);
    mouseMoveEvent(event);
    if (!press_) return;
    if (!press_->tracker.release()) {
        // A tap: a point selects (Shift from the event adds or removes), the empty graph clears.
        if (!press_->item)
            editor_.setSelectedKeyframes({});
        else if (press_->item->kind == ItemKind::point)
            editor_.selectKeyframe(press_->keyframeID, press_->clipID, event->modifiers().testFlag(Qt::ShiftModifier));
    }
    finish();
}

bool GraphEditorView::event(QEvent* event) {
    if (event->type() == QEvent::UngrabMouse && press_) {
        // A lost pointer ends the drag: what changed stays, as one step.
        press_->tracker.cancel();
        finish();
    }
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const auto item = itemAt(toGraph(help->pos()));
        if (!item)
            QToolTip::hideText();
        else if (item->kind == ItemKind::point)
            QToolTip::showText(help->globalPos(), tr("Drag to change value and time (Shift: value only)"), this);
        else
            QToolTip::showText(help->globalPos(), tr("Drag to change influence (length) and speed (slope)"), this);
        return true;
    }
    return QWidget::event(event);
}

void GraphEditorView::finish() {
    // The gesture records a step only when the drag changed the project.
    if (frozenRange_) editor_.endGesture();
    frozenRange_.reset();
    appliedShift_.reset();
    dragStartValue_.reset();
    press_.reset();
    update();
}

void GraphEditorView::pointStep(const DragTracker::Change& change) {
    const Press& p = *press_;
    const auto s = scene();
    if (!s || s->geometry.clip.id != p.clipID || s->property != p.property) return;
    const GraphKeyframe* k = keyframeWithID(s->keys, p.keyframeID);
    const std::size_t c = p.item->component;
    if (!k || c >= k->values.size()) return;
    if (!frozenRange_) {
        // An unselected point becomes the selection; a selected one keeps all the others.
        if (!editor_.selectedKeyframes().contains(k->id)) editor_.selectKeyframe(k->id, p.clipID, false);
        frozenRange_ = s->geometry.range;
        editor_.beginGesture();
        appliedShift_ = 0.0;
        dragStartValue_ = k->values[c];
    }
    const double value = draggedValue(dragStartValue_.value_or(k->values[c]), change.translation.y(), s->geometry);
    if (value != k->values[c])
        editor_.updateClip(p.clipID, false, [&](Clip& clip) { applyGraphValue(clip, p.property, p.keyframeID, c, value); });
    if (change.modifiers.testFlag(Qt::ShiftModifier)) return;  // value only; time catches up when Shift goes
    const double shift = frameShift(change.translation.x() / s->geometry.pps, editor_.project().frameRate);
    const double delta = shift - appliedShift_.value_or(0.0);
    if (delta == 0) return;
    if (!editor_.selectedKeyframes().isEmpty()) editor_.moveKeyframes(p.clipID, editor_.selectedKeyframes(), delta, false);
    appliedShift_ = shift;
}

void GraphEditorView::handleStep(const DragTracker::Change& change) {
    const Press& p = *press_;
    const auto s = scene();
    if (!s || s->geometry.clip.id != p.clipID || s->property != p.property) return;
    const GraphKeyframe *a = keyframeWithID(s->keys, p.a), *b = keyframeWithID(s->keys, p.b);
    const std::size_t c = p.item->component;
    if (!a || !b || c >= a->values.size() || c >= b->values.size()) return;
    if (!frozenRange_) {
        frozenRange_ = s->geometry.range;
        editor_.beginGesture();
    }
    // Keyframes stacked at one time (a move clamped at 0) leave no segment to shape.
    const double dt = b->time - a->time, dv = b->values[c] - a->values[c];
    if (!timeline::positive(dt)) return;
    const QPointF at = toGraph(change.position);
    const double t = s->geometry.time(at.x()), v = s->geometry.value(at.y());
    const bool outgoing = p.item->kind == ItemKind::outHandle;
    const double influence = outgoing ? (t - a->time) / dt : (b->time - t) / dt;
    double velocity = outgoing ? a->outVelocity : b->inVelocity;  // a flat segment keeps its speed
    if (std::abs(dv) > 0.000000001)
        velocity = (outgoing ? (v - a->values[c]) / dv : (b->values[c] - v) / dv) / std::max(influence, 0.01);
    if (!std::isfinite(influence) || !std::isfinite(velocity)) return;
    editor_.updateClip(p.clipID, false, [&](Clip& clip) {
        applyGraphEase(clip, p.property, p.keyframeID, outgoing, influence, velocity);
    });
}

}  // namespace qm
