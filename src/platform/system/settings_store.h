#pragma once
// The user defaults: one INI file for the whole application (organisation and application
// "Quillmere"). JSON records are kept as their text; data values (bookmarks) as base64 text.
// Every change is written at once; a change that could not be written (a full disk) leaves the
// file as it was, is logged, and returns the system's reason.

#include <optional>

#include <QByteArray>
#include <QString>

namespace qm {

class SettingsStore {
public:
    // The application's own store.
    SettingsStore();
    // A store in the given INI file; tests use a file in a temporary folder.
    explicit SettingsStore(QString iniFile);

    // Moves every default-constructed store of this process into the folder (tests).
    static void setStorageFolder(const QString& folder);

    std::optional<QString> text(const QString& key) const;
    QString setText(const QString& key, const QString& value);

    std::optional<QByteArray> data(const QString& key) const;
    QString setData(const QString& key, const QByteArray& value);

    bool contains(const QString& key) const;
    QString remove(const QString& key);
    // Writes anything still pending; empty once it is on disk, else the reason.
    QString sync();

    const QString& iniFile() const { return iniFile_; }

private:
    QString iniFile_;  // empty: the application's default location
};

}  // namespace qm
