#pragma once
// Routing of files opened from outside (command line, a second launch, the desktop) to the mode
// that handles them. The models are reached through callbacks so the routing is plain logic; a
// mode that is not part of this build has no callbacks, and its files are queued for conversion.

#include <functional>
#include <optional>

#include <QList>
#include <QString>
#include <QUrl>

namespace qm {

class OpenFileRouter {
public:
    struct QueueTarget {
        std::function<void(const QList<QUrl>&)> add;
    };
    struct EditorTarget {
        // Called after routing returns, from the event loop (the editor loads asynchronously).
        std::function<void(const QUrl&)> openProject;
    };
    struct CreditsTarget {
        std::function<void(const QList<QUrl>&)> openFiles;  // lists first, then pictures; automatic slot
        std::function<void(const QUrl&)> openProject;
    };
    // Reading and writing the stored mode text ("appMode").
    struct ModeStore {
        std::function<QString()> read;
        std::function<void(const QString&)> write;
    };
    // Decides whether an extension names a picture type; defaults to the MIME database.
    using PictureTest = std::function<bool(const QString& lowerExtension)>;

    // editorBuilt / creditsBuilt say which modes exist in this build; routing waits only for the
    // models of built modes.
    OpenFileRouter(ModeStore modes, bool editorBuilt, bool creditsBuilt, PictureTest isPicture = {});

    void setQueue(QueueTarget queue);
    void setEditor(EditorTarget editor);
    void setCredits(CreditsTarget credits);

    // Files opened from outside: kept in order, then routed when the models are known.
    void open(const QList<QUrl>& urls);
    void routePending();

    const QList<QUrl>& pendingUrls() const { return pending_; }

    // Schedules the editor's project opening after the router returns; tests may run it inline.
    void setDeferral(std::function<void(std::function<void()>)> defer) { defer_ = std::move(defer); }

private:
    ModeStore modes_;
    bool editorBuilt_;
    bool creditsBuilt_;
    PictureTest isPicture_;
    std::optional<QueueTarget> queue_;
    std::optional<EditorTarget> editor_;
    std::optional<CreditsTarget> credits_;
    QList<QUrl> pending_;
    std::function<void(std::function<void()>)> defer_;
};

// The lower-cased path extension of a URL; empty when it has none.
QString lowerExtension(const QUrl& url);

}  // namespace qm
