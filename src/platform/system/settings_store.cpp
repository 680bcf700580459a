#include "platform/system/settings_store.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QtGlobal>
#include <QSettings>
#include <QStringList>

#include "platform/system/user_file.h"

namespace qm {

namespace {

QString kOrganisation = QStringLiteral("Quillmere");
QString kApplication = QStringLiteral("Quillmere");

// The reason the last write of the settings file failed, for the store that asked for it (the
// format's functions have no other way to hand it back).
thread_local int lastWriteError = 0;

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Keys as the INI files of earlier versions have them: "/" as "\", anything but letters, digits,
// "_", "-" and "." as %XX or %UXXXX.
QByteArray escapedKey(const QString& key) {
    QByteArray out;
    for (const QChar qc : key) {
        const char16_t c = qc.unicode();
        if (c == '/') out += '\\';
        else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.')
            out += char(c);
        else if (c <= 0xFF) out += '%' + QByteArray::number(c, 16).rightJustified(2, '0').toUpper();
        else out += "%U" + QByteArray::number(c, 16).rightJustified(4, '0').toUpper();
    }
    return out;
}

QString unescapedKey(const QByteArray& raw) {
    QString out;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\\') out += u'/';
        else if (c == '%' && i + 5 < raw.size() && raw[i + 1] == 'U') {
            out += QChar(char16_t(raw.mid(i + 2, 4).toUInt(nullptr, 16)));
            i += 5;
        } else if (c == '%' && i + 2 < raw.size() && isHex(raw[i + 1]) && isHex(raw[i + 2])) {
            out += QChar(char16_t(raw.mid(i + 1, 2).toUInt(nullptr, 16)));
            i += 2;
        } else out += QChar::fromLatin1(c);
    }
    return out;
}

// A text value, quoted where a separator or an edge space would change its meaning, with the
// escapes the INI reader of earlier versions undoes.
QByteArray escapedValue(const QString& value) {
    const QString text = value.startsWith(u'@') ? u'@' + value : value;
    QByteArray out;
    bool quote = !text.isEmpty() && (text.front() == u' ' || text.back() == u' ');
    bool afterHex = false;  // a hex digit right after a \x escape would be read as part of it
    for (const QChar qc : text) {
        const char16_t c = qc.unicode();
        if (afterHex && c < 0x80 && isHex(char(c))) {
            out += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        afterHex = false;
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c == ';' || c == ',' || c == '=') quote = true;
            if (c < 0x20) {
                out += "\\x" + QByteArray::number(c, 16);
                afterHex = true;
            } else {
                out += QString(qc).toUtf8();
            }
        }
    }
    return quote ? '"' + out + '"' : out;
}

// One value as written by this format or by earlier versions: quoted and unquoted runs, escapes,
// ";" starting a comment and "," separating the items of a list.
QVariant unescapedValue(const QByteArray& raw) {
    QStringList items{QString()};
    QByteArray run;  // UTF-8 bytes not yet decoded
    const auto flush = [&] {
        items.back() += QString::fromUtf8(run);
        run.clear();
    };
    bool quoted = false;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (c == '\\' && i + 1 < raw.size()) {
            const char e = raw[++i];
            switch (e) {
            case 'n': run += '\n'; break;
            case 'r': run += '\r'; break;
            case 't': run += '\t'; break;
            case 'a': run += '\a'; break;
            case 'b': run += '\b'; break;
            case 'f': run += '\f'; break;
            case 'v': run += '\v'; break;
            case '0': run += '\0'; break;
            case 'x': {
                qsizetype end = i + 1;
                while (end < raw.size() && isHex(raw[end])) ++end;
                flush();
                items.back() += QChar(char16_t(raw.mid(i + 1, end - i - 1).toUInt(nullptr, 16)));
                i = end - 1;
                break;
            }
            default: run += e;
            }
        } else if (!quoted && c == ';') {
            break;
        } else if (!quoted && c == ',') {
            flush();
            items.back() = items.back().trimmed();
            items.append(QString());
        } else {
            run += c;
        }
    }
    flush();
    if (items.size() == 1) {
        QString text = raw.trimmed().startsWith('"') ? items.front() : items.front().trimmed();
        if (text.startsWith(u"@@")) text.remove(0, 1);
        return text;
    }
    items.back() = items.back().trimmed();
    return items;
}

