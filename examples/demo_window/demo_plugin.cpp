#include "examples/demo_window/demo_plugin.h"

#include <QApplication>
#include <QMetaObject>
#include <QString>

#include <new>
#include <string>

#include "Application/PluginAbi.h"
#include "Tools/memory.h"
#include "Tools/window.h"
#include "examples/demo_window/demo_window.h"

using Application::App;

VELMORA_PLUGIN_ABI_STAMP();

namespace {

// "app" 5 and 6: a process plugin connected or ended; the table says which.
void OnProcessNotification(unsigned, const char*, int) {
    std::shared_ptr<DemoPlugin::WindowLink> link = DemoPlugin::Link();
    std::lock_guard<std::mutex> guard(link->lock);
    if (DemoWindow* window = link->window)
        QMetaObject::invokeMethod(window, [window] { window->RefreshPlugins(); }, Qt::QueuedConnection);
}

}  // namespace

std::shared_ptr<DemoPlugin::WindowLink> DemoPlugin::Link() {
    static auto link = std::make_shared<WindowLink>();
    return link;
}

DemoPlugin::DemoPlugin() {
    if (!App()) return;
    Application::INotifier* notifier = App()->GetNotifier();
    connected_subscription_ =
        notifier->Subscribe(App()->GetName(), Application::kAppPluginConnected, OnProcessNotification);
    ended_subscription_ = notifier->Subscribe(App()->GetName(), Application::kAppPluginEnded, OnProcessNotification);
}

DemoPlugin::~DemoPlugin() { Unsubscribe(); }

void DemoPlugin::Unsubscribe() {
    Application::INotifier* notifier = App() ? App()->GetNotifier() : nullptr;
    if (!notifier) return;
    if (connected_subscription_)
        notifier->Unsubscribe(App()->GetName(), Application::kAppPluginConnected, connected_subscription_);
    if (ended_subscription_) notifier->Unsubscribe(App()->GetName(), Application::kAppPluginEnded, ended_subscription_);
    connected_subscription_ = ended_subscription_ = 0;
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
    window_->show();
    // The window a second start of the program brings to the front.
    window_id_ = static_cast<int64_t>(window_->winId());
    Tools::PushAppWindowID(window_id_);
    return true;
}

void DemoPlugin::Free() {
    Unsubscribe();
    if (!window_) return;
    Tools::RemoveAppWindowID(window_id_);
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
        if (Link()->window) title = Link()->title;
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
