#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QSizePolicy>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>

#include "app/mode_setting.h"
#include "editor/editor_model.h"
#include "platform/desktop/icons.h"
#include "platform/system/desktop_services.h"

namespace qm {

namespace {

struct Segment {
    AppMode mode;
    const char* title;
    const char* symbol;
};

constexpr Segment kSegments[] = {
    {AppMode::convert, QT_TRANSLATE_NOOP("MainWindow", "Convert"), "arrow.triangle.2.circlepath"},
    {AppMode::edit, QT_TRANSLATE_NOOP("MainWindow", "Advanced Editor"), "film.stack"},
    {AppMode::credits, QT_TRANSLATE_NOOP("MainWindow", "End Credits"), "text.line.first.and.arrowtriangle.forward"},
};

QWidget* expandingSpacer() {
    auto* spacer = new QWidget;
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    return spacer;
}

}  // namespace

MainWindow::MainWindow(ModeSetting& mode, QWidget* convertContent, ConvertCommands commands, QWidget* creditsContent,
                       CreditsCommands credits, QWidget* parent)
    : QMainWindow(parent),
      mode_(mode),
      commands_(std::move(commands)),
      credits_(std::move(credits)),
      convertContent_(convertContent),
      creditsContent_(creditsContent) {
    setWindowTitle(QStringLiteral("Quillmere"));
    setMinimumSize(1100, 680);

    stack_ = new QStackedWidget(this);
    stack_->addWidget(convertContent);
    if (creditsContent_) stack_->addWidget(creditsContent_);
    setCentralWidget(stack_);

    buildToolbar();
    buildFileMenu();
    buildEditMenu();
    buildViewMenu();
    showMode(mode_.mode());
}

// The commands the menus share, as each mode takes them; an empty entry does nothing there.
MainWindow::ModeCommands MainWindow::commandsFor(AppMode mode) {
    const auto editorNewProject = [this] {
        if (!editor_) return;
        mode_.setMode(AppMode::edit);
        if (editorMayReplace()) editor_->newProject();
    };
    ModeCommands c;
    switch (mode) {
    case AppMode::convert:
        c.newProject = editorNewProject;
        c.deleteSelection = commands_.removeSelected;
        break;
    case AppMode::edit:
        c.newProject = editorNewProject;
        if (!editor_) break;
        c.saveProject = [this](bool as) { editor_->saveProject(as); };
        c.packageProject = [this] { editor_->packageProjectPanel(); };
        c.undo = [this] { editor_->undo(); };
        c.redo = [this] { editor_->redo(); };
        break;
    case AppMode::credits:
        c.newProject = [this] {
            if (credits_.newProject && creditsMayReplace()) credits_.newProject();
        };
        c.saveProject = credits_.saveProject;
        c.packageProject = credits_.packageProject;
        break;
    }
    return c;
}

// Connects an action to the current mode's entry for it.
void MainWindow::connectCommand(QAction* action, std::function<void()> ModeCommands::*command) {
    connect(action, &QAction::triggered, this, [this, command] {
        finishEditing();
        if (const auto run = commandsFor(mode_.mode()).*command) run();
    });
}

void MainWindow::buildToolbar() {
    toolbar_ = new QToolBar(tr("Toolbar"), this);
    toolbar_->setObjectName(QStringLiteral("mainToolbar"));
    toolbar_->setMovable(false);
    toolbar_->setFloatable(false);
    toolbar_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    addToolBar(Qt::TopToolBarArea, toolbar_);

    // The mode picker sits in the middle of the toolbar, 420 wide.
    auto* pickerBox = new QWidget;
    pickerBox->setFixedWidth(420);
    auto* pickerLayout = new QHBoxLayout(pickerBox);
    pickerLayout->setContentsMargins(0, 0, 0, 0);
    pickerLayout->setSpacing(0);
    picker_ = new QButtonGroup(this);
    picker_->setExclusive(true);
    pickerLayout->addStretch(1);
    for (const Segment& s : kSegments) {
        if (!ModeSetting::isBuilt(s.mode)) continue;
        auto* button = new QToolButton;
        button->setText(tr(s.title));
        button->setIcon(symbolIcon(QString::fromLatin1(s.symbol)));
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        button->setCheckable(true);
        // Never in the focus chain: focus leaving a mode's last control (a button that disables
        // itself, a closing panel) would land here, and Space would switch modes.
        button->setFocusPolicy(Qt::NoFocus);
        button->setAccessibleName(tr("Mode"));
        picker_->addButton(button, static_cast<int>(s.mode));
        pickerLayout->addWidget(button);
    }
    pickerLayout->addStretch(1);
    toolbar_->addWidget(expandingSpacer());
    toolbar_->addWidget(pickerBox);
    toolbar_->addWidget(expandingSpacer());
    connect(picker_, &QButtonGroup::idClicked, this, [this](int id) { mode_.setMode(static_cast<AppMode>(id)); });
    connect(&mode_, &ModeSetting::modeChanged, this, &MainWindow::showMode);

}

void MainWindow::buildFileMenu() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    addFiles_ = file->addAction(tr("Add Files to Convert…"));
    addFiles_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(addFiles_, &QAction::triggered, this, [this] {
        mode_.setMode(AppMode::convert);
        if (commands_.presentAddPanel) commands_.presentAddPanel();
    });
    chooseFolder_ = file->addAction(tr("Choose Output Folder…"));
    chooseFolder_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    connect(chooseFolder_, &QAction::triggered, this, [this] {
        if (commands_.chooseOutputFolder) commands_.chooseOutputFolder();
    });
    file->addSeparator();