bool readIni(QIODevice& device, QSettings::SettingsMap& map) {
    QString section;
    for (const QByteArray& line : device.readAll().split('\n')) {
        const QByteArray text = line.trimmed();
        if (text.isEmpty() || text.startsWith(';') || text.startsWith('#')) continue;
        if (text.startsWith('[')) {
            const qsizetype end = text.indexOf(']');
            section = unescapedKey(text.mid(1, end < 0 ? -1 : end - 1));
            if (section.compare(u"General", Qt::CaseInsensitive) == 0) section.clear();
            continue;
        }
        const qsizetype equals = text.indexOf('=');
        if (equals <= 0) continue;
        const QString key = unescapedKey(text.left(equals).trimmed());
        map.insert(section.isEmpty() ? key : section + u'/' + key, unescapedValue(text.mid(equals + 1)));
    }
    return true;
}

// Written straight to the file with every result checked: the settings writer's own buffered
// writes report a full disk as success and leave a cut file behind.
bool writeIni(QIODevice& device, const QSettings::SettingsMap& map) {
    QByteArray bytes = "[General]\n";
    for (auto it = map.begin(); it != map.end(); ++it) {
        const QVariant& value = it.value();
        QByteArray text;
        if (value.typeId() == QMetaType::QStringList) {
            QList<QByteArray> parts;
            for (const QString& item : value.toStringList()) parts += escapedValue(item);
            text = parts.join(", ");
        } else {
            text = escapedValue(value.toString());
        }
        bytes += escapedKey(it.key()) + '=' + text + '\n';
    }
    auto* file = qobject_cast<QFileDevice*>(&device);
    if (file == nullptr || file->handle() < 0) {
        lastWriteError = EIO;
        return false;
    }
    const int fd = file->handle();
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            lastWriteError = errno;
            return false;
        }
        done += n;
    }
    if (::fsync(fd) != 0 && errno != EINVAL) {
        lastWriteError = errno;
        return false;
    }
    return true;
}

QSettings::Format format() {
    static const QSettings::Format registered = QSettings::registerFormat(QStringLiteral("ini"), readIni, writeIni);
    return registered;
}

// One QSettings per operation keeps the store usable from any model without shared state;
// QSettings itself caches and synchronises the file between instances.
template <typename F>
auto withSettings(const QString& iniFile, F&& f) {
    QString path = iniFile;
    if (path.isEmpty())
        path = QSettings(QSettings::IniFormat, QSettings::UserScope, kOrganisation, kApplication).fileName();
    QSettings settings(path, format());
    return f(settings);
}

// Why a file cannot be written in the folder when the settings writer failed before writing (it
// keeps the reason to itself): a byte written and synced beside the file tells.
int folderError(const QString& file) {
    const QByteArray probe = QFile::encodeName(QFileInfo(file).absolutePath()) + "/.settings-probe." +
                             QByteArray::number(::getpid());
    const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    int error = ::write(fd, "?", 1) == 1 && ::fsync(fd) == 0 ? EIO : errno;
    ::close(fd);
    ::unlink(probe.constData());
    return error;
}

// Writes now and says why when the file could not be written; the file then keeps what it had.
QString written(QSettings& settings) {
    lastWriteError = 0;
    settings.sync();
    if (settings.status() == QSettings::NoError) return {};
    const QString reason = systemReason(lastWriteError != 0 ? lastWriteError : folderError(settings.fileName()));
    qWarning("The settings could not be saved in %s: %s", qPrintable(settings.fileName()), qPrintable(reason));
    return reason;
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

QString SettingsStore::setText(const QString& key, const QString& value) {
    return withSettings(iniFile_, [&](QSettings& s) {
        s.setValue(key, value);
        return written(s);
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

QString SettingsStore::setData(const QString& key, const QByteArray& value) {
    return withSettings(iniFile_, [&](QSettings& s) {
        s.setValue(key, QString::fromLatin1(value.toBase64()));
        return written(s);
    });
}

bool SettingsStore::contains(const QString& key) const {
    return withSettings(iniFile_, [&](QSettings& s) { return s.contains(key); });
}

QString SettingsStore::remove(const QString& key) {
    return withSettings(iniFile_, [&](QSettings& s) {
        s.remove(key);
        return written(s);
    });
}

QString SettingsStore::sync() {
    return withSettings(iniFile_, [&](QSettings& s) { return written(s); });
}

}  // namespace qm
