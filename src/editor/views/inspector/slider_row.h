#pragma once
// A titled slider for one continuous clip setting: title, value text, slider. A press-drag-release
// is one gesture; a key or wheel step without a press is a gesture of its own.

#include <functional>

#include <QString>
#include <QWidget>

class QLabel;
class QSlider;

namespace qm {

class SliderRow : public QWidget {
    Q_OBJECT

public:
    SliderRow(const QString& title, std::function<QString(double)> format, QWidget* parent = nullptr);
    ~SliderRow() override;

    // (new value, first change of the gesture) and the gesture's end.
    std::function<void(double, bool)> onChange;
    std::function<void()> onEnd;

    // Shows `value` (its text also outside the range; the thumb clamped into it).
    void setValue(double value, double lower, double upper);
    QSlider* slider() const { return slider_; }
    QLabel* valueLabel() const { return valueLabel_; }
    QString title() const;
    // Where the slider's thumb is, in the slider's pixels (a press there starts a drag).
    QPoint thumbCentre() const;

    // Fine enough that a slider pixel never skips a frame of a fade.
    static constexpr int kSteps = 100000;

private:
    void report(int position);
    void endGesture();

    std::function<QString(double)> format_;
    QLabel* titleLabel_;
    QLabel* valueLabel_;
    QSlider* slider_;
    double lower_ = 0;
    double upper_ = 1;
    bool pressed_ = false;
    bool recorded_ = false;
};

}  // namespace qm
