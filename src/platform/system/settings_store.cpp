#include "platform/system/settings_store.h"

#include <QSettings>

namespace qm {

namespace {

QString kOrganisation = QStringLiteral("Quillmere");
QString kApplication = QStringLiteral("Quillmere");

// One QSettings per operation keeps the store usable from any model without shared state;
// QSettings itself caches and synchronises the file between instances.
template <typename F>
auto withSettings(const QString& iniFile, F&& f) {
    if (iniFile.isEmpty()) {
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, kOrganisation, kApplication);
        return f(settings);
    }
    QSettings settings(iniFile, QSettings::IniFormat);
    return f(settings);
}

}  // namespace

SettingsStore::SettingsStore() = default;

SettingsStore::SettingsStore(QString iniFile) : iniFile_(std::move(iniFile)) {}

void SettingsStore::setStorageFolder(const QString& folder) {
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
}

std::optional<QString> SettingsStore::text(const QString& key) const {
    return withSettings(iniFile_, [&](QSettings& s) -> std::optional<QString> {
        const QVariant value = s.value(key);
        if (!value.isValid()) return std::nullopt;
        if (value.typeId() == QMetaType::QByteArray) return QString::fromUtf8(value.toByteArray());
        if (!value.canConvert<QString>()) return std::nullopt;
        return value.toString();
    });
}

void SettingsStore::setText(const QString& key, const QString& value) {
    withSettings(iniFile_, [&](QSettings& s) {
        s.setValue(key, value);
        return 0;
    });
}

std::optional<QByteArray> SettingsStore::data(const QString& key) const {
    return withSettings(iniFile_, [&](QSettings& s) -> std::optional<QByteArray> {
        const QVariant value = s.value(key);
        if (!value.isValid()) return std::nullopt;
        if (value.typeId() == QMetaType::QByteArray) return value.toByteArray();
        const QByteArray text = value.toString().toLatin1();
        auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded) return std::nullopt;
        return *decoded;
    });
}

void SettingsStore::setData(const QString& key, const QByteArray& value) {
    withSettings(iniFile_, [&](QSettings& s) {
        s.setValue(key, QString::fromLatin1(value.toBase64()));
        return 0;
    });
}

bool SettingsStore::contains(const QString& key) const {
    return withSettings(iniFile_, [&](QSettings& s) { return s.contains(key); });
}

void SettingsStore::remove(const QString& key) {
    withSettings(iniFile_, [&](QSettings& s) {
        s.remove(key);
        return 0;
    });
}

void SettingsStore::sync() {
    withSettings(iniFile_, [&](QSettings& s) {
        s.sync();
        return 0;
    });
}

}  // namespace qm