    // Project commands: End Credits' projects in End Credits, the editor's in the other modes.
    newProject_ = file->addAction(tr("New Project"));
    newProject_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    connectCommand(newProject_, &ModeCommands::newProject);
    openProject_ = file->addAction(tr("Open Project…"));
    openProject_->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_O));
    connect(openProject_, &QAction::triggered, this, &MainWindow::openProject);
    importMedia_ = file->addAction(tr("Import Media…"));
    importMedia_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
    connect(importMedia_, &QAction::triggered, this, [this] {
        if (!editor_) return;
        mode_.setMode(AppMode::edit);
        editor_->importMediaPanel();
    });
    file->addSeparator();
    const auto save = [this](bool as) {
        finishEditing();
        if (const auto run = commandsFor(mode_.mode()).saveProject) run(as);
    };
    saveProject_ = file->addAction(tr("Save Project"));
    saveProject_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    connect(saveProject_, &QAction::triggered, this, [save] { save(false); });
    saveProjectAs_ = file->addAction(tr("Save Project As…"));
    saveProjectAs_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    connect(saveProjectAs_, &QAction::triggered, this, [save] { save(true); });
    packageProject_ = file->addAction(tr("Package Project…"));
    connectCommand(packageProject_, &ModeCommands::packageProject);
    file->addSeparator();
    quit_ = file->addAction(tr("Quit"));
    quit_->setShortcut(QKeySequence::Quit);
    quit_->setMenuRole(QAction::QuitRole);
    connect(quit_, &QAction::triggered, this, &QWidget::close);
}

// Projects open in the mode of their kind, whichever mode is showing.
void MainWindow::openProject() {
    finishEditing();
    OpenPanelRequest request;
    request.message = tr("Choose a project to open");
    request.allowedContentTypes = {PanelContentType::editorProject, PanelContentType::creditsProject};
    request.kind = PanelKind::projects;
    if (mode_.mode() == AppMode::credits && credits_.panelFolder) request.documentDirectory = credits_.panelFolder();
    else if (editor_ != nullptr) request.documentDirectory = editor_->panelFolder();
    const QStringList chosen = desktopServices().runOpenPanel(request);
    if (chosen.isEmpty()) return;
    const QString path = chosen.first();
    if (QFileInfo(path).suffix().toLower() == QLatin1String("qmcredits")) {
        mode_.setMode(AppMode::credits);
        if (credits_.openProject && creditsMayReplace()) credits_.openProject(path);
        return;
    }
    if (!editor_) return;
    mode_.setMode(AppMode::edit);
    if (editorMayReplace()) editor_->openProject(path);
}

