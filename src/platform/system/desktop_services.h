#pragma once
// What the models ask of the desktop: panels, revealing files, the end-of-run sound and the
// request for attention. The models reach the desktop only through this interface, so they run
// headless; the application installs the real implementation at start-up.

#include <functional>
#include <optional>

#include <QString>
#include <QStringList>

namespace qm {

// Content types a panel may be limited to.
enum class PanelContentType {
    movie,
    image,
    creditsProject,   // a .qmcredits folder, or the project.json inside it
    creditsDocument,  // a credits list: Word (.docx) or PDF
    editorProject,    // a .qmproj file, a .qmpack package or the project.qmproj inside one
    audio,
};

// What a panel is used for. Panels of one kind open where the last of them was used.
enum class PanelKind {
    none,             // not remembered
    projects,         // opening and saving projects of either mode
    packages,         // writing project packages
    convertSources,   // the movies and folders added to Convert
    outputFolder,     // Convert's output folder
    editorMedia,      // media imported into the editor, and relinked
    editorExport,     // the editor's exports
    creditsPicture,   // the opening and closing pictures of the credits
    creditsDocument,  // the credits list
    creditsExport,    // the credits' exports
};

// The answer to "save the changes first?" before a document is replaced.
enum class SaveChangesAnswer {
    save,
    dontSave,
    cancel,
};

struct OpenPanelRequest {
    QString message;  // shown above the file list (already translated)
    QString prompt;   // the default button's title; empty keeps the panel's own
    bool canChooseFiles = true;
    bool canChooseDirectories = false;
    bool allowsMultipleSelection = false;
    bool canCreateDirectories = false;
    QList<PanelContentType> allowedContentTypes;  // empty: any file
    PanelKind kind = PanelKind::none;
    // Where the panel opens, whatever was used before; empty (or gone): where the last panel of
    // its kind was used, else `documentDirectory`, else the user's home.
    QString directory;
    QString documentDirectory;  // the current document's folder, or the output folder
};

struct SavePanelRequest {
    QString message;
    QString prompt;
    QString suggestedName;
    // Without dots; empty: any name. A name typed without one of them gets the first appended.
    QStringList allowedExtensions;
    bool canCreateDirectories = true;
    PanelKind kind = PanelKind::none;
    QString directory;          // as for OpenPanelRequest
    QString documentDirectory;  // as for OpenPanelRequest
    // Why the chosen path can't be taken (empty: it can). The panel then stays open and says so,
    // before asking whether to replace anything.
    std::function<QString(const QString& path)> refusal;
};

enum class AttentionRequest {
    critical = 0,
    informational = 10,
};

class DesktopServices {
public:
    virtual ~DesktopServices() = default;

    // Modal; the chosen absolute paths in the panel's order, empty when cancelled.
    virtual QStringList runOpenPanel(const OpenPanelRequest& request) = 0;
    // Modal; the chosen absolute path, none when cancelled.
    virtual std::optional<QString> runSavePanel(const SavePanelRequest& request) = 0;
    // Shows the items selected in the file manager.
    virtual void revealInFileManager(const QStringList& paths) = 0;
    // The sound at the end of a successful run (silent where the desktop has none).
    virtual void playCompletionSound() = 0;
    virtual void requestAttention(AttentionRequest kind) = 0;
    // Modal; whether to save the unsaved changes of the document `name` before it is replaced.
    // Without a desktop to ask, nothing is replaced.
    virtual SaveChangesAnswer askToSaveChanges(const QString& name) {
        (void)name;
        return SaveChangesAnswer::cancel;
    }
};

// Asks about the unsaved changes of the document `name` before they are replaced. True when they
// may go: saved (`save` says whether that succeeded) or discarded; false when the user cancels.
bool mayReplaceChanges(DesktopServices& desktop, const QString& name, const std::function<bool()>& save);

// The implementation installed for this process; until one is installed, a quiet one whose
// panels are always cancelled.
DesktopServices& desktopServices();
// Installs an implementation (not owned; it must outlive its use). nullptr restores the quiet one.
void setDesktopServices(DesktopServices* services);

}  // namespace qm
