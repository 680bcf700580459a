#pragma once
// The inspector of the selected clip: timing, the LTC of its media, transform rows, keying,
// colour, compositing, fades, volume and the clip commands. Which sections show depends on the
// media (picture, sound) and on LTC found in it; they are built again only when that changes.

#include <QUuid>
#include <QWidget>

#include <vector>

#include "editor/model/project.h"
#include "editor/sync/timecode.h"

class QComboBox;
class QGridLayout;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace qm {

class ColorSection;
class EditorModel;
class KeyingSection;
class MiddleElidedLabel;
class SliderRow;
class TransformPropertyRow;

// The texts of numbers that may come from damaged data: "--" when not finite.
QString volumeText(double volume);
QString fadeText(double seconds);
// A time as the inspector's timecode, "--" when it cannot be shown.
QString timingText(double seconds, double rate);
// The LTC grid's four values for a clip: in and out timecodes, rate, channel.
QStringList ltcTexts(const LTCInfo& info, const Clip& clip);

class ClipInspector : public QWidget {
    Q_OBJECT

public:
    ClipInspector(EditorModel& model, QUuid clipID, QWidget* parent = nullptr);
    QUuid clipID() const { return clipID_; }
    // Updates in place, or builds the sections again when the set of sections changed.
    void refresh();
    KeyingSection* keying() const { return keying_; }
    ColorSection* color() const { return color_; }

signals:
    // "Sync Other Clips to This": the host runs the sync with this clip as the reference.
    void syncRequested(const QUuid& clipID);
    // The sections were built again (the host re-applies its wheel rule).
    void rebuilt();

private:
    struct Shape {
        bool picture = true;
        bool audio = false;
        bool ltc = false;
        bool operator==(const Shape&) const = default;
    };
    Shape shape() const;
    void build();
    void buildCompositing(QVBoxLayout* form);
    void update();

    EditorModel& model_;
    QUuid clipID_;
    Shape shape_;
    QWidget* body_ = nullptr;
    MiddleElidedLabel* name_ = nullptr;
    QLabel* timing_[3] = {};
    QLabel* ltc_[4] = {};
    QPushButton* sync_ = nullptr;
    std::vector<TransformPropertyRow*> rows_;
    KeyingSection* keying_ = nullptr;
    ColorSection* color_ = nullptr;
    QComboBox* blend_ = nullptr;
    QComboBox* fit_ = nullptr;
    SliderRow* fadeIn_ = nullptr;
    SliderRow* fadeOut_ = nullptr;
    SliderRow* volume_ = nullptr;
};

}  // namespace qm
