// The single-instance channel inside one process: a real LocalPeer listening
// on a real local socket, and askers on threads of their own (Query blocks,
// the peer answers from the event loop of this thread).

#include "host/local_peer.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStringList>

#include <gtest/gtest.h>

#include "host/test_support/child_process.h"

namespace {

constexpr std::chrono::seconds kDeadline{20};
const QString kAppId = QStringLiteral("PeerTest");

// Runs this thread's events until done() holds or the deadline passes.
bool PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Something run on a thread of its own while this thread serves the peer.
class Asker {
public:
    explicit Asker(std::function<void()> work)
        : thread_([this, work = std::move(work)] {
              work();
              done_ = true;
          }) {}
    ~Asker() { thread_.join(); }
    bool done() const { return done_; }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

struct QueryOutcome {
    LocalPeer::QueryResult result = LocalPeer::QueryResult::kNoAnswer;
    QByteArray answer;
    QString error;
};

class LocalPeerQueryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "host_local_peer_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
    }

    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        const std::string run = temp_.path() + "/run";
        ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
        setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    }

    // Query on another thread while this one serves; true when it returned.
    bool Ask(const QByteArray& name, int timeout_ms, QueryOutcome* outcome) {
        Asker asker([&] { outcome->result = LocalPeer::Query(kAppId, name, timeout_ms, &outcome->answer, &outcome->error); });
        return PumpUntil([&] { return asker.done(); });
    }

    test_support::TempDir temp_;
};

TEST_F(LocalPeerQueryTest, TheRunningPeerAnswersWithItsHandler) {
    LocalPeer peer(nullptr, kAppId);
    ASSERT_FALSE(peer.isClient()) << "the first peer becomes the instance";
    QStringList messages;
    QObject::connect(&peer, &LocalPeer::messageReceived, [&](const QString& message) { messages << message; });
    // Larger than a socket buffer, so the answer goes out over several turns
    // of the event loop.
    const QByteArray big(3 * 1024 * 1024 + 17, 'x');
    QByteArrayList names;
    peer.setQueryHandler([&](const QByteArray& name) {
        names << name;
        return name == "big" ? big : "answer to " + name;
    });

    QueryOutcome outcome;
    ASSERT_TRUE(Ask("status", 10000, &outcome));
    EXPECT_EQ(outcome.result, LocalPeer::QueryResult::kAnswered) << outcome.error.toStdString();
    EXPECT_EQ(outcome.answer, QByteArray("answer to status"));

    QueryOutcome big_outcome;
    ASSERT_TRUE(Ask("big", 10000, &big_outcome));
    EXPECT_EQ(big_outcome.result, LocalPeer::QueryResult::kAnswered) << big_outcome.error.toStdString();
    EXPECT_EQ(big_outcome.answer.size(), big.size());
    EXPECT_TRUE(big_outcome.answer == big);
    EXPECT_EQ(names, QByteArrayList({"status", "big"}));

    // The raise message of a later start still arrives as before, with its
    // "ack", and queries were never taken for messages.
    LocalPeer second(nullptr, kAppId);
    std::atomic<bool> sent{false};
    {
        Asker asker([&] { sent = second.sendMessage(QStringLiteral("raise_window_noop"), 5000); });
        ASSERT_TRUE(PumpUntil([&] { return asker.done() && !messages.isEmpty(); }));
    }
    EXPECT_TRUE(sent);
    EXPECT_EQ(messages, QStringList({QStringLiteral("raise_window_noop")}));
}

