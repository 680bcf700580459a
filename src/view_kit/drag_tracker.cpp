#include "view_kit/drag_tracker.h"

#include <cmath>

#include <QMouseEvent>

namespace qm {

DragTracker::Change DragTracker::change(const QMouseEvent& event) {
    Change c;
    c.translation = event.globalPosition() - origin_;
    c.position = event.position();
    c.modifiers = event.modifiers();
    c.first = !dragging_;
    dragging_ = true;
    return c;
}

std::optional<DragTracker::Change> DragTracker::press(const QMouseEvent& event) {
    if (event.button() != Qt::LeftButton) return std::nullopt;
    origin_ = event.globalPosition();
    pressed_ = true;
    dragging_ = false;
    if (minimumDistance_ > 0) return std::nullopt;
    return change(event);
}

std::optional<DragTracker::Change> DragTracker::move(const QMouseEvent& event) {
    if (!pressed_) return std::nullopt;
    if (!dragging_) {
        const QPointF d = event.globalPosition() - origin_;
        if (std::hypot(d.x(), d.y()) < minimumDistance_) return std::nullopt;
    }
    return change(event);
}

bool DragTracker::release() {
    const bool dragged = dragging_;
    pressed_ = dragging_ = false;
    return dragged;
}

}  // namespace qm
