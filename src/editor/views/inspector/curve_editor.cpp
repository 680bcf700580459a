#include "editor/views/inspector/curve_editor.h"

#include <algorithm>
#include <cmath>

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "view_kit/form_style.h"

namespace qm {

namespace {
constexpr qreal kHandleRadius = 5;
}

ToneCurve movedCurvePoint(const ToneCurve& curve, int index, QPointF location, QSizeF size) {
    ToneCurve moved = curve;
    auto& points = moved.points;
    const int n = int(points.size());
    if (index < 0 || index >= n || size.width() <= 0 || size.height() <= 0) return moved;
    double x = 0;
    if (index == 0) {
        x = 0;
    } else if (index == n - 1) {
        x = 1;
    } else {
        // The lower bound first and the upper bound last, so a tight gap gives the upper.
        x = std::min(std::max(location.x() / size.width(), points[index - 1].x + 0.05), points[index + 1].x - 0.05);
    }
    const double y = std::min(std::max(1 - location.y() / size.height(), 0.0), 1.0);
    points[index] = {x, y};
    return moved;
}

CurveEditor::CurveEditor(QWidget* parent) : QWidget(parent) { setFixedSize(170, 170); }

CurveEditor::~CurveEditor() {
    if (dragging_ && onEnd) onEnd();
}

void CurveEditor::setCurve(const ToneCurve& curve) {
    if (curve == curve_) return;
    curve_ = curve;
    update();
}

QPointF CurveEditor::handleCentre(int index) const {
    const Vec2& p = curve_.points.at(std::size_t(index));
    return {p.x * width(), (1 - p.y) * height()};
}

void CurveEditor::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal w = width();
    const qreal h = height();
    QPainterPath frame;
    frame.addRoundedRect(rect(), 4, 4);
    p.setClipPath(frame);
    p.fillRect(rect(), QColor(0, 0, 0, 64));
    QColor grid = secondaryColor(this);
    grid.setAlphaF(0.25f);
    p.setPen(QPen(grid, 0.5));
    for (double f : {0.25, 0.5, 0.75}) {
        p.drawLine(QPointF(f * w, 0), QPointF(f * w, h));
        p.drawLine(QPointF(0, f * h), QPointF(w, f * h));
    }
    QColor diagonal = secondaryColor(this);
    diagonal.setAlphaF(0.35f);
    QPen dashed(diagonal, 0.5, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
    dashed.setDashPattern({6, 6});  // 3 on, 3 off at a width of 0.5
    p.setPen(dashed);
    p.drawLine(QPointF(0, h), QPointF(w, 0));
    QPainterPath line;
    for (int i = 0; i <= 100; ++i) {
        const double x = i / 100.0;
        const QPointF point(x * w, (1 - curve_.value(x)) * h);
        if (i == 0)
            line.moveTo(point);
        else
            line.lineTo(point);
    }
    p.setPen(QPen(Qt::white, 1.5));
    p.drawPath(line);
    for (int i = 0; i < int(curve_.points.size()); ++i) {
        p.setPen(QPen(QColor(0, 0, 0, 128), 0.8));
        p.setBrush(dragging_ == i ? accentColor(this) : QColor(Qt::white));
        p.drawEllipse(handleCentre(i), kHandleRadius, kHandleRadius);
    }
}

void CurveEditor::mousePressEvent(QMouseEvent* event) {
    // The circle is the hit area; of overlapping handles the last drawn (topmost) wins.
    pressedHandle_ = -1;
    for (int i = int(curve_.points.size()) - 1; i >= 0; --i) {
        const QPointF d = event->position() - handleCentre(i);
        if (std::hypot(d.x(), d.y()) <= kHandleRadius) {
            pressedHandle_ = i;
            break;
        }
    }
    if (pressedHandle_ < 0) return;
    if (const auto c = drag_.press(*event)) change(c->position);
}

void CurveEditor::mouseMoveEvent(QMouseEvent* event) {
    if (pressedHandle_ < 0) return;
    if (const auto c = drag_.move(*event)) change(c->position);
}

void CurveEditor::mouseReleaseEvent(QMouseEvent*) {
    if (pressedHandle_ < 0) return;
    drag_.release();
    pressedHandle_ = -1;
    const bool ended = dragging_.has_value();
    dragging_.reset();
    update();
    if (ended && onEnd) onEnd();
}

void CurveEditor::change(QPointF position) {
    const bool first = !dragging_.has_value();
    dragging_ = pressedHandle_;
    const ToneCurve moved = movedCurvePoint(curve_, pressedHandle_, position, QSizeF(size()));
    curve_ = moved;  // the owner's rebuild brings the same curve
    update();
    if (onChange) onChange(moved, first);
}

}  // namespace qm
