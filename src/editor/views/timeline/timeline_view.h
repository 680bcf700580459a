#pragma once
// The editor's timeline panel: toolbar, then one vertically scrolling area with the layer-header
// column beside the timeline content, which a scroll bar of its own moves sideways.

#include <QHash>
#include <QUuid>
#include <QWidget>

class QLabel;
class QProgressBar;
class QScrollArea;
class QScrollBar;
class QSlider;
class QToolButton;
class QVBoxLayout;

namespace qm {

class EditorModel;
class TimelineContent;
class TrackHeader;
class PropertyHeader;

class TimelineView : public QWidget {
    Q_OBJECT

public:
    TimelineView(EditorModel& editor, QWidget* parent = nullptr);

    TimelineContent* content() const { return content_; }
    QScrollArea* scrollArea() const { return scroll_; }
    QScrollBar* horizontalBar() const { return hbar_; }
    QSlider* zoomSlider() const { return zoom_; }
    // Toolbar buttons by their label ("Add Layer", "Split", …, "Sync to Selected").
    QToolButton* button(const QString& label) const;
    TrackHeader* header(const QUuid& trackID) const { return headers_.value(trackID); }
    // The property rows' headers of a layer, top to bottom.
    QList<PropertyHeader*> propertyHeaders(const QUuid& trackID) const;

    double visibleHeight() const { return visibleHeight_; }
    double graphHeight() const;

    // Zoom slider positions: log2 of pixels per second, in steps of 1 / sliderScale.
    static constexpr int sliderScale = 10000;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void rebuildHeaders();
    void refresh();
    void layoutContent();
    void syncSlider();

    EditorModel& editor_;
    QHash<QString, QToolButton*> buttons_;
    QProgressBar* spinner_;
    QLabel* syncText_;
    QSlider* zoom_;
    QScrollArea* scroll_;
    QWidget* headerColumn_;
    QVBoxLayout* headerRows_;
    TimelineContent* content_;
    QScrollBar* hbar_;
    QHash<QUuid, TrackHeader*> headers_;
    QList<QUuid> headerOrder_;
    QList<QList<int>> headerProperties_;
    double visibleHeight_ = 300;
};

}  // namespace qm
