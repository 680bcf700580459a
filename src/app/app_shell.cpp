#include "app/app_shell.h"

#include <algorithm>
#include <utility>

#include <QAction>
#include <QApplication>
#include <QTimer>
#include <QToolBar>

#include "app/main_window.h"
#include "app/mode_setting.h"
#include "app/open_file_router.h"
#include "app/single_instance.h"
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

bool holdsCreditsList(const QList<QUrl>& urls) {
    return std::any_of(urls.begin(), urls.end(), [](const QUrl& url) {
        const QString extension = lowerExtension(url);
        return extension == u"docx" || extension == u"pdf";
    });
}

bool questionIsUp() { return QApplication::activeModalWidget() != nullptr; }

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
    // Files handed over while a question was up are routed once it is answered, after the
    // command that asked it has run to its end; quitting drops them.
    QObject::connect(window_.get(), &MainWindow::unblocked, window_.get(),
                     [this] { QTimer::singleShot(0, window_.get(), [this] { routeWaiting(); }); });
    QObject::connect(window_.get(), &MainWindow::closing, window_.get(), [this] { waiting_.clear(); });
    for (auto signal : {&CreditsModel::headImageChanged, &CreditsModel::tailImageChanged, &CreditsModel::stripChanged})
        QObject::connect(&credits, signal, window_.get(), &MainWindow::refreshCommands);

    // The credits model takes its files first, then the queue, then the editor.
    MainWindow* window = window_.get();
    router_->setCredits({[&credits, window](const QList<QUrl>& files) {
                             // A list replaces the loaded one and the choices made in it, as
                             // opening a project would replace them.
                             if (!credits.documentURL().isEmpty() && holdsCreditsList(files) &&
                                 !window->creditsMayReplace())
                                 return;
                             credits.openFile(localPaths(files), CreditsModel::Slot::automatic);
                         },
                         [&credits, window](const QUrl& project) {
                             if (window->creditsMayReplace()) credits.openProject(project.toLocalFile());
                         }});
}

AppShell::~AppShell() = default;

void AppShell::open(const QList<QUrl>& files) {
    if (!shown_) {
        router_->open(files);  // kept by the router until the window is up
        return;
    }
    waiting_.append(files);
    routeWaiting();
}

void AppShell::routeWaiting() {
    // A window closed by the user's answers is the application ending: nothing more opens in it.
    if (!window_->isVisible()) waiting_.clear();
    if (waiting_.isEmpty() || questionIsUp()) return;
    router_->open(std::exchange(waiting_, {}));
}

void AppShell::show() {
    window_->show();
    shown_ = true;
    router_->setQueue({[this](const QList<QUrl>& files) { queue_.add(files); }});
    router_->routePending();
    MainWindow* window = window_.get();
    router_->setEditor({[this, window](const QUrl& project) {
        // Opened after the routing returned: a question may have come up meanwhile.
        if (questionIsUp()) {
            waiting_.prepend(project);
            return;
        }
        if (window->editorMayReplace()) editor_.openProject(project.toLocalFile());
    }});
    router_->routePending();
}

void AppShell::takeHandOvers(SingleInstance& instance) {
    MainWindow* window = window_.get();
    QObject::connect(&instance, &SingleInstance::filesReceived, window, [this, window](const QList<QUrl>& files) {
        open(files);
        window->raise();
        window->activateWindow();
    });
}

}  // namespace qm
