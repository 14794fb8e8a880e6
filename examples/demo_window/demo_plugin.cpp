#include "examples/demo_window/demo_plugin.h"

#include <QApplication>
#include <QMetaObject>
#include <QString>

#include <new>
#include <string>

#include "Tools/memory.h"
#include "examples/demo_window/demo_window.h"

using Application::App;

namespace {

// "app" 5 and 6 carry the plugin's name as a length-prefixed text.
QString NameFromPayload(const char* data, int length) {
    if (!data || length < 4) return QString();
    uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    if (size > static_cast<uint32_t>(length - 4)) return QString();
    return QString::fromUtf8(data + 4, static_cast<int>(size));
}

}  // namespace

std::shared_ptr<DemoPlugin::WindowLink> DemoPlugin::Link() {
    static auto link = std::make_shared<WindowLink>();
    return link;
}

bool DemoPlugin::Init() {
    // Widgets need a QApplication; a program without one (a test, a console
    // tool sharing the configuration) gets no window rather than an abort.
    if (!App()) return false;
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        App()->GetLog()->Write(Application::kLogError, "DemoWindow: no QApplication in this program, no window shown");
        return false;
    }
    window_ = new DemoWindow;
    {
        std::lock_guard<std::mutex> guard(Link()->lock);
        Link()->window = window_;
    }
    auto on_process = [](bool connected) {
        return [connected](unsigned, const char* data, int length) {
            const QString name = NameFromPayload(data, length);
            std::shared_ptr<WindowLink> link = Link();
            std::lock_guard<std::mutex> guard(link->lock);
            if (!link->window) return;
            DemoWindow* window = link->window;
            QMetaObject::invokeMethod(window, [window, name, connected] { window->SetProcessState(name, connected); },
                                      Qt::QueuedConnection);
        };
    };
    Application::INotifier* notifier = App()->GetNotifier();
    connected_subscription_ = notifier->Subscribe(App()->GetName(), Application::kAppPluginConnected, on_process(true));
    ended_subscription_ = notifier->Subscribe(App()->GetName(), Application::kAppPluginEnded, on_process(false));
    window_->show();
    return true;
}

void DemoPlugin::Free() {
    if (!window_) return;
    Application::INotifier* notifier = App()->GetNotifier();
    notifier->Unsubscribe(App()->GetName(), Application::kAppPluginConnected, connected_subscription_);
    notifier->Unsubscribe(App()->GetName(), Application::kAppPluginEnded, ended_subscription_);
    {
        std::lock_guard<std::mutex> guard(Link()->lock);
        Link()->window = nullptr;
    }
    delete window_;
    window_ = nullptr;
}

void DemoPlugin::Invoke(int32_t command, const char*, int32_t, Application::InvokeCallback callback) {
    if (command != kTitleCommand || !callback) return;
    std::string title;
    {
        std::lock_guard<std::mutex> guard(Link()->lock);
        if (Link()->window) title = Link()->window->windowTitle().toStdString();
    }
    callback(title.data(), static_cast<int32_t>(title.size()));
}

extern "C" __attribute__((visibility("default"))) Application::IPlugin* CreateObject() {
    void* memory = Malloc(sizeof(DemoPlugin));
    return memory ? new (memory) DemoPlugin : nullptr;
}

extern "C" __attribute__((visibility("default"))) void DestroyObject(Application::IPlugin* plugin) {
    if (!plugin) return;
    plugin->~IPlugin();
    Free(plugin);
}
