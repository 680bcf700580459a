#include "app/mode_setting.h"

#include <QSettings>

namespace qm {

ModeSetting::ModeSetting(QObject* parent) : QObject(parent), last_(AppMode::convert) { last_ = mode(); }

bool ModeSetting::isBuilt(AppMode mode) { return mode == AppMode::convert || mode == AppMode::credits; }

QString ModeSetting::storedText() const { return QSettings().value(QString::fromLatin1(kKey)).toString(); }

AppMode ModeSetting::mode() const {
    const auto stored = appModeFromRawValue(storedText().toStdString());
    if (!stored || !isBuilt(*stored)) return AppMode::convert;
    return *stored;
}

void ModeSetting::writeStoredText(const QString& text) {
    QSettings().setValue(QString::fromLatin1(kKey), text);
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
