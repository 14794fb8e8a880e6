#pragma once

#include <functional>

#include <QByteArray>
#include <QObject>
#include <QString>

#include "host/locked_file.h"

class QLocalServer;
class QLocalSocket;

// Owns the single-instance lock, the listening local socket and the message
// exchange. The socket and the lock file live in the user's private runtime
// directory, so another user can neither raise nor block this instance.
// GUI thread only.
//
// Two kinds of exchange share the socket. A message (the raise request) is
// its UTF-8 bytes, complete when the sender closes; the receiver answers
// "ack". A query (`Velmora --status`) is kQueryPrefix, a name and a line
// break; the receiver answers with its handler's bytes and closes, so the
// answer is complete at the end of the stream. A query starts with a byte no
// message text holds, so senders of messages need no change.
class LocalPeer : public QObject {
    Q_OBJECT
public:
    // A message longer than this is refused; a sender silent for this long is dropped.
    static constexpr qint64 kMaxMessageSize = 64 * 1024;
    static constexpr int kReceiveTimeoutMs = 2000;

    static constexpr char kQueryPrefix[] = "\0query ";  // with its leading zero byte
    static constexpr int kQueryPrefixSize = 7;
    static constexpr int kMaxQueryNameSize = 64;
    // An answer longer than this is refused by the asker.
    static constexpr qint64 kMaxAnswerSize = 16 * 1024 * 1024;
    // How long an answer may take to go out before the asker is dropped.
    static constexpr int kAnswerTimeoutMs = 5000;

    // Called on the GUI thread with the query's name; returns the answer.
    using QueryHandler = std::function<QByteArray(const QByteArray& name)>;

    enum class QueryResult {
        kAnswered,    // answer holds the whole answer
        kNotRunning,  // nothing listens on the socket of this user
        kNoAnswer,    // an instance listens but gave no answer in time (error says why)
    };

    LocalPeer(QObject* parent, const QString& app_id);

    // The answers to queries; without a handler a query gets an empty answer.
    void setQueryHandler(QueryHandler handler) { query_handler_ = std::move(handler); }

    // Asks the running instance of app_id of this user. Does not take the
    // lock or listen, so it never becomes the instance itself; needs no
    // event loop and may run on any thread. Blocks for at most timeout_ms.
    static QueryResult Query(const QString& app_id, const QByteArray& name, int timeout_ms, QByteArray* answer,
                             QString* error);

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
    void Answer(QLocalSocket* socket, const QByteArray& name);

    QString id_;
    QString socket_name_;
    QString runtime_dir_;  // decided once, so the socket and the lock stay together
    LockedFile lock_file_;
    QLocalServer* server_;
    QueryHandler query_handler_;
};
