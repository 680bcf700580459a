#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QSizePolicy>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>

#include "app/mode_setting.h"
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

    // File menu.
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

    // Project commands: End Credits' projects in this build.
    newProject_ = file->addAction(tr("New Project"));
    newProject_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    connect(newProject_, &QAction::triggered, this, [this] {
        if (mode_.mode() == AppMode::credits && credits_.newProject) credits_.newProject();
    });
    openProject_ = file->addAction(tr("Open Project…"));
    openProject_->setShortcut(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_O));
    connect(openProject_, &QAction::triggered, this, [this] {
        OpenPanelRequest request;
        request.message = tr("Choose a project to open");
        request.allowedContentTypes = {PanelContentType::creditsProject};
        const QStringList chosen = desktopServices().runOpenPanel(request);
        if (chosen.isEmpty()) return;
        QString path = chosen.first();
        // The panel may hand back the project.json inside the folder.
        if (QFileInfo(path).fileName() == QLatin1String("project.json")) path = QFileInfo(path).absolutePath();
        if (QFileInfo(path).suffix().toLower() != QLatin1String("qmcredits")) return;
        mode_.setMode(AppMode::credits);
        if (credits_.openProject) credits_.openProject(path);
    });
    file->addSeparator();
    saveProject_ = file->addAction(tr("Save Project"));
    saveProject_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    connect(saveProject_, &QAction::triggered, this, [this] {
        if (mode_.mode() == AppMode::credits && credits_.saveProject) credits_.saveProject(false);
    });
    saveProjectAs_ = file->addAction(tr("Save Project As…"));
    saveProjectAs_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    connect(saveProjectAs_, &QAction::triggered, this, [this] {
        if (mode_.mode() == AppMode::credits && credits_.saveProject) credits_.saveProject(true);
    });
    packageProject_ = file->addAction(tr("Package Project…"));
    connect(packageProject_, &QAction::triggered, this, [this] {
        if (mode_.mode() == AppMode::credits && credits_.packageProject) credits_.packageProject();
    });
    file->addSeparator();
    quit_ = file->addAction(tr("Quit"));
    quit_->setShortcut(QKeySequence::Quit);
    quit_->setMenuRole(QAction::QuitRole);
    connect(quit_, &QAction::triggered, this, &QWidget::close);

    // Edit menu: Delete removes the selected job of the queue.
    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    delete_ = edit->addAction(tr("Delete"));
    delete_->setShortcuts({QKeySequence(Qt::Key_Delete), QKeySequence(Qt::Key_Backspace)});
    delete_->setShortcutContext(Qt::WindowShortcut);
    connect(delete_, &QAction::triggered, this, [this] {
        if (mode_.mode() == AppMode::convert && commands_.removeSelected) commands_.removeSelected();
    });

    showMode(mode_.mode());
}

void MainWindow::showMode(AppMode mode) {
    if (QAbstractButton* button = picker_->button(static_cast<int>(mode))) button->setChecked(true);
    stack_->setCurrentWidget(mode == AppMode::credits && creditsContent_ ? creditsContent_ : convertContent_);
    setWindowTitle(QStringLiteral("Quillmere"));
    refreshCommands();
}

void MainWindow::refreshCommands() {
    // The editor's half of these commands waits for the editor; until then they act in End Credits.
    const bool credits = mode_.mode() == AppMode::credits && creditsContent_;
    newProject_->setEnabled(credits);
    saveProject_->setEnabled(credits);
    saveProjectAs_->setEnabled(credits);
    packageProject_->setEnabled(credits && credits_.hasContent && credits_.hasContent());
}

}  // namespace qm
