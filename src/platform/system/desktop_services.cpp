#include "platform/system/desktop_services.h"

#include <atomic>

namespace qm {

namespace {

class QuietDesktopServices final : public DesktopServices {
public:
    QStringList runOpenPanel(const OpenPanelRequest&) override { return {}; }
    std::optional<QString> runSavePanel(const SavePanelRequest&) override { return std::nullopt; }
    void revealInFileManager(const QStringList&) override {}
    void playCompletionSound() override {}
    void requestAttention(AttentionRequest) override {}
};

QuietDesktopServices quiet;
std::atomic<DesktopServices*> installed{nullptr};

}  // namespace

DesktopServices& desktopServices() {
    DesktopServices* services = installed.load();
    return services ? *services : quiet;
}

void setDesktopServices(DesktopServices* services) { installed.store(services); }

bool mayReplaceChanges(DesktopServices& desktop, const QString& name, const std::function<bool()>& save) {
    switch (desktop.askToSaveChanges(name)) {
        case SaveChangesAnswer::save:
            return save();
        case SaveChangesAnswer::dontSave:
            return true;
        case SaveChangesAnswer::cancel:
            break;
    }
    return false;
}

}  // namespace qm
