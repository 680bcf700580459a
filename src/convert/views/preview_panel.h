#pragma once
// The Convert preview: the selected file's picture over a checkerboard, a transport row and the
// Source / Output switch. Everything shown comes from the queue's PreviewModel.

#include <QString>
#include <QWidget>

class QLabel;
class QSlider;
class QToolButton;
class QProgressBar;
class QButtonGroup;
class QPushButton;

namespace qm {

class ConversionQueue;
class PreviewModel;

// "%d:%05.2f" of a time in seconds (negative or NaN reads as 0).
QString previewTimeText(double seconds);

// Fixed 8-point grey squares behind transparent pictures.
void paintCheckerboard(class QPainter& painter, const QRect& area);

class PreviewPanel : public QWidget {
    Q_OBJECT
public:
    explicit PreviewPanel(ConversionQueue& queue, QWidget* parent = nullptr);

    QToolButton* playButton() const { return play_; }
    QSlider* scrubber() const { return scrubber_; }
    QLabel* timeLabel() const { return time_; }
    QPushButton* sourceButton() const { return source_; }
    QPushButton* outputButton() const { return output_; }
    // The text shown in place of a picture (empty while a picture is shown).
    QString placeholderText() const;
    bool spinnerVisible() const;

private:
    void refresh();
    PreviewModel& model_;
    class PictureView* picture_ = nullptr;
    QToolButton* play_ = nullptr;
    QSlider* scrubber_ = nullptr;
    QLabel* time_ = nullptr;
    QPushButton* source_ = nullptr;
    QPushButton* output_ = nullptr;
    QWidget* switch_ = nullptr;
    bool updatingScrubber_ = false;
};

}  // namespace qm
