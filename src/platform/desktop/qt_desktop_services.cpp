#include "platform/desktop/qt_desktop_services.h"

#include "platform/desktop/file_panel.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

#include <canberra.h>

namespace qm {

QtDesktopServices::QtDesktopServices(SettingsStore store) : store_(std::move(store)) {
    if (ca_context_create(&sound_) != 0) sound_ = nullptr;
}

QtDesktopServices::~QtDesktopServices() {
    if (sound_ != nullptr) ca_context_destroy(sound_);
}

QStringList QtDesktopServices::runOpenPanel(const OpenPanelRequest& request) {
    return qm::runOpenPanel(request, window_, store_);
}

std::optional<QString> QtDesktopServices::runSavePanel(const SavePanelRequest& request) {
    return qm::runSavePanel(request, window_, store_);
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
