#pragma once
// The inspector while no clip is selected: canvas size, frame rate, transparent background, the
// timeline's length and layer count, and how to reach the clip settings.

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

namespace qm {

class EditorModel;

// The frame-rate choice nearest to `rate` (ties keep the lower).
double nearestFrameRateChoice(double rate);

class ProjectInspector : public QWidget {
    Q_OBJECT

public:
    explicit ProjectInspector(EditorModel& model, QWidget* parent = nullptr);
    void refresh();

private:
    void commitSize(QLineEdit* field, bool width);
    void writeProject(double frameRate, bool transparent);

    EditorModel& model_;
    QComboBox* size_;
    QLineEdit* width_;
    QLineEdit* height_;
    QComboBox* frameRate_;
    QCheckBox* transparent_;
    QLabel* length_;
};

}  // namespace qm
