#pragma once
// The tone curve's square graph: drag a point's handle to move it (ends move vertically only,
// inner points keep their order); points are never added or removed here.

#include <functional>
#include <optional>

#include <QSizeF>
#include <QWidget>

#include "editor/model/clip_transform.h"
#include "view_kit/drag_tracker.h"

namespace qm {

// The curve with point `index` moved to the pointer at `location` in an area of `size`.
ToneCurve movedCurvePoint(const ToneCurve& curve, int index, QPointF location, QSizeF size);

class CurveEditor : public QWidget {
    Q_OBJECT

public:
    explicit CurveEditor(QWidget* parent = nullptr);
    ~CurveEditor() override;

    std::function<void(const ToneCurve&, bool)> onChange;
    std::function<void()> onEnd;

    void setCurve(const ToneCurve& curve);
    const ToneCurve& curve() const { return curve_; }
    std::optional<int> dragging() const { return dragging_; }
    // The handle centre of point `index` in widget pixels.
    QPointF handleCentre(int index) const;

    QSize sizeHint() const override { return {170, 170}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void change(QPointF position);

    ToneCurve curve_;
    DragTracker drag_{0.0};
    std::optional<int> dragging_;
    int pressedHandle_ = -1;
};

}  // namespace qm
