#pragma once
// The one window: the mode picker in the toolbar, the content of the current mode and the menu
// commands. Only the modes this build has are offered.

#include <functional>

#include <QMainWindow>

#include "app/app_mode.h"

class QAction;
class QButtonGroup;
class QStackedWidget;
class QToolBar;

namespace qm {

class ModeSetting;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // What the menu commands do in the Convert mode's model.
    struct ConvertCommands {
        std::function<void()> presentAddPanel;
        std::function<void()> chooseOutputFolder;
        std::function<void()> removeSelected;
    };

    MainWindow(ModeSetting& mode, QWidget* convertContent, ConvertCommands commands, QWidget* parent = nullptr);

    // The toolbar's leading slot, for the current mode's own items.
    QToolBar* toolbar() const { return toolbar_; }

    // The menu commands, by their titles, for tests and for the key bindings of other widgets.
    QAction* addFilesAction() const { return addFiles_; }
    QAction* chooseOutputFolderAction() const { return chooseFolder_; }
    QAction* deleteAction() const { return delete_; }
    QAction* quitAction() const { return quit_; }
    QButtonGroup* modePicker() const { return picker_; }

private:
    void showMode(AppMode mode);

    ModeSetting& mode_;
    ConvertCommands commands_;
    QToolBar* toolbar_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    QButtonGroup* picker_ = nullptr;
    QAction* addFiles_ = nullptr;
    QAction* chooseFolder_ = nullptr;
    QAction* delete_ = nullptr;
    QAction* quit_ = nullptr;
};

}  // namespace qm
