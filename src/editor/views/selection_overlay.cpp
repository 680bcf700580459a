#include "editor/views/selection_overlay.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <QFutureWatcher>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include "editor/editor_model.h"
#include "editor/model/composition_renderer.h"

namespace qm {

namespace {

constexpr double kHandleRadius = 7.0;
constexpr double kRotateRing = 22.0;

bool polygonContains(const std::array<QPointF, 4>& polygon, QPointF q) {
    bool inside = false;
    for (std::size_t i = 0, j = polygon.size() - 1; i < polygon.size(); j = i++) {
        const QPointF a = polygon[i];
        const QPointF b = polygon[j];
        if ((a.y() > q.y()) != (b.y() > q.y()) && q.x() < (b.x() - a.x()) * (q.y() - a.y()) / (b.y() - a.y()) + a.x())
            inside = !inside;
    }
    return inside;
}

double distance(QPointF a, QPointF b) { return std::hypot(a.x() - b.x(), a.y() - b.y()); }

double roundTenth(double v) { return std::round(v * 10) / 10; }

}  // namespace

SelectionOverlay::SelectionOverlay(EditorModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setMouseTracking(true);
    for (auto signal : {&EditorModel::projectChanged, &EditorModel::selectedClipIDChanged, &EditorModel::playheadChanged})
        connect(&model_, signal, this, qOverload<>(&QWidget::update));
}

void SelectionOverlay::setCanvasRect(const QRectF& rect) {
    if (canvas_ == rect) return;
    canvas_ = rect;
    update();
}

QRectF SelectionOverlay::canvasRect() const { return canvas_.value_or(QRectF(rect())); }

double SelectionOverlay::viewScale() const { return canvasRect().width() / double(std::max(model_.project().width, 1)); }

QPointF SelectionOverlay::toView(QPointF canvasPoint) const { return canvasRect().topLeft() + canvasPoint * viewScale(); }

QPointF SelectionOverlay::toCanvas(QPointF viewPoint) const { return (viewPoint - canvasRect().topLeft()) / viewScale(); }

std::optional<SelectionOverlay::Layer> SelectionOverlay::layer(const QUuid& clipID) const {
    const auto clip = model_.clip(clipID);
    if (!clip) return std::nullopt;
    const MediaItem* media = model_.project().mediaItem(clip->mediaID);
    if (!media || media->width <= 0 || media->height <= 0) return std::nullopt;
    const auto transform = model_.transform(clipID);
    if (!transform) return std::nullopt;
    Clip placed = *clip;
    placed.transform = *transform;
    const double t = model_.playhead() - clip->start + clip->sourceIn;
    const Project& p = model_.project();
    return Layer{clipPlacement(placed, media->width, media->height, t, p.width, p.height), double(media->width),
                 double(media->height)};
}

std::optional<SelectionOverlay::Layer> SelectionOverlay::selectedLayer() const {
    const auto clip = model_.selectedClip();
    if (!clip) return std::nullopt;
    const double p = model_.playhead();
    if (!(clip->start <= p && p < clip->start + clip->duration)) return std::nullopt;
    return layer(clip->id);
}

std::optional<std::pair<std::array<QPointF, 4>, QPointF>> SelectionOverlay::selectionOutline() const {
    const auto l = selectedLayer();
    const double s = viewScale();
    if (!l || !(s > 0)) return std::nullopt;
    const auto clip = model_.selectedClip();
    const QPointF corners[4] = {{0, 0}, {l->width, 0}, {l->width, l->height}, {0, l->height}};
    std::array<QPointF, 4> view;
    for (int i = 0; i < 4; ++i) view[std::size_t(i)] = toView(l->matrix.map(corners[i]));
    const Vec2 a = model_.transform(clip->id)->anchor.valueAt(model_.playhead() - clip->start + clip->sourceIn);
    return std::pair{view, toView(l->matrix.map(QPointF(a.x, a.y)))};
}

std::optional<SelectionOverlay::Hit> SelectionOverlay::hitTest(QPointF q) const {
    const auto l = selectedLayer();
    const double s = viewScale();
    if (!l || !(s > 0)) return std::nullopt;
    const double w = l->width, h = l->height;
    const QPointF handles[8] = {{0, 0}, {w, 0}, {w, h}, {0, h}, {w / 2, 0}, {w, h / 2}, {w / 2, h}, {0, h / 2}};
    for (const QPointF& handle : handles)
        if (distance(toView(l->matrix.map(handle)), q) <= kHandleRadius) return Hit{Mode::scale, handle};
    std::array<QPointF, 4> corners;
    for (std::size_t i = 0; i < 4; ++i) corners[i] = toView(l->matrix.map(handles[i]));
    const bool inside = polygonContains(corners, q);
    for (const QPointF& corner : corners) {
        const double d = distance(corner, q);
        if (d > kHandleRadius && d <= kRotateRing && !inside) return Hit{Mode::rotate, {}};
    }
    if (inside) return Hit{Mode::move, {}};
    return std::nullopt;
}

QUuid SelectionOverlay::clipAt(QPointF c) const {
    const Project& p = model_.project();
    for (const Track& track : p.tracks) {
        if (!track.isVisible) continue;
        const Clip* clip = track.clip(model_.playhead());
        if (!clip) continue;
        const MediaItem* media = p.mediaItem(clip->mediaID);
        if (!media || media->width <= 0 || media->height <= 0) continue;
        Clip placed = *clip;
        if (!placed.transform) placed.transform = model_.transform(clip->id);
        if (polygonContains(clipLayerTransform(placed, *media, model_.playhead(), p.width, p.height), c)) return clip->id;
    }
    return {};
}

namespace {

constexpr int kMarkerHalf = 12;

// The anchor marker (rings and cross hair) over its own shadow, black at 60 % spread by one
// pixel, so that it stays visible over white pictures. Centred in a square of 2 × kMarkerHalf.
const QImage& anchorMarker() {
    static const QImage marker = [] {
        const int side = 2 * kMarkerHalf;
        const QPointF centre(kMarkerHalf, kMarkerHalf);
        QImage shape(side, side, QImage::Format_ARGB32_Premultiplied);
        shape.fill(Qt::transparent);
        {
            QPainter p(&shape);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(QPen(QColor(0, 0, 0, 153), 0.5));
            p.drawEllipse(centre, 6, 6);
            p.setPen(QPen(Qt::white, 1.5));
            p.drawEllipse(centre, 5, 5);
            p.fillRect(QRectF(centre.x() - 9, centre.y() - 0.5, 18, 1), Qt::white);
            p.fillRect(QRectF(centre.x() - 0.5, centre.y() - 9, 1, 18), Qt::white);
        }
        // A 3 × 3 binomial blur of the shape's coverage is the radius-1 shadow.
        QImage result(side, side, QImage::Format_ARGB32_Premultiplied);
        result.fill(Qt::transparent);
        constexpr int weights[3] = {1, 2, 1};
        for (int y = 0; y < side; ++y) {
            auto* out = reinterpret_cast<QRgb*>(result.scanLine(y));
            for (int x = 0; x < side; ++x) {
                int sum = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int sx = x + dx, sy = y + dy;
                        if (sx < 0 || sy < 0 || sx >= side || sy >= side) continue;
                        sum += weights[dx + 1] * weights[dy + 1] * qAlpha(shape.pixel(sx, sy));
                    }
                out[x] = qRgba(0, 0, 0, sum * 6 / (16 * 10));
            }
        }
        QPainter(&result).drawImage(0, 0, shape);
        return result;
    }();
    return marker;
}

}  // namespace

