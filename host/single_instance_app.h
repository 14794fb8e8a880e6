#pragma once

#include <QApplication>

class LocalPeer;

// The host's QApplication: one instance per user session. A later start
// hands its message to the running instance and exits.
class SingleInstanceApp : public QApplication {
    Q_OBJECT
public:
    static constexpr const char* kRaiseMessage = "raise_window_noop";

    SingleInstanceApp(const QString& app_id, int& argc, char** argv);

    bool isRunning();
    LocalPeer* peer() const { return peer_; }

public slots:
    bool sendMessage(const QString& message, int timeout);
    void onMessageReceived(const QString& message);

signals:
    void messageReceived(const QString& message);

private:
    LocalPeer* peer_;
};
