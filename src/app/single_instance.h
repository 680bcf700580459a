#pragma once
// One running window per user: a second launch hands its files to the first over a local
// socket and exits.

#include <QList>
#include <QObject>
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

    // Starts serving. A socket left behind by a crashed instance is replaced.
    bool listen();

    static QString defaultName();

signals:
    void filesReceived(const QList<QUrl>& files);

private:
    void readConnection();
    QString name_;
    QLocalServer* server_ = nullptr;
};

}  // namespace qm
