#include "app/app_shell.h"

#include <QAction>
#include <QToolBar>

#include "app/main_window.h"
#include "app/mode_setting.h"
#include "app/open_file_router.h"
#include "convert/conversion_queue.h"
#include "convert/views/content_view.h"
#include "credits/credits_model.h"
#include "credits/views/credits_view.h"
#include "editor/editor_model.h"
#include "editor/views/editor_view.h"

namespace qm {

namespace {

QStringList localPaths(const QList<QUrl>& urls) {
    QStringList paths;
    for (const QUrl& url : urls) paths.append(url.toLocalFile());
    return paths;
}

}  // namespace

AppShell::AppShell(ModeSetting& mode, ConversionQueue& queue, CreditsModel& credits, EditorModel& editor)
    : queue_(queue), editor_(editor) {
    router_ = std::make_unique<OpenFileRouter>(
        OpenFileRouter::ModeStore{[&mode] { return mode.storedText(); },
                                  [&mode](const QString& text) { mode.writeStoredText(text); }},
        ModeSetting::isBuilt(AppMode::edit), ModeSetting::isBuilt(AppMode::credits));

    content_ = new ContentView(queue);
    creditsView_ = new CreditsView(credits);
    ContentView* content = content_;
    window_ = std::make_unique<MainWindow>(
        mode, content_,
        MainWindow::ConvertCommands{[&queue] { queue.presentAddPanel(); }, [&queue] { queue.chooseOutputFolder(); },
                                    [content] { content->removeSelected(); }},
        creditsView_,
        MainWindow::CreditsCommands{[&credits] { credits.newProject(); },
                                    [&credits](const QString& path) { credits.openProject(path); },
                                    [&credits](bool saveAs) { credits.saveProject(saveAs); },
                                    [&credits] { credits.packageProject(); }, [&credits] { return credits.hasContent(); },
                                    [&credits] { return credits.panelFolder(); },
                                    [&credits] { return credits.confirmReplacingProject(); }});
    editorView_ = new EditorView(editor);
    window_->setEditor(editor, editorView_);
    window_->toolbar()->insertAction(window_->toolbar()->actions().value(0), content_->addFilesAction());
    // The toolbar's leading item belongs to Convert.
    auto showConvertItems = [this](AppMode now) { content_->addFilesAction()->setVisible(now == AppMode::convert); };
    QObject::connect(&mode, &ModeSetting::modeChanged, window_.get(), showConvertItems);
    showConvertItems(mode.mode());
    for (auto signal : {&CreditsModel::headImageChanged, &CreditsModel::tailImageChanged, &CreditsModel::stripChanged})
        QObject::connect(&credits, signal, window_.get(), &MainWindow::refreshCommands);

    // The credits model takes its files first, then the queue, then the editor.
    MainWindow* window = window_.get();
    router_->setCredits({[&credits](const QList<QUrl>& files) {
                             credits.openFile(localPaths(files), CreditsModel::Slot::automatic);
                         },
                         [&credits, window](const QUrl& project) {
                             if (window->creditsMayReplace()) credits.openProject(project.toLocalFile());
                         }});
}

AppShell::~AppShell() = default;

void AppShell::open(const QList<QUrl>& files) { router_->open(files); }

void AppShell::show() {
    window_->show();
    router_->setQueue({[this](const QList<QUrl>& files) { queue_.add(files); }});
    router_->routePending();
    MainWindow* window = window_.get();
    router_->setEditor({[this, window](const QUrl& project) {
        if (window->editorMayReplace()) editor_.openProject(project.toLocalFile());
    }});
    router_->routePending();
}

}  // namespace qm
