#pragma once
// The editor's window content: media bin and viewer above the timeline in a vertical splitter,
// beside the 330-wide inspector. Starts the key monitor and asks for a preview when shown; stops
// the monitor and pauses playback when hidden.

#include <QWidget>

class QDialog;
class QLabel;
class QMessageBox;
class QProgressBar;
class QSplitter;

namespace qm {

class EditorKeyMonitor;
class EditorModel;
class ExportSheet;
class InspectorView;
class MediaBinView;
class TimelineView;
class ViewerView;

class EditorView : public QWidget {
    Q_OBJECT
public:
    explicit EditorView(EditorModel& model, QWidget* parent = nullptr);
    ~EditorView() override;

    QSplitter* splitter() const { return splitter_; }
    MediaBinView* mediaBin() const { return bin_; }
    ViewerView* viewer() const { return viewer_; }
    TimelineView* timeline() const { return timeline_; }
    InspectorView* inspector() const { return inspector_; }
    const EditorKeyMonitor& keyMonitor() const { return *keyMonitor_; }

    // The alerts while they are up (nullptr otherwise) and the packaging capsule.
    QMessageBox* importAlert() const { return importAlert_; }
    QMessageBox* packageAlert() const { return packageAlert_; }
    // The sync report sheet while it is up (nullptr otherwise).
    QDialog* syncSheet() const { return syncSheet_; }
    // The export sheet while it is up (nullptr otherwise).
    ExportSheet* exportSheet() const { return exportSheet_; }
    QWidget* packagingCapsule() const { return capsule_; }
    QLabel* packagingText() const { return capsuleText_; }
    QProgressBar* packagingBar() const { return capsuleBar_; }

    // "Packaging… 3 of 7 files".
    static QString packagingText(int done, int total);
    // The package result alert's message.
    static QString packageMessage(const QString& url, const QStringList& missing);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void showImportErrors();
    void showPackageResult();
    void showPackaging();
    void showSyncReport();
    void showExportSheet();
    QMessageBox* makeAlert(const QString& title);
    void keepAlertsOf(QWidget* sheet);

    EditorModel& model_;
    EditorKeyMonitor* keyMonitor_;
    QSplitter* splitter_;
    MediaBinView* bin_;
    ViewerView* viewer_;
    TimelineView* timeline_;
    InspectorView* inspector_;
    QMessageBox* importAlert_ = nullptr;
    bool saveFailed_ = false;  // the errors about to be shown come from a failed save
    QMessageBox* packageAlert_ = nullptr;
    QDialog* syncSheet_ = nullptr;
    ExportSheet* exportSheet_ = nullptr;
    QWidget* capsule_;
    QLabel* capsuleText_;
    QProgressBar* capsuleBar_;
};

}  // namespace qm
