#pragma once
// The time side of the timeline: ruler, one lane per layer with its clips painted as items, the
// property-row slots of expanded layers and the playhead. It is as wide as its viewport, never as
// wide as the content (ten hours at high zoom exceed the largest widget); a scroll offset in
// content points says which slice it shows.

#include <optional>

#include <QHash>
#include <QStaticText>
#include <QWidget>

#include "editor/model/project.h"
#include "editor/views/timeline/clip_stamps.h"
#include "editor/views/timeline/property_lane.h"
#include "editor/views/timeline/timeline_geometry.h"
#include "view_kit/drag_tracker.h"

class QMenu;

namespace qm {

class EditorModel;
class GraphEditorView;

class TimelineContent : public QWidget {
    Q_OBJECT

public:
    TimelineContent(EditorModel& editor, QWidget* parent = nullptr);

    // The horizontal offset in content points (set by the panel's scroll bar).
    double scrollX() const { return scrollX_; }
    void setScrollX(double x);
    void setGraphHeight(double height);
    double graphHeight() const { return graphHeight_; }

    // The graph editor under the ruler, shown in place of the lanes while the model asks for it.
    GraphEditorView* graphView() const { return graph_; }

    timeline::TimelineGeometry geometry() const;
    QPointF toContent(QPointF widgetPoint) const { return widgetPoint + QPointF(scrollX_, 0); }
    QPointF toWidget(QPointF contentPoint) const { return contentPoint - QPointF(scrollX_, 0); }

    // The clip's context menu (the caller owns it); tests trigger its actions.
    QMenu* clipMenu(const QUuid& clipID, QWidget* parent);
    // The keyframe mark at a point in content points, and the property row holding a point.
    std::optional<timeline::KeyframeMark> keyframeAt(QPointF contentPoint) const;
    std::optional<std::pair<std::size_t, timeline::PropertyRow>> propertyRowAt(QPointF contentPoint) const;

signals:
    // The content width, the lanes height or the scroll limits may have changed.
    void extentChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct Drag {
        timeline::ClipPart part = timeline::ClipPart::body;
        QUuid clipID;
        std::size_t track = 0;
        std::optional<Clip> origin;  // the clip at the drag's first change
        double verticalOffset = 0;
    };

    void paintRuler(QPainter& painter, const timeline::TimelineGeometry& g, const QRectF& exposed);
    void paintLanes(QPainter& painter, const timeline::TimelineGeometry& g, const QRectF& exposed);
    void paintClip(QPainter& painter, const timeline::TimelineGeometry& g, const Clip& clip, std::size_t track);
    void paintLabel(QPainter& painter, const QRectF& box, const QString& text);
    void dragChanged(const DragTracker::Change& change);
    void finishDrag();
    void seekRuler(double widgetX);
    void repaintPlayhead();
    double playheadX() const;
    void placeGraph();

    EditorModel& editor_;
    GraphEditorView* graph_;
    double scrollX_ = 0;
    double graphHeight_ = 200;
    double paintedPlayheadX_ = 0;
    DragTracker tracker_;
    std::optional<Drag> drag_;
    std::optional<timeline::KeyframeDrag> keyframeDrag_;
    bool rulerDrag_ = false;
    std::optional<std::size_t> dropTarget_;
    timeline::ClipStamps stamps_;
    QHash<QString, QStaticText> labels_;  // by font key and text
};

}  // namespace qm
