#include "host/local_peer.h"

#include <unistd.h>

#include <memory>

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
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

// Reads without blocking the GUI thread: a message is complete when the
// sender closes its side, a query at its line break; a silent or oversized
// sender is dropped.
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
    const QByteArray prefix(kQueryPrefix, kQueryPrefixSize);
    // True when the bytes so far are a query, then answered, dropped, or (not
    // closed yet) waiting for the rest of its name.
    auto take_query = [this, socket, buffer, deadline, done, prefix](bool closed) {
        if (*done || buffer->isEmpty() || !buffer->startsWith(prefix.left(qMin<int>(buffer->size(), prefix.size()))))
            return false;
        const int end = buffer->indexOf('\n', prefix.size());
        const bool too_long = (end < 0 ? buffer->size() : end) - prefix.size() > kMaxQueryNameSize;
        if (end < 0 && !closed && !too_long) return true;
        if (too_long) qWarning("LocalPeer: query refused: %s", "name too long");
        *done = true;
        deadline->stop();
        socket->disconnect(this);
        if (end < 0 || too_long) {
            socket->abort();
            socket->deleteLater();
        } else {
            Answer(socket, buffer->mid(prefix.size(), end - prefix.size()));
        }
        return true;
    };
    connect(socket, &QLocalSocket::readyRead, this, [socket, buffer, finish_once, take_query] {
        buffer->append(socket->read(kMaxMessageSize + 1 - buffer->size()));
        if (take_query(false)) return;
        if (buffer->size() > kMaxMessageSize) {
            qWarning("LocalPeer: message reception failed %s", "message too long");
            finish_once(false);
        }
    });
    connect(socket, &QLocalSocket::disconnected, this, [socket, buffer, finish_once, take_query] {
        buffer->append(socket->read(kMaxMessageSize + 1 - buffer->size()));
        if (take_query(true)) return;
        finish_once(buffer->size() <= kMaxMessageSize);
    });
    connect(deadline, &QTimer::timeout, this, [socket, finish_once] {
        qWarning("LocalPeer: message reception failed %s", socket->errorString().toLatin1().constData());
        finish_once(false);
    });
    deadline->start(kReceiveTimeoutMs);
}

// The answer goes out without blocking; the socket closes once it is written,
// or is dropped when the asker does not take it in time.
void LocalPeer::Answer(QLocalSocket* socket, const QByteArray& name) {
    const QByteArray answer = query_handler_ ? query_handler_(name) : QByteArray();
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    auto* give_up = new QTimer(socket);
    give_up->setSingleShot(true);
    connect(give_up, &QTimer::timeout, socket, [socket] {
        qWarning("LocalPeer: answer to a query not taken in time");
        socket->abort();
        socket->deleteLater();
    });
    give_up->start(kAnswerTimeoutMs);
    if (socket->state() != QLocalSocket::ConnectedState) {
        socket->deleteLater();
        return;
    }
    if (!answer.isEmpty()) socket->write(answer);
    socket->disconnectFromServer();
}

LocalPeer::QueryResult LocalPeer::Query(const QString& app_id, const QByteArray& name, int timeout_ms,
                                        QByteArray* answer, QString* error) {
    answer->clear();
    const QString runtime_dir = RuntimeDirectory();
    if (runtime_dir.isEmpty()) {
        *error = QStringLiteral("no private runtime directory");
        return QueryResult::kNotRunning;
    }
    const QDeadlineTimer deadline(timeout_ms);
    QLocalSocket socket;
    socket.connectToServer(runtime_dir + QLatin1Char('/') + SocketNameFor(app_id, getuid()));
    if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
        *error = socket.errorString();
        const QLocalSocket::LocalSocketError why = socket.error();
        return why == QLocalSocket::ServerNotFoundError || why == QLocalSocket::ConnectionRefusedError
                   ? QueryResult::kNotRunning
                   : QueryResult::kNoAnswer;
    }
    socket.write(QByteArray(kQueryPrefix, kQueryPrefixSize) + name + '\n');
    while (socket.bytesToWrite() > 0 && socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired())
        socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime()));
    // The instance closes once the whole answer is out.
    for (;;) {
        answer->append(socket.read(kMaxAnswerSize + 1 - answer->size()));
        if (answer->size() > kMaxAnswerSize) {
            *error = QStringLiteral("the answer is longer than %1 bytes").arg(kMaxAnswerSize);
            answer->clear();
            return QueryResult::kNoAnswer;
        }
        if (socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0) break;
        if (deadline.hasExpired()) {
            *error = QStringLiteral("no answer within %1 ms").arg(timeout_ms);
            answer->clear();
            return QueryResult::kNoAnswer;
        }
        if (socket.bytesAvailable() == 0) socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    }
    if (answer->isEmpty()) {
        *error = QStringLiteral("the running instance closed the connection without an answer");
        return QueryResult::kNoAnswer;
    }
    return QueryResult::kAnswered;
}
