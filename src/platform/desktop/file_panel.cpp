#include "platform/desktop/file_panel.h"

#include <vector>

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QDir>
#include <QDialogButtonBox>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace qm {

namespace {

QString panelText(const char* text) { return QApplication::translate("FilePanel", text); }

const QString kMoviePatterns = QStringLiteral(
    "*.mov *.mp4 *.m4v *.mkv *.webm *.avi *.mxf *.ts *.m2ts *.mts *.MOV *.MP4 *.M4V *.MKV *.AVI *.MXF");
const QString kAudioPatterns = QStringLiteral(
    "*.wav *.aif *.aiff *.mp3 *.m4a *.aac *.flac *.ogg *.opus *.caf *.WAV *.AIF *.AIFF *.MP3 *.M4A *.FLAC");
const QString kImagePatterns =
    QStringLiteral("*.png *.jpg *.jpeg *.tif *.tiff *.bmp *.gif *.webp *.PNG *.JPG *.JPEG *.TIF *.TIFF");
const QString kCreditsProjectPatterns = QStringLiteral("*.qmcredits *.QMCREDITS");
const QString kEditorProjectPatterns = QStringLiteral("*.qmproj *.qmpack *.QMPROJ *.QMPACK");
const QString kCreditsDocumentPatterns = QStringLiteral("*.docx *.pdf *.DOCX *.PDF");

const QString& patternsFor(PanelContentType type) {
    switch (type) {
        case PanelContentType::movie: return kMoviePatterns;
        case PanelContentType::image: return kImagePatterns;
        case PanelContentType::audio: return kAudioPatterns;
        case PanelContentType::creditsProject: return kCreditsProjectPatterns;
        case PanelContentType::creditsDocument: return kCreditsDocumentPatterns;
        case PanelContentType::editorProject: return kEditorProjectPatterns;
    }
    return kImagePatterns;
}

QString kindName(PanelKind kind) {
    switch (kind) {
        case PanelKind::none: break;
        case PanelKind::projects: return QStringLiteral("projects");
        case PanelKind::packages: return QStringLiteral("packages");
        case PanelKind::convertSources: return QStringLiteral("convertSources");
        case PanelKind::outputFolder: return QStringLiteral("outputFolder");
        case PanelKind::editorMedia: return QStringLiteral("editorMedia");
        case PanelKind::editorExport: return QStringLiteral("editorExport");
        case PanelKind::creditsPicture: return QStringLiteral("creditsPicture");
        case PanelKind::creditsDocument: return QStringLiteral("creditsDocument");
        case PanelKind::creditsExport: return QStringLiteral("creditsExport");
    }
    return {};
}

QString folderKey(PanelKind kind) { return QStringLiteral("panelFolder.") + kindName(kind); }

bool isFolder(const QString& path) { return !path.isEmpty() && QFileInfo(path).isDir(); }

// A panel never starts in the program's working directory, which means nothing to the user.
QString startFolder(PanelKind kind, const QString& directory, const QString& documentDirectory,
                    const SettingsStore& store) {
    if (isFolder(directory)) return directory;
    if (kind != PanelKind::none) {
        const std::optional<QString> last = store.text(folderKey(kind));
        if (last && isFolder(*last)) return *last;
    }
    if (isFolder(documentDirectory)) return documentDirectory;
    return QDir::homePath();
}

void rememberFolder(PanelKind kind, const QString& folder, SettingsStore& store) {
    if (kind == PanelKind::none || !isFolder(folder)) return;
    // Not being able to remember it only costs the user a few clicks next time.
    store.setText(folderKey(kind), QDir::cleanPath(folder));
}

void applyCommon(FilePanel& panel, const QString& message, const QString& prompt, const QString& folder,
                 bool canCreateDirectories) {
    panel.setMessage(message);
    if (!prompt.isEmpty()) panel.setLabelText(QFileDialog::Accept, prompt);
    panel.setDirectory(folder);
    panel.setOption(QFileDialog::ReadOnly, !canCreateDirectories);
}

}  // namespace

bool isFolderDocument(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("qmcredits") || suffix == QLatin1String("qmpack");
}

QIcon FilePanel::Icons::icon(const QFileInfo& info) const {
    if (info.isDir() && isFolderDocument(info.fileName())) return QFileIconProvider::icon(QAbstractFileIconProvider::File);
    return QFileIconProvider::icon(info);
}

