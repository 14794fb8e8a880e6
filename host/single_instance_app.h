#pragma once

#include <QApplication>

class LocalPeer;

// The host's QApplication: one instance per user session. A later start
// hands its message to the running instance and exits.
class SingleInstanceApp : public QApplication {
    Q_OBJECT
public:
    static constexpr const char* kRaiseMessage = "raise_window_noop";
    // Longer messages are cut in the log line that records their arrival.
    static constexpr int kLoggedMessageLength = 200;

    SingleInstanceApp(const QString& app_id, int& argc, char** argv);

    bool isRunning();
    LocalPeer* peer() const { return peer_; }
    // The lock that decides which start is the running instance.
    QString lockFilePath() const;

public slots:
    bool sendMessage(const QString& message, int timeout);
    void onMessageReceived(const QString& message);

signals:
    void messageReceived(const QString& message);

private:
    LocalPeer* peer_;
};
