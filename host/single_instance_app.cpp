#include "host/single_instance_app.h"

#include <QWidget>

#include "Application/Application.h"
#include "Tools/window.h"
#include "host/local_peer.h"

namespace {

// The window to bring forward when no plugin registered one: the active
// top-level window, else the first shown one that is not a popup or tool tip.
QWidget* ShownTopLevelWindow() {
    if (QWidget* active = QApplication::activeWindow(); active && active->isVisible()) return active;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        const Qt::WindowType type = widget->windowType();
        if (widget->isVisible() && (type == Qt::Window || type == Qt::Dialog)) return widget;
    }
    return nullptr;
}

}  // namespace

SingleInstanceApp::SingleInstanceApp(const QString& app_id, int& argc, char** argv)
    : QApplication(argc, argv), peer_(new LocalPeer(this, app_id)) {
    connect(peer_, &LocalPeer::messageReceived, this, &SingleInstanceApp::messageReceived);
    connect(peer_, &LocalPeer::messageReceived, this, &SingleInstanceApp::onMessageReceived);
}

bool SingleInstanceApp::isRunning() { return peer_->isClient(); }

QString SingleInstanceApp::lockFilePath() const { return peer_->lockFilePath(); }

bool SingleInstanceApp::sendMessage(const QString& message, int timeout) { return peer_->sendMessage(message, timeout); }

void SingleInstanceApp::onMessageReceived(const QString& message) {
    // A later start that handed over leaves this trace, so one can tell its
    // message arrived rather than guess from its exit code.
    if (Application::IApplication* app = Application::App()) {
        if (Application::ILog* log = app->GetLog()) {
            const QByteArray text = message.left(kLoggedMessageLength).toUtf8();
            log->Write(Application::kLogInfo, "SingleInstanceApp: message received: %s", text.constData());
        }
    }
    if (message != QLatin1String(kRaiseMessage)) return;
    // Plugins register their main window; without one the user would see
    // nothing happen, so a shown window of ours comes forward instead.
    if (Tools::GetActiveAppWindowID() != 0) {
        Tools::ActiveProcessMainWindow();
    } else if (QWidget* window = ShownTopLevelWindow()) {
        Tools::ActiveAppWindow(static_cast<int64_t>(window->winId()));
    }
}
