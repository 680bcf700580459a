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
class MainWindow;
class ModeSetting;
class OpenFileRouter;

class AppShell {
public:
    // The models are made by the caller, the queue before the credits model.
    AppShell(ModeSetting& mode, ConversionQueue& queue, CreditsModel& credits);
    ~AppShell();

    // Files opened from outside: routed once the window exists (at once after show()).
    void open(const QList<QUrl>& files);
    // Shows the window and routes the files opened so far.
    void show();

    MainWindow& window() const { return *window_; }
    ContentView* contentView() const { return content_; }
    CreditsView* creditsView() const { return creditsView_; }
    OpenFileRouter& router() const { return *router_; }

private:
    ConversionQueue& queue_;
    std::unique_ptr<OpenFileRouter> router_;
    std::unique_ptr<MainWindow> window_;
    ContentView* content_ = nullptr;
    CreditsView* creditsView_ = nullptr;
};

}  // namespace qm