QString FilePanel::Icons::type(const QFileInfo& info) const {
    if (info.isDir() && isFolderDocument(info.fileName())) return panelText("%1 Document").arg(info.suffix());
    return QFileIconProvider::type(info);
}

FilePanel::FilePanel(QWidget* parent) : QFileDialog(parent) {
    setOption(QFileDialog::DontUseNativeDialog);
    setIconProvider(&icons_);
    insertRows();
    // A double click (or Return in the list) on a folder document chooses it; Qt's own handler
    // would step into it.
    for (const char* name : {"listView", "treeView"}) {
        auto* view = findChild<QAbstractItemView*>(QLatin1String(name));
        if (view == nullptr) continue;
        disconnect(view, SIGNAL(activated(QModelIndex)), this, SLOT(_q_enterDirectory(QModelIndex)));
        connect(view, &QAbstractItemView::activated, this, [this](const QModelIndex& index) { activate(index); });
        // After Qt's own handlers, which leave folders out of the name field.
        connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                [this, view] { followSelection(*view); });
    }
    if (QLineEdit* edit = nameEdit()) {
        connect(edit, &QLineEdit::textChanged, this, [this] {
            showNotice(QString());
            followName();
        });
    }
    connect(this, &QFileDialog::directoryEntered, this, [this] { followName(); });
}

QLineEdit* FilePanel::nameEdit() const { return findChild<QLineEdit*>(QStringLiteral("fileNameEdit")); }

QPushButton* FilePanel::acceptButton() const {
    auto* box = findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    if (box == nullptr) return nullptr;
    return box->button(acceptMode() == AcceptSave ? QDialogButtonBox::Save : QDialogButtonBox::Open);
}

// The message goes above everything, the notice below: Qt's grid is moved down by one row.
void FilePanel::insertRows() {
    auto* grid = qobject_cast<QGridLayout*>(layout());
    message_ = new QLabel(this);
    message_->setObjectName(QStringLiteral("panelMessage"));
    message_->setWordWrap(true);
    message_->hide();
    notice_ = new QLabel(this);
    notice_->setObjectName(QStringLiteral("panelNotice"));
    notice_->setWordWrap(true);
    notice_->hide();
    if (grid == nullptr) return;
    struct Cell {
        QLayoutItem* item;
        int row, column, rowSpan, columnSpan;
    };
    std::vector<Cell> cells;
    while (grid->count() > 0) {
        Cell cell{};
        grid->getItemPosition(grid->count() - 1, &cell.row, &cell.column, &cell.rowSpan, &cell.columnSpan);
        cell.item = grid->takeAt(grid->count() - 1);
        cells.push_back(cell);
    }
    int columns = 1, rows = 0;
    for (const Cell& c : cells) {
        grid->addItem(c.item, c.row + 1, c.column, c.rowSpan, c.columnSpan, c.item->alignment());
        columns = std::max(columns, c.column + c.columnSpan);
        rows = std::max(rows, c.row + 1 + c.rowSpan);
    }
    grid->addWidget(message_, 0, 0, 1, columns);
    grid->addWidget(notice_, rows, 0, 1, columns);
}

void FilePanel::setMessage(const QString& message) {
    message_->setText(message);
    message_->setVisible(!message.isEmpty());
}

QStringList FilePanel::chosen() const { return chosen_.isEmpty() ? selectedFiles() : chosen_; }

void FilePanel::showNotice(const QString& text) {
    notice_->setText(text);
    notice_->setVisible(!text.isEmpty());
}

void FilePanel::activate(const QModelIndex& index) {
    const QString path = index.data(QFileSystemModel::FilePathRole).toString();
    if (fileMode() != Directory && isFolderDocument(path) && QFileInfo(path).isDir()) {
        if (!refuses(path)) finish({path});
        return;
    }
    QMetaObject::invokeMethod(this, "_q_enterDirectory", Q_ARG(QModelIndex, index));
}

// A folder document (or, where folders are chosen, a folder) picked in the list goes into the
// name field, as a file would.
void FilePanel::followSelection(const QAbstractItemView& view) {
    QLineEdit* edit = nameEdit();
    if (edit == nullptr || fileMode() == Directory) return;
    const QModelIndexList rows = view.selectionModel()->selectedRows();
    // Items elsewhere are selected while a path to them is being typed; the name stays as typed.
    if (rows.size() != 1 || rows.first().parent() != view.rootIndex()) return;
    const QString path = rows.first().data(QFileSystemModel::FilePathRole).toString();
    // Qt selects the item the name being typed stands for (with the default extension added);
    // writing that item's name back would put its extension in the middle of the typing.
    if (typedPaths().contains(path)) return;
    if (QFileInfo(path).isDir() && (isFolderDocument(path) || choosesFolders_)) edit->setText(QFileInfo(path).fileName());
}

