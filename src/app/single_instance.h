#pragma once
// One running window per user and graphical session: a second launch in the same session hands its
// files to the first over a local socket and exits. A launch in another session (another display)
// starts its own window rather than sending files to one the user cannot see.

#include <QList>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QUrl>

class QLocalServer;

namespace qm {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // name: the local socket's name (tests use their own).
    explicit SingleInstance(QString name, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Sends the files to a running instance. True when one took them; false when none answers.
    bool forwardToRunning(const QList<QUrl>& files, int timeoutMs = 2000) const;

    // Starts serving. A socket left behind by a crashed instance is replaced, one whose instance
    // still runs (however busy) is not: false. The socket is removed again when this object is
    // destroyed (the app ending normally).
    bool listen();
    // Stops serving and removes the socket: later launches start their own window.
    void close();

    // The socket path for a user's session: in XDG_RUNTIME_DIR (else in a folder of the user's
    // own, mode 0700, in TMPDIR or /tmp), named after the user and the display (Wayland, else X11),
    // or the login session when there is no display. Empty when no private place exists; such an
    // instance neither forwards nor listens.
    static QString defaultName(const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());

signals:
    void filesReceived(const QList<QUrl>& files);

private:
    void readConnection();
    QString name_;
    QLocalServer* server_ = nullptr;
};

}  // namespace qm
