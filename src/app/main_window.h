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

    // What the project commands do in End Credits, and what their enabling reads.
    struct CreditsCommands {
        std::function<void()> newProject;
        std::function<void(const QString&)> openProject;
        std::function<void(bool saveAs)> saveProject;
        std::function<void()> packageProject;
        std::function<bool()> hasContent;
    };

    MainWindow(ModeSetting& mode, QWidget* convertContent, ConvertCommands commands, QWidget* creditsContent,
               CreditsCommands credits, QWidget* parent = nullptr);

    // Enables the commands from the mode and the models; call when what they read changes.
    void refreshCommands();

    // The toolbar's leading slot, for the current mode's own items.
    QToolBar* toolbar() const { return toolbar_; }

    // The menu commands, by their titles, for tests and for the key bindings of other widgets.
    QAction* addFilesAction() const { return addFiles_; }
    QAction* chooseOutputFolderAction() const { return chooseFolder_; }
    QAction* deleteAction() const { return delete_; }
    QAction* quitAction() const { return quit_; }
    QAction* newProjectAction() const { return newProject_; }
    QAction* openProjectAction() const { return openProject_; }
    QAction* saveProjectAction() const { return saveProject_; }
    QAction* saveProjectAsAction() const { return saveProjectAs_; }
    QAction* packageProjectAction() const { return packageProject_; }
    QButtonGroup* modePicker() const { return picker_; }

private:
    void showMode(AppMode mode);

    ModeSetting& mode_;
    ConvertCommands commands_;
    CreditsCommands credits_;
    QWidget* convertContent_ = nullptr;
    QWidget* creditsContent_ = nullptr;
    QToolBar* toolbar_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    QButtonGroup* picker_ = nullptr;
    QAction* addFiles_ = nullptr;
    QAction* chooseFolder_ = nullptr;
    QAction* delete_ = nullptr;
    QAction* quit_ = nullptr;
    QAction* newProject_ = nullptr;
    QAction* openProject_ = nullptr;
    QAction* saveProject_ = nullptr;
    QAction* saveProjectAs_ = nullptr;
    QAction* packageProject_ = nullptr;
};

}  // namespace qm