// Qt offers "Open" (to step in) for any folder named in a save panel; a folder document is saved
// over instead.
void FilePanel::followName() {
    QPushButton* button = acceptButton();
    QLineEdit* edit = nameEdit();
    if (acceptMode() != AcceptSave || button == nullptr || edit == nullptr || edit->text().isEmpty()) return;
    const QStringList files = typedPaths();
    if (files.isEmpty() || !isFolderDocument(files.first())) return;
    const QString prompt = labelText(Accept);
    button->setText(prompt.isEmpty() || prompt == QFileDialog::tr("&Open") ? QFileDialog::tr("&Save") : prompt);
    button->setEnabled(true);
}

// What the name field says, as absolute paths: relative names are in the panel's folder, and a
// save panel's name without one of its extensions gets the first. Qt's own selection may still hold
// every folder passed on the way while an absolute path was being typed.
QStringList FilePanel::typedPaths() const {
    QLineEdit* edit = nameEdit();
    const QString text = edit != nullptr ? edit->text().trimmed() : QString();
    if (text.isEmpty()) return {};
    QStringList names;
    if (text.contains(u'"')) {
        const QStringList parts = text.split(u'"');
        for (int i = 1; i < parts.size(); i += 2) names.append(parts[i]);
    } else {
        names.append(text);
    }
    QStringList paths;
    for (QString name : names) {
        if (name == QLatin1String("~") || name.startsWith(QLatin1String("~/"))) name.replace(0, 1, QDir::homePath());
        const QString path = QDir::cleanPath(directory().absoluteFilePath(name));
        paths.append(acceptMode() == AcceptSave ? withExtension(path) : path);
    }
    return paths;
}

// A save panel holds to its type: "show.txt" becomes "show.txt.qmproj", or a file the matching
// open panel could not list would be written. A plain folder is left alone (it is entered), and
// so is a folder document of another kind (it is refused with a word of its own).
QString FilePanel::withExtension(const QString& path) const {
    if (allowedExtensions_.isEmpty()) return path;
    const QFileInfo info(path);
    const QString suffix = info.suffix();
    if (allowedExtensions_.contains(suffix, Qt::CaseInsensitive) || isFolderDocument(path)) return path;
    if (info.isDir() || info.fileName().isEmpty()) return path;
    return (path.endsWith(QLatin1Char('.')) ? path : path + QLatin1Char('.')) + allowedExtensions_.first();
}

void FilePanel::accept() {
    QLineEdit* edit = nameEdit();
    const QString typed = edit != nullptr ? edit->text().trimmed() : QString();
    const QStringList files = typed.isEmpty() ? selectedFiles() : typedPaths();
    if (files.isEmpty() || typed == QLatin1String("..") || fileMode() == Directory) {
        QFileDialog::accept();
        return;
    }
    if (acceptMode() == AcceptSave) {
        if (typed.isEmpty()) return;
        const QString& target = files.first();
        const QFileInfo info(target);
        if (info.isDir() && !isFolderDocument(target)) {
            enter(target);
            return;
        }
        if (isFolderDocument(target) && refuses(target)) return;
        if (!QFileInfo(info.absolutePath()).isDir()) {
            showNotice(panelText("The folder “%1” doesn’t exist.").arg(info.absolutePath()));
            return;
        }
        if (refusal_) {
            const QString why = refusal_(target);
            if (!why.isEmpty()) {
                showNotice(why);
                return;
            }
        }
        if ((info.exists() || info.isSymLink()) && !mayReplace(target)) return;
        finish({target});
        return;
    }
    for (const QString& file : files) {
        const QFileInfo info(file);
        if (!info.exists()) {
            showNotice(panelText("“%1” doesn’t exist.").arg(typed.isEmpty() ? info.fileName() : typed));
            return;
        }
        if (info.isDir() && !isFolderDocument(file) && !choosesFolders_) {
            enter(file);
            return;
        }
    }
    finish(files);
}

void FilePanel::enter(const QString& folder) {
    setDirectory(folder);
    if (QLineEdit* edit = nameEdit()) edit->clear();
}

