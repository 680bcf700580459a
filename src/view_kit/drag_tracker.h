#pragma once
// A press-move-release drag measured in global coordinates: it starts once the pointer has moved
// a minimum distance from the press, and hands each change the modifiers of its own event (the
// offscreen platforms keep no key state to ask for). With a minimum of 0 the press itself is the
// drag's first change.

#include <optional>

#include <QPointF>
#include <Qt>

class QMouseEvent;

namespace qm {

class DragTracker {
public:
    struct Change {
        QPointF translation;  // global, since the press
        QPointF position;     // the event's position in the receiving widget
        Qt::KeyboardModifiers modifiers;
        bool first = false;  // the drag's first change
    };

    explicit DragTracker(double minimumDistance = 2.0) : minimumDistance_(minimumDistance) {}

    // A left-button press starts tracking; with a minimum of 0 it is the first change.
    std::optional<Change> press(const QMouseEvent& event);
    // A change once the drag has started; nothing before (or without a press).
    std::optional<Change> move(const QMouseEvent& event);
    // Ends tracking; true when a drag had started (false: a click).
    bool release();
    // Forgets a press without reporting (the widget lost the pointer).
    void cancel() { pressed_ = dragging_ = false; }

    bool isPressed() const { return pressed_; }
    bool isDragging() const { return dragging_; }

private:
    Change change(const QMouseEvent& event);

    double minimumDistance_;
    QPointF origin_;
    bool pressed_ = false;
    bool dragging_ = false;
};

}  // namespace qm
