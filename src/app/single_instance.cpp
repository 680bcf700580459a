#include "app/single_instance.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <memory>

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

QString SingleInstance::defaultName() {
    const QByteArray user = qgetenv("USER");
    return QStringLiteral("quillmere-") + QString::fromLocal8Bit(user.isEmpty() ? QByteArray("user") : user);
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
