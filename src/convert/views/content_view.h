#pragma once
// The Convert window's content: the queue (or the drop zone while it is empty) with its footer on
// the left, the settings column on the right. Files and folders dropped anywhere on the left
// column are queued.

#include <QWidget>

#include "convert/conversion_queue.h"

class QAction;
class QMimeData;
class QLabel;
class QPushButton;
class QStackedWidget;

namespace qm {

class SettingsPanel;
class DropPlaceholder;
class ListOverlay;
class JobList;
class JobRow;

class ContentView : public QWidget {
    Q_OBJECT
public:
    explicit ContentView(ConversionQueue& queue, QWidget* parent = nullptr);

    // The toolbar's "Add Files" item, for the window to place at the leading edge.
    QAction* addFilesAction() const { return addFiles_; }
    // Removes the selected job (the window's Delete command).
    void removeSelected();

    // For tests.
    bool isShowingPlaceholder() const;
    bool isDropTargeted() const { return dropTargeted_; }
    JobList* jobList() const { return list_; }
    JobRow* rowAt(int index) const;
    int rowCount() const;
    QLabel* countLabel() const { return count_; }
    QPushButton* clearFinishedButton() const { return clear_; }
    SettingsPanel* settingsPanel() const { return settings_; }

    // Drop handling, callable by tests with a synthetic list of URLs.
    bool acceptsDrop(const QMimeData* data) const;
    bool drop(const QMimeData* data);
    void setDropTargeted(bool targeted);

private:
    void syncRows();
    void syncSelectionFromModel();
    void refreshFooter();

    ConversionQueue& queue_;
    QWidget* left_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    DropPlaceholder* placeholder_ = nullptr;
    JobList* list_ = nullptr;
    ListOverlay* overlay_ = nullptr;
    QLabel* count_ = nullptr;
    QPushButton* clear_ = nullptr;
    SettingsPanel* settings_ = nullptr;
    QAction* addFiles_ = nullptr;
    bool dropTargeted_ = false;
    bool syncingSelection_ = false;
};

}  // namespace qm
