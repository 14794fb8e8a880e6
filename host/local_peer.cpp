#include "host/local_peer.h"

#include <unistd.h>

#include <memory>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include "Tools/os.h"

QString LocalPeer::RuntimeDirectory() {
    char path[4096];
    if (Tools::os_get_runtime_dir(path, sizeof path) < 0) return QString();
    return QString::fromLocal8Bit(path);
}

QString LocalPeer::SocketNameFor(const QString& app_id, uint user_id) {
    QString source = app_id;
    if (source.isEmpty()) {
        source = QCoreApplication::applicationFilePath().toLower();
        source = source.mid(source.lastIndexOf(QLatin1Char('/')) + 1);
    }
    QString prefix;
    for (QChar c : source) {
        if (prefix.size() == 6) break;
        if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')))
            prefix.append(c);
    }
    const QByteArray bytes = (app_id.isEmpty() ? source : app_id).toUtf8();
    const quint16 checksum = qChecksum(bytes.constData(), static_cast<uint>(bytes.size()));
    return QStringLiteral("singleinstance-") + prefix + QLatin1Char('-') + QString::number(checksum, 16) +
           QLatin1Char('-') + QString::number(user_id, 16);
}

LocalPeer::LocalPeer(QObject* parent, const QString& app_id)
    : QObject(parent),
      id_(app_id),
      socket_name_(SocketNameFor(app_id, getuid())),
      runtime_dir_(RuntimeDirectory()),
      server_(new QLocalServer(this)) {
    lock_file_.setFileName(lockFilePath());
    lock_file_.open(QIODevice::ReadWrite);
}

QString LocalPeer::socketPath() const {
    return runtime_dir_.isEmpty() ? QString() : runtime_dir_ + QLatin1Char('/') + socket_name_;
}

QString LocalPeer::lockFilePath() const {
    return runtime_dir_.isEmpty() ? QString() : socketPath() + QStringLiteral("-lockfile");
}

bool LocalPeer::isClient() {
    if (lock_file_.isLocked()) return false;
    if (!lock_file_.lock(LockedFile::WriteLock, false)) return true;
    // We hold the lock, so a socket file left behind is stale: a killed
    // instance cannot stop the next start.
    const QString path = socketPath();
    QLocalServer::removeServer(path);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(path)) {
        qWarning("SingleInstanceApp: listen on local socket failed, %s", server_->errorString().toLocal8Bit().constData());
    }
    connect(server_, &QLocalServer::newConnection, this, &LocalPeer::receiveConnection, Qt::UniqueConnection);
    return false;
}

bool LocalPeer::sendMessage(const QString& message, int timeout) {
    if (!isClient()) return false;
    QLocalSocket socket;
    bool connected = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        socket.connectToServer(socketPath());
        connected = socket.waitForConnected(timeout / 2);
        if (connected || attempt == 1) break;
        QThread::msleep(250);
    }
    if (!connected) return false;
    socket.write(message.toUtf8());
    const bool written = socket.waitForBytesWritten(timeout);
    if (!written) qWarning("LocalPeer: send message failed %s", socket.errorString().toLatin1().constData());
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(timeout);
    return written;
}

void LocalPeer::receiveConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) Receive(socket);
}

// Reads without blocking the GUI thread: the message is complete when the
// sender closes its side; a silent or oversized sender is dropped.
void LocalPeer::Receive(QLocalSocket* socket) {
    // Owned by the connections below, so it goes with the socket also when the
    // program quits while a sender is still connected.
    auto buffer = std::make_shared<QByteArray>();
    auto* deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    auto finish = [this, socket, buffer, deadline](bool complete) {
        deadline->stop();
        if (complete) {
            socket->write("ack", 3);
            socket->flush();
        }
        socket->disconnect(this);
        socket->deleteLater();
        const QByteArray message = *buffer;
        if (complete && !message.isEmpty()) emit messageReceived(QString::fromUtf8(message));
    };
    auto done = std::make_shared<bool>(false);
    auto finish_once = [finish, done](bool complete) {
        if (*done) return;
        *done = true;
        finish(complete);
    };
    connect(socket, &QLocalSocket::readyRead, this, [socket, buffer, finish_once] {
        buffer->append(socket->read(kMaxMessageSize + 1 - buffer->size()));
        if (buffer->size() > kMaxMessageSize) {
            qWarning("LocalPeer: message reception failed %s", "message too long");
            finish_once(false);
        }
    });
    connect(socket, &QLocalSocket::disconnected, this, [socket, buffer, finish_once] {
        buffer->append(socket->read(kMaxMessageSize + 1 - buffer->size()));
        finish_once(buffer->size() <= kMaxMessageSize);
    });
    connect(deadline, &QTimer::timeout, this, [socket, finish_once] {
        qWarning("LocalPeer: message reception failed %s", socket->errorString().toLatin1().constData());
        finish_once(false);
    });
    deadline->start(kReceiveTimeoutMs);
}
