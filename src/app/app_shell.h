#pragma once
// The window put together: the modes' views over their models, the menu commands acting on them
// and the routing of opened files, wired the way the application runs.

#include <memory>

#include <QList>
#include <QUrl>

namespace qm {

class ContentView;
class ConversionQueue;
class CreditsModel;
class CreditsView;
class EditorModel;
class EditorView;
class MainWindow;
class ModeSetting;
class OpenFileRouter;
class SingleInstance;

class AppShell {
public:
    // The models are made by the caller, the credits model before the queue and the editor.
    AppShell(ModeSetting& mode, ConversionQueue& queue, CreditsModel& credits, EditorModel& editor);
    ~AppShell();

    // Files opened from outside: routed once the window exists. While a question or panel is up
    // they wait for its answer, so that no second question comes up over it; an answer that
    // ends the application drops them.
    void open(const QList<QUrl>& files);
    // Shows the window and routes the files opened so far.
    void show();
    // Files a later launch hands over are opened here, and the window comes to the front.
    void takeHandOvers(SingleInstance& instance);

    MainWindow& window() const { return *window_; }
    ContentView* contentView() const { return content_; }
    CreditsView* creditsView() const { return creditsView_; }
    EditorView* editorView() const { return editorView_; }
    OpenFileRouter& router() const { return *router_; }

private:
    void routeWaiting();

    ConversionQueue& queue_;
    EditorModel& editor_;
    std::unique_ptr<OpenFileRouter> router_;
    std::unique_ptr<MainWindow> window_;
    ContentView* content_ = nullptr;
    CreditsView* creditsView_ = nullptr;
    EditorView* editorView_ = nullptr;
    bool shown_ = false;
    QList<QUrl> waiting_;  // opened while the window was held by a question or panel
};

}  // namespace qm