void SelectionOverlay::paintEvent(QPaintEvent*) {
    const auto outline = selectionOutline();
    if (!outline) return;
    const auto& [c, anchor] = *outline;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor accent = palette().color(QPalette::Highlight);
    p.setPen(QPen(accent, 1.5));
    p.drawPolygon(c.data(), 4);
    const QPointF points[8] = {c[0], c[1], c[2], c[3], (c[0] + c[1]) / 2, (c[1] + c[2]) / 2, (c[2] + c[3]) / 2, (c[3] + c[0]) / 2};
    p.setPen(QPen(accent, 1));
    p.setBrush(Qt::white);
    for (const QPointF& point : points) p.drawRect(QRectF(point - QPointF(3.5, 3.5), QSizeF(7, 7)));
    p.drawImage(QPointF(anchor.x() - kMarkerHalf, anchor.y() - kMarkerHalf), anchorMarker());
}

void SelectionOverlay::mousePressEvent(QMouseEvent* event) {
    const double s = viewScale();
    if (event->button() != Qt::LeftButton || !(s > 0) || drag_) return;
    const QPointF start = toCanvas(event->position());
    if (model_.isPickingKeyColor()) {
        // A press is a click with no movement yet: the eyedropper takes it, nothing is selected;
        // the grey around the canvas has no colour to pick.
        if (canvasRect().contains(event->position())) showBusyWhile(model_.pickKeyColor(start));
        return;
    }
    std::optional<Hit> hit = hitTest(event->position());
    QUuid id = model_.selectedClipID();
    if (!hit) {
        id = clipAt(start);
        hit = Hit{Mode::move, {}};
    }
    const auto clip = model_.clip(id);
    const auto transform = id.isNull() ? std::nullopt : model_.transform(id);
    if (!clip || !transform) {
        model_.setSelectedClipID({});
        return;
    }
    model_.setSelectedClipID(id);
    // The whole drag, the click's own write included, is one undo step, and none when it changes nothing.
    model_.beginGesture();
    drag_ = Drag{*hit, id, *transform, model_.playhead() - clip->start + clip->sourceIn, start};
    apply(start, event->modifiers() & Qt::ShiftModifier);
}

void SelectionOverlay::mouseMoveEvent(QMouseEvent* event) {
    const double s = viewScale();
    if (!(s > 0)) return;
    if (!drag_) {
        updateHover(event->position());
        return;
    }
    apply(toCanvas(event->position()), event->modifiers() & Qt::ShiftModifier);
}

void SelectionOverlay::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !drag_) return;
    drag_.reset();
    model_.endGesture();
    updateHover(event->position());
}

