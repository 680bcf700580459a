#pragma once
// The open and save panels: Qt's own widget file dialog, taught that credits projects (.qmcredits)
// and editor packages (.qmpack) are folders the user handles as one document. Such a folder is
// shown, selected, typed and chosen as one item instead of being entered; a save panel that picks
// an existing item asks before it is replaced, and chooses only folder documents of its own types.

#include <functional>
#include <optional>

#include <QFileDialog>
#include <QFileIconProvider>

#include "platform/system/desktop_services.h"
#include "platform/system/settings_store.h"

class QAbstractItemView;
class QLabel;
class QLineEdit;

namespace qm {

// A folder the panels treat as one document, judged by its extension.
bool isFolderDocument(const QString& path);

class FilePanel final : public QFileDialog {
public:
    explicit FilePanel(QWidget* parent);

    // Shown above the file list; empty hides it.
    void setMessage(const QString& message);
    // An open panel that chooses plain folders too (double-clicking one still enters it).
    void setChoosesFolders(bool on) { choosesFolders_ = on; }
    // The extensions (without dots) a save panel writes: a typed name without one of them gets
    // the first appended, and a folder document of another kind is still shown as one item but
    // refused. Empty: any name, every folder document.
    void setAllowedExtensions(const QStringList& extensions) { allowedExtensions_ = extensions; }
    // Says why a save panel can't take a path (empty: it can); the panel then stays open.
    void setRefusal(std::function<QString(const QString&)> refusal) { refusal_ = std::move(refusal); }
    // The chosen absolute paths once the panel was accepted.
    QStringList chosen() const;

    void accept() override;

private:
    class Icons final : public QFileIconProvider {
    public:
        QIcon icon(const QFileInfo& info) const override;
        QString type(const QFileInfo& info) const override;
        using QFileIconProvider::icon;
    };

    QLineEdit* nameEdit() const;
    QPushButton* acceptButton() const;
    QStringList typedPaths() const;
    void insertRows();
    void activate(const QModelIndex& index);
    void followSelection(const QAbstractItemView& view);
    void followName();
    void showNotice(const QString& text);
    void enter(const QString& folder);
    bool mayReplace(const QString& path);
    QString withExtension(const QString& path) const;
    bool refuses(const QString& path);
    void finish(const QStringList& paths);

    Icons icons_;
    QLabel* message_ = nullptr;
    QLabel* notice_ = nullptr;
    QStringList chosen_;
    QStringList allowedExtensions_;
    std::function<QString(const QString&)> refusal_;
    bool choosesFolders_ = false;
};

// The panels every caller's request is run in; `parent` is the window they belong to. Where each
// kind of panel was last used is kept in `store`.
QStringList runOpenPanel(const OpenPanelRequest& request, QWidget* parent, SettingsStore& store);
std::optional<QString> runSavePanel(const SavePanelRequest& request, QWidget* parent, SettingsStore& store);

// Name filters for the panel's content types ("Movies (*.mov *.mp4 ...)").
QStringList panelNameFilters(const QList<PanelContentType>& types);

}  // namespace qm
