#pragma once
// The desktop services of a real session: the file panels, the file manager over D-Bus, the
// freedesktop event sound and the window manager's attention hint.

#include "platform/system/desktop_services.h"
#include "platform/system/settings_store.h"

struct ca_context;
class QWidget;

namespace qm {

class QtDesktopServices final : public DesktopServices {
public:
    // `store` keeps where each kind of panel was last used.
    explicit QtDesktopServices(SettingsStore store = {});
    ~QtDesktopServices() override;
    QtDesktopServices(const QtDesktopServices&) = delete;
    QtDesktopServices& operator=(const QtDesktopServices&) = delete;

    // The window panels are attached to and whose attention is requested.
    void setWindow(QWidget* window) { window_ = window; }

    QStringList runOpenPanel(const OpenPanelRequest& request) override;
    std::optional<QString> runSavePanel(const SavePanelRequest& request) override;
    void revealInFileManager(const QStringList& paths) override;
    void playCompletionSound() override;
    void requestAttention(AttentionRequest kind) override;
    SaveChangesAnswer askToSaveChanges(const QString& name) override;

private:
    QWidget* window_ = nullptr;
    ca_context* sound_ = nullptr;
    SettingsStore store_;
};

}  // namespace qm
