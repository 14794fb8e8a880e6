#include "host/single_instance_app.h"

#include "Tools/window.h"
#include "host/local_peer.h"

SingleInstanceApp::SingleInstanceApp(const QString& app_id, int& argc, char** argv)
    : QApplication(argc, argv), peer_(new LocalPeer(this, app_id)) {
    connect(peer_, &LocalPeer::messageReceived, this, &SingleInstanceApp::messageReceived);
    connect(peer_, &LocalPeer::messageReceived, this, &SingleInstanceApp::onMessageReceived);
}

bool SingleInstanceApp::isRunning() { return peer_->isClient(); }

bool SingleInstanceApp::sendMessage(const QString& message, int timeout) { return peer_->sendMessage(message, timeout); }

void SingleInstanceApp::onMessageReceived(const QString& message) {
    if (message == QLatin1String(kRaiseMessage)) Tools::ActiveProcessMainWindow();
}