void SelectionOverlay::leaveEvent(QEvent*) {
    if (!drag_ && busy_ == 0) unsetCursor();
}

void SelectionOverlay::showBusyWhile(QFuture<void> work) {
    // A pick decodes from the last key frame before the playhead, seconds in long-GOP sources.
    if (work.isFinished()) return;
    auto* watcher = new QFutureWatcher<void>(this);
    auto shown = std::make_shared<bool>(false);
    QTimer::singleShot(250, watcher, [this, watcher, shown] {
        if (watcher->isFinished()) return;
        *shown = true;
        ++busy_;
        setCursor(Qt::BusyCursor);
    });
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, shown] {
        watcher->deleteLater();
        if (!*shown || --busy_ > 0) return;
        if (underMouse())
            updateHover(mapFromGlobal(QCursor::pos()));
        else
            unsetCursor();
    });
    watcher->setFuture(std::move(work));
}

void SelectionOverlay::updateHover(QPointF q) {
    if (busy_ > 0) {
        setCursor(Qt::BusyCursor);
        return;
    }
    if (model_.isPickingKeyColor()) {
        setCursor(Qt::CrossCursor);
        return;
    }
    const auto hit = hitTest(q);
    if (!hit)
        unsetCursor();
    else
        setCursor(hit->mode == Mode::scale ? Qt::CrossCursor : hit->mode == Mode::move ? Qt::OpenHandCursor
                                                                                        : Qt::PointingHandCursor);
}

void SelectionOverlay::apply(QPointF q, bool shift) {
    const auto clip = model_.selectedClip();
    if (!clip || !std::isfinite(q.x()) || !std::isfinite(q.y())) return;
    const MediaItem* media = model_.project().mediaItem(clip->mediaID);
    if (!media) return;
    const Drag& d = *drag_;
    const double t0 = d.time;
    const Vec2 pos0 = d.transform.position.valueAt(t0);
    TransformProperty property = TransformProperty::position;
    TransformValue value;
    switch (d.hit.mode) {
        case Mode::rotate: {
            const double a0 = std::atan2(d.start.y() - pos0.y, d.start.x() - pos0.x);
            const double a1 = std::atan2(q.y() - pos0.y, q.x() - pos0.x);
            double r = d.transform.rotation.valueAt(t0) + (a1 - a0) * 180 / M_PI;
            if (shift) r = std::round(r / 45) * 45;
            value = std::clamp(roundTenth(r), -36000.0, 36000.0);
            property = TransformProperty::rotation;
            break;
        }
        case Mode::move: {
            QPointF delta = q - d.start;
            if (shift) delta = std::fabs(delta.y()) < std::fabs(delta.x()) ? QPointF(delta.x(), 0) : QPointF(0, delta.y());
            value = Vec2{std::round(pos0.x + delta.x()), std::round(pos0.y + delta.y())};
            break;
        }
        case Mode::scale: {
            const Project& p = model_.project();
            const Vec2 a0 = d.transform.anchor.valueAt(t0);
            const Vec2 s0 = d.transform.scale.valueAt(t0);
            const double theta = d.transform.rotation.valueAt(t0) * M_PI / 180;
            double fx = p.width / double(std::max(media->width, 1));
            double fy = p.height / double(std::max(media->height, 1));
            if (clip->fit == FitMode::fit) fx = fy = std::min(fx, fy);
            if (clip->fit == FitMode::fill) fx = fy = std::max(fx, fy);
            const QPointF v = q - QPointF(pos0.x, pos0.y);
            const QPointF local(std::cos(theta) * v.x() + std::sin(theta) * v.y(),
                                -std::sin(theta) * v.x() + std::cos(theta) * v.y());
            const QPointF hv = d.hit.handle - QPointF(a0.x, a0.y);
            const bool dx = std::fabs(hv.x()) > 0.5, dy = std::fabs(hv.y()) > 0.5;
            const double cx = dx ? 100 * local.x() / (hv.x() * fx) : s0.x;
            const double cy = dy ? 100 * local.y() / (hv.y() * fy) : s0.y;
            Vec2 scale{cx, cy};
            const bool uniform = d.transform.uniformScale;
            if (dx && dy && (uniform || shift)) {
                const QPointF e(hv.x() * fx * s0.x / 100, hv.y() * fy * s0.y / 100);
                const double k = (local.x() * e.x() + local.y() * e.y()) / std::max(e.x() * e.x() + e.y() * e.y(), 1e-9);
                scale = {s0.x * k, s0.y * k};
            } else if (!(dx && dy) && uniform) {
                const double k = dx ? cx / std::max(s0.x, 1e-9) : cy / std::max(s0.y, 1e-9);
                scale = {s0.x * k, s0.y * k};
            }
            value = Vec2{roundTenth(scale.x), roundTenth(scale.y)};
            property = TransformProperty::scale;
            break;
        }
    }
    // The model writes at the playhead, as a keyframe when the property is animated, and ignores
    // values that are not finite.
    model_.setPropertyValue(property, clip->id, value, false);
}

}  // namespace qm
