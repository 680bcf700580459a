#pragma once
// The editor's right-hand panel: the project inspector while no clip is selected, else the clip
// inspector, and below them the "Export…" button (also Ctrl+E).

#include <QUuid>
#include <QWidget>

class QPushButton;
class QScrollArea;

namespace qm {

class ClipInspector;
class EditorModel;
class ProjectInspector;

class InspectorView : public QWidget {
    Q_OBJECT

public:
    explicit InspectorView(EditorModel& model, QWidget* parent = nullptr);

    ClipInspector* clipInspector() const { return clipInspector_; }
    ProjectInspector* projectInspector() const { return projectInspector_; }
    QPushButton* exportButton() const { return export_; }
    QScrollArea* scrollArea() const { return scroll_; }

signals:
    // The host opens its export dialog (every press, even while it is open).
    void exportRequested();
    void syncRequested(const QUuid& clipID);

private:
    void refresh();
    void install(QWidget* content);

    EditorModel& model_;
    QScrollArea* scroll_;
    QPushButton* export_;
    ClipInspector* clipInspector_ = nullptr;
    ProjectInspector* projectInspector_ = nullptr;
};

}  // namespace qm
