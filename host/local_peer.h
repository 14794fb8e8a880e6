#pragma once

#include <QObject>
#include <QString>

#include "host/locked_file.h"

class QLocalServer;
class QLocalSocket;

// Owns the single-instance lock, the listening local socket and the message
// exchange. The socket and the lock file live in the user's private runtime
// directory, so another user can neither raise nor block this instance.
// GUI thread only.
class LocalPeer : public QObject {
    Q_OBJECT
public:
    // A message longer than this is refused; a sender silent for this long is dropped.
    static constexpr qint64 kMaxMessageSize = 64 * 1024;
    static constexpr int kReceiveTimeoutMs = 2000;

    LocalPeer(QObject* parent, const QString& app_id);

    // True when another process holds the lock; otherwise this process becomes
    // the server (once) and false is returned.
    bool isClient();
    bool sendMessage(const QString& message, int timeout);

    QString socketName() const { return socket_name_; }
    QString socketPath() const;
    QString lockFilePath() const;

    // "singleinstance-" + up to six letters of the id + "-" + checksum (hex)
    // + "-" + the user id (hex).
    static QString SocketNameFor(const QString& app_id, uint user_id);
    // The user's private runtime directory, the same one the data tree uses
    // (Tools::os_get_runtime_dir); empty when none can be had, and then no
    // lock can be taken either.
    static QString RuntimeDirectory();

signals:
    void messageReceived(const QString& message);

private slots:
    void receiveConnection();

private:
    void Receive(QLocalSocket* socket);

    QString id_;
    QString socket_name_;
    QString runtime_dir_;  // decided once, so the socket and the lock stay together
    LockedFile lock_file_;
    QLocalServer* server_;
};
