#include "app/single_instance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <memory>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace qm {

namespace {
// Whole message: each local file path in UTF-8 followed by a NUL, then the connection closes. NUL
// is the one byte a path cannot hold, so a name with a newline stays one name.
QByteArray encode(const QList<QUrl>& files) {
    QByteArray data;
    for (const QUrl& url : files) {
        data += url.toLocalFile().toUtf8();
        data += '\0';
    }
    return data;
}

QList<QUrl> decode(const QByteArray& data) {
    QList<QUrl> files;
    for (const QByteArray& path : data.split('\0'))
        if (!path.isEmpty()) files.append(QUrl::fromLocalFile(QString::fromUtf8(path)));
    return files;
}

// Without a runtime folder the socket goes into a folder of the temporary one that only this
// user can enter: anyone else could otherwise take the name first. Made with mode 0700 when
// missing; one that is a link, another user's or open to others is refused (empty result).
QString privateFolder(const QString& temporary) {
    const QByteArray path = QFile::encodeName(QDir(temporary).filePath(QStringLiteral("quillmere-%1").arg(getuid())));
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) return {};
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
        (info.st_mode & 077) != 0)
        return {};
    return QFile::decodeName(path);
}
}  // namespace

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), name_(std::move(name)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultName(const QProcessEnvironment& environment) {
    // Only characters that are safe in a file name; the rest become '_' (":0" reads "_0").
    auto part = [](QString text, const char* fallback) {
        if (text.isEmpty()) text = QString::fromLatin1(fallback);
        for (QChar& c : text)
            if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'.' && c != u'-') c = u'_';
        return text;
    };
    QString session = environment.value(QStringLiteral("WAYLAND_DISPLAY"));
    if (session.isEmpty()) session = environment.value(QStringLiteral("DISPLAY"));
    if (session.isEmpty()) session = environment.value(QStringLiteral("XDG_SESSION_ID"));
    QString user = environment.value(QStringLiteral("USER"), environment.value(QStringLiteral("LOGNAME")));
    if (user.isEmpty()) user = QString::number(getuid());
    QString folder = environment.value(QStringLiteral("XDG_RUNTIME_DIR"));
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        folder = privateFolder(environment.value(QStringLiteral("TMPDIR"), QStringLiteral("/tmp")));
        if (folder.isEmpty()) return {};
    }
    return QDir(folder).filePath(QStringLiteral("quillmere-%1-%2")
                                     .arg(part(user, "user"), part(session, "nosession")));
}

bool SingleInstance::forwardToRunning(const QList<QUrl>& files, int timeoutMs) const {
    if (name_.isEmpty()) return false;
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write(encode(files));
    if (!socket.waitForBytesWritten(timeoutMs) && socket.bytesToWrite() > 0) return false;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(timeoutMs);
    return true;
}

bool SingleInstance::listen() {
    if (name_.isEmpty()) return false;
    server_ = new QLocalServer(this);
    // No socket options: with them Qt binds elsewhere and renames over the name, taking it from
    // a running instance. Plain bind fails while the name exists; the folder is the user's own.
    if (!server_->listen(name_)) {
        // The name is taken. Only a socket nobody listens on (refused) or a file that is no
        // socket is stale; a running instance too busy to accept in time keeps its name.
        QLocalSocket probe;
        probe.connectToServer(name_);
        const bool alive = probe.waitForConnected(500) || (probe.error() != QLocalSocket::ConnectionRefusedError &&
                                                           probe.error() != QLocalSocket::ServerNotFoundError);
        probe.abort();
        if (alive) return false;
        QLocalServer::removeServer(name_);
        if (!server_->listen(name_)) return false;
    }
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::readConnection);
    return true;
}

void SingleInstance::close() {
    delete server_;
    server_ = nullptr;
}

void SingleInstance::readConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        struct Pending {
            QByteArray data;
            bool done = false;
        };
        auto pending = std::make_shared<Pending>();
        auto finish = [this, socket, pending] {
            if (pending->done) return;
            pending->done = true;
            pending->data += socket->readAll();
            socket->deleteLater();
            const QList<QUrl> files = decode(pending->data);
            if (!files.isEmpty()) emit filesReceived(files);
        };
        connect(socket, &QLocalSocket::readyRead, this, [socket, pending] {
            if (!pending->done) pending->data += socket->readAll();
        });
        connect(socket, &QLocalSocket::disconnected, this, finish);
        if (socket->state() == QLocalSocket::UnconnectedState) finish();
    }
}

}  // namespace qm
