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
class QCloseEvent;

namespace qm {

class EditorModel;
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
        std::function<QString()> panelFolder;  // beside the open credits project
        std::function<bool()> mayReplace;      // asks about unsaved credits work; false: keep it
    };

    MainWindow(ModeSetting& mode, QWidget* convertContent, ConvertCommands commands, QWidget* creditsContent,
               CreditsCommands credits, QWidget* parent = nullptr);

    // The Advanced Editor: its model and window content. Without it the editor's commands do nothing.
    void setEditor(EditorModel& model, QWidget* content);

    // True when the editor's project may be replaced: not dirty, saved, or discarded by the user.
    bool editorMayReplace();
    // The same for the End Credits work.
    bool creditsMayReplace();

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
    QAction* importMediaAction() const { return importMedia_; }
    QAction* undoAction() const { return undo_; }
    QAction* redoAction() const { return redo_; }
    QAction* zoomInAction() const { return zoomIn_; }
    QAction* zoomOutAction() const { return zoomOut_; }
    QAction* fitTimelineAction() const { return fitTimeline_; }
    QButtonGroup* modePicker() const { return picker_; }

signals:
    // A question or panel that held the window modal has gone.
    void unblocked();
    // The user's answers let the window close: the application ends.
    void closing();

protected:
    // Unsaved work of each mode is asked about, the mode shown first; Cancel keeps the window open.
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct ModeCommands {
        std::function<void()> newProject;
        std::function<void(bool saveAs)> saveProject;
        std::function<void()> packageProject;
        std::function<void()> undo;
        std::function<void()> redo;
        std::function<void()> deleteSelection;
    };
    ModeCommands commandsFor(AppMode mode);
    void connectCommand(QAction* action, std::function<void()> ModeCommands::*command);
    void buildToolbar();
    void buildFileMenu();
    void buildEditMenu();
    void buildViewMenu();
    void openProject();
    void finishEditing();
    void showMode(AppMode mode);
    void refreshTitle();

    ModeSetting& mode_;
    ConvertCommands commands_;
    CreditsCommands credits_;
    QWidget* convertContent_ = nullptr;
    QWidget* creditsContent_ = nullptr;
    EditorModel* editor_ = nullptr;
    QWidget* editorContent_ = nullptr;
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
    QAction* importMedia_ = nullptr;
    QAction* undo_ = nullptr;
    QAction* redo_ = nullptr;
    QAction* zoomIn_ = nullptr;
    QAction* zoomOut_ = nullptr;
    QAction* fitTimeline_ = nullptr;
};

}  // namespace qm
