#pragma once
// One animatable property of a clip as a row: stopwatch, name, value fields, keyframe navigation.
// Every value edit is keyframe-aware: a static value without keyframes, else a keyframe at the
// playhead.

#include <QUuid>
#include <QWidget>

#include "editor/model/clip_transform.h"

class QPushButton;
class QToolButton;
class QHBoxLayout;

namespace qm {

class EditorModel;
class ScrubField;

// Wires a continuous control's first change and its end into one model gesture.
void beginGestureIfFirst(EditorModel& model, bool first);

class TransformPropertyRow : public QWidget {
    Q_OBJECT

public:
    TransformPropertyRow(EditorModel& model, QUuid clipID, TransformProperty property, bool compact,
                         QWidget* parent = nullptr);

    // Reads the model again and updates the row in place.
    void refresh();

    TransformProperty property() const { return property_; }
    ScrubField* field(int component) const { return fields_[component]; }

private:
    void writeScalar(double value, bool first);
    void writePair(int component, double value, bool first);
    void setIcon(QToolButton* button, const char* symbol, bool active, int size);

    EditorModel& model_;
    QUuid clipID_;
    TransformProperty property_;
    bool compact_;
    QToolButton* stopwatch_;
    QPushButton* name_;
    ScrubField* fields_[2] = {nullptr, nullptr};
    QToolButton* link_ = nullptr;
    QWidget* navigation_;
    QToolButton* previous_;
    QToolButton* keyframe_;
    QToolButton* next_;
    QWidget* placeholder_;
    // The pair shown, and the one at the start of a scale gesture (its ratio holds for the whole
    // gesture, so a drag through 0 does not lose it).
    Vec2 shown_;
    Vec2 gestureStart_;
    bool uniform_ = true;
};

}  // namespace qm