bool FilePanel::mayReplace(const QString& path) {
    const QFileInfo info(path);
    QMessageBox box(QMessageBox::Warning, windowTitle(),
                    panelText("“%1” already exists. Do you want to replace it?").arg(info.fileName()), QMessageBox::NoButton,
                    this);
    box.setInformativeText(panelText("An item with the same name already exists in “%1”. Replacing it overwrites its "
                              "current contents.")
                               .arg(info.dir().dirName()));
    QPushButton* replace = box.addButton(panelText("Replace"), QMessageBox::DestructiveRole);
    box.setDefaultButton(box.addButton(QMessageBox::Cancel));
    box.exec();
    return box.clickedButton() == replace;
}

// A folder document of a kind this panel does not choose: the panel says so and stays.
bool FilePanel::refuses(const QString& path) {
    const QString extension = QFileInfo(path).suffix();
    if (allowedExtensions_.isEmpty() || allowedExtensions_.contains(extension, Qt::CaseInsensitive)) return false;
    if (extension.compare(QLatin1String("qmpack"), Qt::CaseInsensitive) == 0)
        showNotice(panelText("A project package can’t be saved here. To write or replace a package, use Package Project…"));
    else
        showNotice(panelText("“%1” can’t be saved here.").arg(QFileInfo(path).fileName()));
    return true;
}

void FilePanel::finish(const QStringList& paths) {
    chosen_ = paths;
    chosen_.removeDuplicates();
    QDialog::accept();
}

QStringList panelNameFilters(const QList<PanelContentType>& types) {
    QStringList patterns;
    for (PanelContentType t : types) patterns.append(patternsFor(t));
    if (patterns.isEmpty()) return {};
    const QString label = types.size() == 1 && types.first() == PanelContentType::movie
                              ? QApplication::translate("DesktopServices", "Movies")
                              : QApplication::translate("DesktopServices", "Supported files");
    return {label + QStringLiteral(" (") + patterns.join(u' ') + u')',
            QApplication::translate("DesktopServices", "All files (*)")};
}

QStringList runOpenPanel(const OpenPanelRequest& request, QWidget* parent, SettingsStore& store) {
    FilePanel panel(parent);
    panel.setAcceptMode(QFileDialog::AcceptOpen);
    applyCommon(panel, request.message, request.prompt,
                startFolder(request.kind, request.directory, request.documentDirectory, store),
                request.canCreateDirectories);
    const QStringList filters = panelNameFilters(request.allowedContentTypes);
    if (!filters.isEmpty()) panel.setNameFilters(filters);
    if (request.canChooseDirectories && !request.canChooseFiles) {
        panel.setFileMode(QFileDialog::Directory);
        panel.setOption(QFileDialog::ShowDirsOnly);
    } else {
        panel.setFileMode(request.allowsMultipleSelection ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
        panel.setChoosesFolders(request.canChooseDirectories);
    }
    if (panel.exec() != QDialog::Accepted) return {};
    const QStringList chosen = panel.chosen();
    if (!chosen.isEmpty()) {
        // A chosen folder is where the next folder panel starts; chosen files, the folder they are in.
        const bool folders = panel.fileMode() == QFileDialog::Directory;
        rememberFolder(request.kind, folders ? chosen.first() : QFileInfo(chosen.first()).absolutePath(), store);
    }
    return request.allowsMultipleSelection ? chosen : chosen.mid(0, 1);
}

std::optional<QString> runSavePanel(const SavePanelRequest& request, QWidget* parent, SettingsStore& store) {
    FilePanel panel(parent);
    panel.setAcceptMode(QFileDialog::AcceptSave);
    panel.setFileMode(QFileDialog::AnyFile);
    applyCommon(panel, request.message, request.prompt,
                startFolder(request.kind, request.directory, request.documentDirectory, store),
                request.canCreateDirectories);
    panel.setRefusal(request.refusal);
    if (!request.allowedExtensions.isEmpty()) {
        QStringList patterns;
        for (const QString& ext : request.allowedExtensions) patterns.append(QStringLiteral("*.") + ext);
        panel.setNameFilter(patterns.join(u' '));
        panel.setDefaultSuffix(request.allowedExtensions.first());
        panel.setAllowedExtensions(request.allowedExtensions);
    }
    if (!request.suggestedName.isEmpty()) panel.selectFile(request.suggestedName);
    if (panel.exec() != QDialog::Accepted || panel.chosen().isEmpty()) return std::nullopt;
    const QString chosen = panel.chosen().first();
    rememberFolder(request.kind, QFileInfo(chosen).absolutePath(), store);
    return chosen;
}

}  // namespace qm
