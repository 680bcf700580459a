#pragma once
// The editor's window content: media bin and viewer above the timeline in a vertical splitter,
// beside the 330-wide inspector. Starts the key monitor and asks for a preview when shown; stops
// the monitor and pauses playback when hidden.

#include <QWidget>

class QSplitter;

namespace qm {

class EditorKeyMonitor;
class EditorModel;
class InspectorView;
class MediaBinView;
class ViewerView;

class EditorView : public QWidget {
    Q_OBJECT
public:
    explicit EditorView(EditorModel& model, QWidget* parent = nullptr);
    ~EditorView() override;

    QSplitter* splitter() const { return splitter_; }
    MediaBinView* mediaBin() const { return bin_; }
    ViewerView* viewer() const { return viewer_; }
    QWidget* timeline() const { return timeline_; }
    InspectorView* inspector() const { return inspector_; }
    const EditorKeyMonitor& keyMonitor() const { return *keyMonitor_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    EditorModel& model_;
    EditorKeyMonitor* keyMonitor_;
    QSplitter* splitter_;
    MediaBinView* bin_;
    ViewerView* viewer_;
    QWidget* timeline_;
    InspectorView* inspector_;
};

}  // namespace qm
