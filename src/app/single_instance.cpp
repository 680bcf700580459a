#include "app/single_instance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <memory>

#include <unistd.h>

namespace qm {

namespace {
// Whole message: one local file path per line, UTF-8, then the connection closes.
QByteArray encode(const QList<QUrl>& files) {
    QByteArray data;
    for (const QUrl& url : files) {
        data += url.toLocalFile().toUtf8();
        data += '\n';
    }
    return data;
}

QList<QUrl> decode(const QByteArray& data) {
    QList<QUrl> files;
    for (const QByteArray& line : data.split('\n'))
        if (!line.isEmpty()) files.append(QUrl::fromLocalFile(QString::fromUtf8(line)));
    return files;
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
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = QDir::tempPath();
    return QDir(folder).filePath(QStringLiteral("quillmere-%1-%2")
                                     .arg(part(user, "user"), part(session, "nosession")));
}

bool SingleInstance::forwardToRunning(const QList<QUrl>& files, int timeoutMs) const {
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
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(name_)) {
        // Nobody answered before we got here, so whatever holds the name is stale.
        QLocalServer::removeServer(name_);
        if (!server_->listen(name_)) return false;
    }
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::readConnection);
    return true;
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
