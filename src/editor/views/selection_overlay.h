#pragma once
// The on-canvas editing layer over the viewer's picture: the selected clip's outline, handles and
// anchor; a click selects the clip under the pointer; a drag moves, scales or rotates it as one
// undo step; in eyedropper mode a click picks the key colour instead.

#include <array>
#include <optional>

#include <QFuture>
#include <QPointF>
#include <QRectF>
#include <QTransform>
#include <QUuid>
#include <QWidget>

#include "editor/model/clip_transform.h"

namespace qm {

class EditorModel;

class SelectionOverlay : public QWidget {
    Q_OBJECT
public:
    enum class Mode { scale, move, rotate };
    struct Hit {
        Mode mode = Mode::move;
        QPointF handle;  // scale only: the handle in media pixels
    };

    explicit SelectionOverlay(EditorModel& model, QWidget* parent = nullptr);

    // Where the canvas lies in the overlay (the whole overlay until set). The overlay may reach
    // beyond the canvas so that handles of a clip hanging over its edge stay visible and grabbable.
    void setCanvasRect(const QRectF& rect);
    QRectF canvasRect() const;
    // View points per canvas pixel; not positive while the canvas has no size.
    double viewScale() const;
    // Canvas pixels to overlay points and back.
    QPointF toView(QPointF canvasPoint) const;
    QPointF toCanvas(QPointF viewPoint) const;
    // The selected clip's corners (top-left, top-right, bottom-right, bottom-left) and anchor in
    // view points, when it is on screen at the playhead.
    std::optional<std::pair<std::array<QPointF, 4>, QPointF>> selectionOutline() const;
    std::optional<Hit> hitTest(QPointF viewPoint) const;
    // The topmost visible clip whose picture covers a canvas point.
    QUuid clipAt(QPointF canvasPoint) const;
    bool dragging() const { return drag_.has_value(); }
    // Shows the busy cursor while `work` (a key-colour pick) runs on after a moment.
    void showBusyWhile(QFuture<void> work);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    struct Layer {
        QTransform matrix;  // media pixels to canvas pixels
        double width = 0;
        double height = 0;
    };
    struct Drag {
        Hit hit;
        QUuid clipID;
        ClipTransform transform;
        double time = 0;
        QPointF start;  // canvas pixels
    };
    std::optional<Layer> layer(const QUuid& clipID) const;
    std::optional<Layer> selectedLayer() const;
    void apply(QPointF canvasPoint, bool shift);
    void updateHover(QPointF viewPoint);

    EditorModel& model_;
    std::optional<QRectF> canvas_;
    std::optional<Drag> drag_;
    int busy_ = 0;  // picks still running after their moment
};

}  // namespace qm
