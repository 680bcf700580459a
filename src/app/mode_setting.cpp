#include "app/mode_setting.h"

#include <QSettings>

#include "platform/system/settings_store.h"

namespace qm {

namespace {

// The application's default settings file (organisation and application names of the running
// program), written through the store so that a full disk never cuts it.
SettingsStore modeStore() { return SettingsStore(QSettings().fileName()); }

}  // namespace

ModeSetting::ModeSetting(QObject* parent) : QObject(parent), last_(AppMode::convert) { last_ = mode(); }

bool ModeSetting::isBuilt(AppMode) { return true; }

QString ModeSetting::storedText() const { return modeStore().text(QString::fromLatin1(kKey)).value_or(QString()); }

AppMode ModeSetting::mode() const {
    const auto stored = appModeFromRawValue(storedText().toStdString());
    if (!stored || !isBuilt(*stored)) return AppMode::convert;
    return *stored;
}

void ModeSetting::writeStoredText(const QString& text) {
    modeStore().setText(QString::fromLatin1(kKey), text);
    const AppMode now = mode();
    if (now != last_) {
        last_ = now;
        emit modeChanged(now);
    }
}

void ModeSetting::setMode(AppMode mode) {
    writeStoredText(QString::fromLatin1(rawValue(mode).data(), qsizetype(rawValue(mode).size())));
}

}  // namespace qm