void MainWindow::buildEditMenu() {
    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    undo_ = edit->addAction(tr("Undo"));
    undo_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    connectCommand(undo_, &ModeCommands::undo);
    redo_ = edit->addAction(tr("Redo"));
    redo_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
    connectCommand(redo_, &ModeCommands::redo);
    edit->addSeparator();
    // Delete removes the selected job of the queue; in the editor the key reaches its key monitor,
    // so the item is enabled only in Convert.
    delete_ = edit->addAction(tr("Delete"));
    delete_->setShortcuts({QKeySequence(Qt::Key_Delete), QKeySequence(Qt::Key_Backspace)});
    delete_->setShortcutContext(Qt::WindowShortcut);
    connectCommand(delete_, &ModeCommands::deleteSelection);
}

void MainWindow::buildViewMenu() {
    QMenu* view = menuBar()->addMenu(tr("&View"));
    zoomIn_ = view->addAction(tr("Zoom In Timeline"));
    connect(zoomIn_, &QAction::triggered, this, [this] {
        if (editor_) editor_->zoomTimeline(1.5);
    });
    zoomOut_ = view->addAction(tr("Zoom Out Timeline"));
    connect(zoomOut_, &QAction::triggered, this, [this] {
        if (editor_) editor_->zoomTimeline(2.0 / 3.0);
    });
    fitTimeline_ = view->addAction(tr("Fit Sequence in Timeline"));
    connect(fitTimeline_, &QAction::triggered, this, [this] {
        if (editor_) editor_->zoomToFit();
    });
}

void MainWindow::setEditor(EditorModel& model, QWidget* content) {
    editor_ = &model;
    editorContent_ = content;
    stack_->addWidget(content);
    for (auto signal : {&EditorModel::projectChanged, &EditorModel::packagingProgressChanged,
                        &EditorModel::undoStackChanged, &EditorModel::redoStackChanged})
        connect(editor_, signal, this, &MainWindow::refreshCommands);
    connect(editor_, &EditorModel::windowTitleChanged, this, &MainWindow::refreshTitle);
    showMode(mode_.mode());
}

bool MainWindow::editorMayReplace() { return !editor_ || editor_->confirmReplacingProject(); }

bool MainWindow::creditsMayReplace() { return !creditsContent_ || !credits_.mayReplace || credits_.mayReplace(); }

// A field still being typed in takes its text, as leaving it would: what the window shows is
// what a command saves or asks about. The focus stays where it was.
void MainWindow::finishEditing() {
    QWidget* focus = QApplication::focusWidget();
    if (focus == nullptr || !isAncestorOf(focus)) return;
    focus->clearFocus();
    focus->setFocus(Qt::OtherFocusReason);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    finishEditing();
    const bool mayClose = mode_.mode() == AppMode::credits ? creditsMayReplace() && editorMayReplace()
                                                           : editorMayReplace() && creditsMayReplace();
    if (!mayClose) {
        event->ignore();
        return;
    }
    emit closing();
    QMainWindow::closeEvent(event);
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == QEvent::WindowUnblocked) emit unblocked();
    return QMainWindow::event(event);
}

void MainWindow::showMode(AppMode mode) {
    if (QAbstractButton* button = picker_->button(static_cast<int>(mode))) button->setChecked(true);
    QWidget* content = convertContent_;
    if (mode == AppMode::credits && creditsContent_) content = creditsContent_;
    if (mode == AppMode::edit && editorContent_) content = editorContent_;
    stack_->setCurrentWidget(content);
    refreshTitle();
    refreshCommands();
}

void MainWindow::refreshTitle() {
    const bool editing = mode_.mode() == AppMode::edit && editor_;
    setWindowTitle(editing ? editor_->windowTitle() : QStringLiteral("Quillmere"));
}

void MainWindow::refreshCommands() {
    const AppMode mode = mode_.mode();
    const bool credits = mode == AppMode::credits && creditsContent_;
    const bool editing = mode == AppMode::edit && editor_;
    saveProject_->setEnabled(credits || editing);
    saveProjectAs_->setEnabled(credits || editing);
    packageProject_->setEnabled(
        (credits && credits_.hasContent && credits_.hasContent()) ||
        (editing && !editor_->project().media.empty() && !editor_->packagingProgress().has_value()));
    undo_->setEnabled(editing && editor_->undoCount() > 0);
    redo_->setEnabled(editing && editor_->redoCount() > 0);
    zoomIn_->setEnabled(editing);
    zoomOut_->setEnabled(editing);
    fitTimeline_->setEnabled(editing && editor_->project().duration() != 0);
    delete_->setEnabled(mode == AppMode::convert);
}

}  // namespace qm
