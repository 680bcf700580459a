#pragma once
// The graph editor: one keyframed property of the selected clip drawn as value over time under
// the ruler, on the lanes' time axis. Points drag value and (without Shift) time in whole frames;
// the ease handles of selected keyframes drag influence and speed. Each drag that changes the
// project is one undo step, and the value axis holds still while it runs.
//
// Like the content that holds it, the view is as wide as the viewport and paints the slice the
// scroll offset names. Its "graph" space: content x (before scrolling), y from the graph's top.

#include <cstddef>
#include <optional>
#include <vector>

#include <QString>
#include <QUuid>
#include <QWidget>

#include "editor/model/project.h"
#include "view_kit/drag_tracker.h"

namespace qm {

class EditorModel;

class GraphEditorView : public QWidget {
    Q_OBJECT

public:
    struct ValueRange {
        double lo = 0;
        double hi = 1;
        bool operator==(const ValueRange&) const = default;
    };

    // Clip time and value against graph points; 22 points of margin above and below the plot.
    struct Geometry {
        Clip clip;
        double pps = 60;
        ValueRange range;
        double height = 0;

        static constexpr double margin = 22;
        double x(double clipTime) const;
        double timelineX(double time) const;
        double time(double x) const;
        double y(double value) const;
        double value(double y) const;
    };

    // What the graph shows: one property of one clip, its keyframes in time order.
    struct Scene {
        TransformProperty property = TransformProperty::anchor;
        ClipTransform transform;
        std::vector<GraphKeyframe> keys;
        std::size_t components = 1;
        Geometry geometry;

        // Component c of the property's value at a clip time.
        double valueAt(double clipTime, std::size_t c) const;
        // A keyframe's point for component c.
        QPointF point(const GraphKeyframe& k, std::size_t c) const;
    };

    enum class ItemKind { point, outHandle, inHandle };
    // A point or ease handle; `keyframe` indexes the scene's keys (for a handle, the keyframe whose
    // side it shapes).
    struct Item {
        ItemKind kind = ItemKind::point;
        std::size_t keyframe = 0;
        std::size_t component = 0;
        QPointF centre;  // graph space
        bool operator==(const Item&) const = default;
    };

    struct GridLine {
        double y = 0;
        QString label;
        bool operator==(const GridLine&) const = default;
    };

    GraphEditorView(EditorModel& editor, QWidget* parent = nullptr);

    // The horizontal offset in content points (the timeline's scroll bar).
    double scrollX() const { return scrollX_; }
    void setScrollX(double x);
    QPointF toGraph(QPointF widgetPoint) const { return widgetPoint + QPointF(scrollX_, 0); }
    QPointF toWidget(QPointF graphPoint) const { return graphPoint - QPointF(scrollX_, 0); }

    // Nothing for the empty state.
    std::optional<Scene> scene() const;
    // Points and handles in paint order (per component: handles, then points).
    std::vector<Item> items(const Scene& scene) const;
    // The topmost point or handle whose hit area holds a graph point.
    std::optional<Item> itemAt(QPointF graphPoint) const;

    // The drag's view state; all three are empty outside a drag.
    const std::optional<ValueRange>& frozenRange() const { return frozenRange_; }
    const std::optional<double>& appliedShift() const { return appliedShift_; }
    const std::optional<double>& dragStartValue() const { return dragStartValue_; }

    // The range the keyframes' values and 121 samples of the curve span, padded by 12 %.
    static ValueRange automaticRange(const Scene& scene);
    // Five lines from the bottom of the range up, labelled "%.1f".
    static std::vector<GridLine> gridLines(const Geometry& geometry);
    // The normalised Bezier handles of a segment from a to b (the model's eased evaluation).
    static QPointF outHandle(const GraphKeyframe& a);
    static QPointF inHandle(const GraphKeyframe& b);
    // A point drag's value: `start` moved by a vertical travel, to two decimals.
    static double draggedValue(double start, double dy, const Geometry& geometry);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct Press {
        std::optional<Item> item;  // nothing: the empty graph
        QUuid clipID;
        TransformProperty property = TransformProperty::anchor;
        QUuid keyframeID;  // the point's keyframe, or the handle's target
        QUuid a, b;        // a handle's segment
        DragTracker tracker;
    };

    void paintEmpty(QPainter& painter);
    void paintScene(QPainter& painter, const Scene& scene, const QRectF& exposed);
    void pointStep(const DragTracker::Change& change);
    void handleStep(const DragTracker::Change& change);
    void finish();
    QColor componentColour(std::size_t components, std::size_t c) const;

    EditorModel& editor_;
    double scrollX_ = 0;
    std::optional<Press> press_;
    std::optional<ValueRange> frozenRange_;
    std::optional<double> appliedShift_;
    std::optional<double> dragStartValue_;
};

}  // namespace qm
