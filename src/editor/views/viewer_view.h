#pragma once
// The editor's picture monitor: the preview fitted into the pane over a checkerboard or black, the
// empty-project prompt, the eyedropper banner and the transport bar below.

#include <QSizeF>
#include <QWidget>

class QLabel;
class QPainter;
class QRectF;
class QToolButton;

namespace qm {

class EditorModel;
class SelectionOverlay;
struct Clip;
struct LTCInfo;
struct Project;
struct Timecode;

// The canvas inside an area of the given size: the project's aspect (height counted as at least
// 1), as large as fits, each side at least 1.
QSizeF fittedCanvas(QSizeF area, int projectWidth, int projectHeight);

// Light grey with dark 10-pixel squares, the top-left one dark, anchored at the rectangle's corner.
void paintCheckerboard(QPainter& painter, const QRectF& rect);

// "1920×1080 · 30 fps".
QString projectSizeText(int width, int height, double frameRate);

// The two lines of the LTC block: "LTC 01:02:03:04" and "name · 25 fps" (an empty name when the
// clip's medium is not in the project).
struct LTCLines {
    QString timecode;
    QString source;
    bool operator==(const LTCLines&) const = default;
};
LTCLines ltcLines(const Project& project, const Timecode& timecode, const Clip& clip, const LTCInfo& info);

class ViewerView : public QWidget {
    Q_OBJECT
public:
    explicit ViewerView(EditorModel& model, QWidget* parent = nullptr);

    // The picture area (grey, with the canvas centred in it, 12 inset).
    QWidget* pictureArea() const { return picture_; }
    QRectF canvasRect() const;
    QLabel* prompt() const { return prompt_; }
    QWidget* banner() const { return banner_; }
    QLabel* timecodeLabel() const { return timecode_; }
    QLabel* projectLabel() const { return projectText_; }
    // The LTC reading of the clip under the playhead; hidden when there is none.
    QWidget* ltcBlock() const { return ltcBlock_; }
    QLabel* ltcTimecodeLabel() const { return ltcTimecode_; }
    QLabel* ltcSourceLabel() const { return ltcSource_; }
    QToolButton* playButton() const { return play_; }
    QList<QToolButton*> transportButtons() const;
    SelectionOverlay* overlay() const { return overlay_; }

private:
    void refresh();

    EditorModel& model_;
    QWidget* picture_;
    QLabel* prompt_;
    QWidget* banner_;
    QLabel* timecode_;
    QLabel* projectText_;
    QWidget* ltcBlock_;
    QLabel* ltcTimecode_;
    QLabel* ltcSource_;
    QToolButton* start_;
    QToolButton* back_;
    QToolButton* play_;
    QToolButton* forward_;
    QToolButton* end_;
    SelectionOverlay* overlay_;
};

}  // namespace qm
