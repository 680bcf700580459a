#pragma once
// The rows of an expanded layer, one per animatable property: a header with the property's compact
// controls, and a lane that marks every keyframe of that property on the layer's clips. Marks are
// selected, dragged in whole frames (one undo step a drag that changed something) and carry the
// keyframe commands in their menu.

#include <optional>
#include <vector>

#include <QRectF>
#include <QUuid>
#include <QWidget>

#include "editor/model/project.h"
#include "view_kit/drag_tracker.h"

class QMenu;
class QMouseEvent;
class QPainter;

namespace qm {

class EditorModel;
class TransformPropertyRow;

// The header column's side of a property row: the compact row of the layer's lane clip, or the
// property's name for a layer without clips.
class PropertyHeader : public QWidget {
    Q_OBJECT

public:
    PropertyHeader(EditorModel& editor, const QUuid& trackID, TransformProperty property, QWidget* parent = nullptr);

    const QUuid& trackID() const { return trackID_; }
    TransformProperty property() const { return property_; }
    // Null while the layer has no clip (the name shows then).
    TransformPropertyRow* row() const { return row_; }
    QString nameText() const;

private:
    void refresh();

    EditorModel& editor_;
    QUuid trackID_;
    TransformProperty property_;
    QUuid clipID_;  // the lane clip the row was built for
    bool built_ = false;
    QWidget* content_ = nullptr;
    TransformPropertyRow* row_ = nullptr;
};

namespace timeline {

inline constexpr double keyframeSize = 12;
inline constexpr double keyframeSlop = 3;  // the hit area reaches this far beyond the glyph

// One keyframe mark of a property row in content points.
struct KeyframeMark {
    QUuid clipID;
    QUuid keyframeID;
    KeyframeEase easeIn = KeyframeEase::linear;
    KeyframeEase easeOut = KeyframeEase::linear;
    QRectF glyph;          // 12 × 12
    double opacity = 1.0;  // dimmed outside the media range the clip uses
    bool operator==(const KeyframeMark&) const = default;
    QRectF hitRect() const { return glyph.adjusted(-keyframeSlop, -keyframeSlop, keyframeSlop, keyframeSlop); }
};

// The faint bar over a clip's span in a property row whose top is `top`.
QRectF spanBar(const Clip& clip, double pixelsPerSecond, double top);
// The marks of `property` over the layer's clips, in paint order (later clips above).
std::vector<KeyframeMark> keyframeMarks(const Track& track, TransformProperty property, double pixelsPerSecond,
                                        double top);
// The topmost mark whose hit area holds `point`.
std::optional<KeyframeMark> markAt(const std::vector<KeyframeMark>& marks, QPointF point);

void paintPropertyLane(QPainter& painter, const EditorModel& editor, const Track& track, TransformProperty property,
                       double top, double left, double width, const QColor& primary, const QColor& accent);

// The lane background's menu (the caller owns it).
QMenu* laneMenu(EditorModel& editor, QWidget* parent);
// A keyframe mark's menu (the caller owns it).
QMenu* keyframeMenu(EditorModel& editor, const QUuid& clipID, const QUuid& keyframeID, QWidget* parent);

// A press on a keyframe mark up to its release: a click selects, a drag moves the selected
// keyframes of the clip in whole frames as one gesture.
class KeyframeDrag {
public:
    KeyframeDrag(EditorModel& editor, QUuid clipID, QUuid keyframeID);

    const QUuid& keyframeID() const { return keyframeID_; }
    void press(const QMouseEvent& event) { tracker_.press(event); }
    void move(const QMouseEvent& event);
    // A release without a drag is a click (Shift from the event extends the selection).
    void release(const QMouseEvent& event);
    // The pointer was lost: what moved stays, the gesture ends.
    void cancel();

private:
    void change(const DragTracker::Change& change);
    void finish();

    EditorModel& editor_;
    QUuid clipID_;
    QUuid keyframeID_;
    DragTracker tracker_{2.0};
    std::optional<double> applied_;  // the whole-frame shift already applied during a drag
};

}  // namespace timeline
}  // namespace qm
