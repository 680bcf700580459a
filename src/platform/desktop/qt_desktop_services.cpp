#include "platform/desktop/qt_desktop_services.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QItemSelectionModel>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include <canberra.h>

namespace qm {

namespace {

const QString kMoviePatterns = QStringLiteral(
    "*.mov *.mp4 *.m4v *.mkv *.webm *.avi *.mxf *.ts *.m2ts *.mts *.MOV *.MP4 *.M4V *.MKV *.AVI *.MXF");
const QString kAudioPatterns = QStringLiteral(
    "*.wav *.aif *.aiff *.mp3 *.m4a *.aac *.flac *.ogg *.opus *.caf *.WAV *.AIF *.AIFF *.MP3 *.M4A *.FLAC");
const QString kImagePatterns =
    QStringLiteral("*.png *.jpg *.jpeg *.tif *.tiff *.bmp *.gif *.webp *.PNG *.JPG *.JPEG *.TIF *.TIFF");
const QString kCreditsProjectPatterns = QStringLiteral("*.qmcredits project.json");
const QString kCreditsDocumentPatterns = QStringLiteral("*.docx *.pdf *.DOCX *.PDF");

const QString& patternsFor(PanelContentType type) {
    switch (type) {
        case PanelContentType::movie: return kMoviePatterns;
        case PanelContentType::image: return kImagePatterns;
        case PanelContentType::creditsProject: return kCreditsProjectPatterns;
        case PanelContentType::creditsDocument: return kCreditsDocumentPatterns;
        case PanelContentType::audio: return kAudioPatterns;
    }
    return kImagePatterns;
}

// Qt's own dialog chooses files or folders, not both; this lets its Open button take whatever
// is selected in the list, folders included, without stepping into them.
QStringList runFilesAndFoldersDialog(QFileDialog& dialog) {
    QStringList chosen;
    auto* buttons = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    QPushButton* open = buttons ? buttons->button(QDialogButtonBox::Open) : nullptr;
    if (open != nullptr) {
        open->disconnect();
        open->setEnabled(true);
        QObject::connect(open, &QPushButton::clicked, &dialog, [&dialog, &chosen] {
            for (auto* view : dialog.findChildren<QAbstractItemView*>()) {
                if (!view->isVisible() || view->selectionModel() == nullptr) continue;
                for (const QModelIndex& index : view->selectionModel()->selectedRows())
                    chosen.append(index.data(QFileSystemModel::FilePathRole).toString());
                if (!chosen.isEmpty()) break;
            }
            if (chosen.isEmpty()) chosen = dialog.selectedFiles();
            static_cast<QDialog&>(dialog).done(QDialog::Accepted);
        });
    }
    if (dialog.exec() != QDialog::Accepted) return {};
    if (open == nullptr) return dialog.selectedFiles();
    chosen.removeDuplicates();
    return chosen;
}

}  // namespace

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

QtDesktopServices::QtDesktopServices() {
    if (ca_context_create(&sound_) != 0) sound_ = nullptr;
}

QtDesktopServices::~QtDesktopServices() {
    if (sound_ != nullptr) ca_context_destroy(sound_);
}

QStringList QtDesktopServices::runOpenPanel(const OpenPanelRequest& request) {
    QFileDialog dialog(window_);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!request.message.isEmpty()) dialog.setWindowTitle(request.message);
    if (!request.prompt.isEmpty()) dialog.setLabelText(QFileDialog::Accept, request.prompt);
    if (!request.directory.isEmpty()) dialog.setDirectory(request.directory);
    dialog.setOption(QFileDialog::ReadOnly, !request.canCreateDirectories);
    const QStringList filters = panelNameFilters(request.allowedContentTypes);
    if (!filters.isEmpty()) dialog.setNameFilters(filters);

    if (request.canChooseDirectories && !request.canChooseFiles) {
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        if (dialog.exec() != QDialog::Accepted) return {};
        return dialog.selectedFiles().mid(0, 1);
    }
    dialog.setFileMode(request.allowsMultipleSelection ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    if (request.canChooseDirectories) return runFilesAndFoldersDialog(dialog);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.selectedFiles();
}

std::optional<QString> QtDesktopServices::runSavePanel(const SavePanelRequest& request) {
    QFileDialog dialog(window_);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (!request.message.isEmpty()) dialog.setWindowTitle(request.message);
    if (!request.prompt.isEmpty()) dialog.setLabelText(QFileDialog::Accept, request.prompt);
    if (!request.directory.isEmpty()) dialog.setDirectory(request.directory);
    if (!request.suggestedName.isEmpty()) dialog.selectFile(request.suggestedName);
    if (!request.allowedExtensions.isEmpty()) {
        QStringList patterns;
        for (const QString& ext : request.allowedExtensions) patterns.append(QStringLiteral("*.") + ext);
        dialog.setNameFilter(patterns.join(u' '));
        dialog.setDefaultSuffix(request.allowedExtensions.first());
    }
    dialog.setOption(QFileDialog::ReadOnly, !request.canCreateDirectories);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first();
}

void QtDesktopServices::revealInFileManager(const QStringList& paths) {
    if (paths.isEmpty()) return;
    QStringList uris;
    for (const QString& p : paths) uris.append(QUrl::fromLocalFile(p).toString());
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << uris << QString();
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
    if (reply.type() == QDBusMessage::ReplyMessage) return;
    // No file manager on the bus: open the folder that holds the first item instead.
    const QFileInfo first(paths.first());
    QDesktopServices::openUrl(QUrl::fromLocalFile(first.absolutePath()));
}

void QtDesktopServices::playCompletionSound() {
    if (sound_ == nullptr) return;
    ca_context_play(sound_, 0, CA_PROP_EVENT_ID, "complete", CA_PROP_EVENT_DESCRIPTION, "Conversion finished",
                    nullptr);
}

void QtDesktopServices::requestAttention(AttentionRequest kind) {
    QWidget* window = window_ != nullptr ? window_ : QApplication::activeWindow();
    if (window == nullptr) return;
    // Informational: a short hint; critical: until the user comes back.
    QApplication::alert(window, kind == AttentionRequest::informational ? 3000 : 0);
}

SaveChangesAnswer QtDesktopServices::askToSaveChanges(const QString& name) {
    QMessageBox box(window_ != nullptr ? window_ : QApplication::activeWindow());
    box.setIcon(QMessageBox::Warning);
    box.setText(QApplication::translate("DesktopServices", "Do you want to save the changes made to “%1”?").arg(name));
    box.setInformativeText(QApplication::translate("DesktopServices", "Your changes will be lost if you don’t save them."));
    box.setStandardButtons(QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Save);
    switch (box.exec()) {
        case QMessageBox::Save:
            return SaveChangesAnswer::save;
        case QMessageBox::Discard:
            return SaveChangesAnswer::dontSave;
        default:
            return SaveChangesAnswer::cancel;
    }
}

}  // namespace qm