TEST_F(LocalPeerQueryTest, BrokenQueriesAreDroppedAndTheNextOneIsAnswered) {
    LocalPeer peer(nullptr, kAppId);
    ASSERT_FALSE(peer.isClient());
    QStringList messages;
    QObject::connect(&peer, &LocalPeer::messageReceived, [&](const QString& message) { messages << message; });
    int handled = 0;
    peer.setQueryHandler([&](const QByteArray&) {
        ++handled;
        return QByteArray("fine");
    });
    const QString path = peer.socketPath();

    // Cut off before its line break, and a name far too long: neither
    // reaches the handler or the messages.
    for (const QByteArray& bytes : {QByteArray(LocalPeer::kQueryPrefix, 5),
                                    QByteArray(LocalPeer::kQueryPrefix, LocalPeer::kQueryPrefixSize) + "stat",
                                    QByteArray(LocalPeer::kQueryPrefix, LocalPeer::kQueryPrefixSize) +
                                        QByteArray(LocalPeer::kMaxQueryNameSize + 10, 'n') + "\n"}) {
        std::atomic<bool> closed{false};
        Asker asker([&] {
            QLocalSocket socket;
            socket.connectToServer(path);
            if (!socket.waitForConnected(5000)) return;
            socket.write(bytes);
            socket.waitForBytesWritten(5000);
            if (bytes.size() > LocalPeer::kMaxQueryNameSize) {
                // The peer closes on us rather than wait for the rest.
                socket.waitForDisconnected(5000);
                closed = socket.state() == QLocalSocket::UnconnectedState && socket.readAll().isEmpty();
            } else {
                socket.disconnectFromServer();
                closed = true;
            }
        });
        ASSERT_TRUE(PumpUntil([&] { return asker.done(); }));
        EXPECT_TRUE(closed) << bytes.size();
    }
    QueryOutcome outcome;
    ASSERT_TRUE(Ask("status", 10000, &outcome));
    EXPECT_EQ(outcome.result, LocalPeer::QueryResult::kAnswered) << outcome.error.toStdString();
    EXPECT_EQ(outcome.answer, QByteArray("fine"));
    EXPECT_EQ(handled, 1);
    EXPECT_TRUE(messages.isEmpty()) << messages.join(QStringLiteral(", ")).toStdString();
}

TEST_F(LocalPeerQueryTest, SaysWhetherAnInstanceRunsAndWhetherItAnswered) {
    // Nothing listens: not running, and asking did not make this process one.
    QueryOutcome none;
    ASSERT_TRUE(Ask("status", 2000, &none));
    EXPECT_EQ(none.result, LocalPeer::QueryResult::kNotRunning);
    {
        LocalPeer peer(nullptr, kAppId);
        EXPECT_FALSE(peer.isClient()) << "a query took the single-instance lock";
    }

    // A socket file left by an instance that was killed: nobody accepts.
    QString stale_path;
    {
        LocalPeer probe(nullptr, kAppId);
        stale_path = probe.socketPath();
    }
    {
        QLocalServer stale;
        ASSERT_TRUE(stale.listen(stale_path));
        stale.close();
    }
    QueryOutcome stale;
    ASSERT_TRUE(Ask("status", 2000, &stale));
    EXPECT_EQ(stale.result, LocalPeer::QueryResult::kNotRunning) << stale.error.toStdString();

    // An instance that takes the connection but never answers.
    QLocalServer mute;
    QLocalServer::removeServer(stale_path);
    ASSERT_TRUE(mute.listen(stale_path));
    QueryOutcome silent;
    const auto asked_at = std::chrono::steady_clock::now();
    ASSERT_TRUE(Ask("status", 300, &silent));
    EXPECT_EQ(silent.result, LocalPeer::QueryResult::kNoAnswer);
    EXPECT_LT(std::chrono::steady_clock::now() - asked_at, kDeadline) << "the timeout was not kept";
    EXPECT_FALSE(silent.error.isEmpty());
    mute.close();

    // A peer without a handler closes without an answer.
    LocalPeer peer(nullptr, kAppId);
    ASSERT_FALSE(peer.isClient());
    QueryOutcome unanswered;
    ASSERT_TRUE(Ask("status", 5000, &unanswered));
    EXPECT_EQ(unanswered.result, LocalPeer::QueryResult::kNoAnswer);
}

}  // namespace
