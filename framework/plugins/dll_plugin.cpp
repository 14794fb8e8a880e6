#include "framework/plugins/dll_plugin.h"

#include <cstring>
#include <utility>

#include "Application/Application.h"
#include "Tools/os.h"
#include "framework/core/application_impl.h"
#include "tools/payload.h"

namespace Application {
namespace {

using CreateObjectFunction = IPlugin* (*)();
using DestroyObjectFunction = void (*)(IPlugin*);

constexpr size_t kPathSize = 1024;

const char* LoaderError() {
    const char* text = Tools::os_dlerror();
    return text && *text ? text : "unknown loader error";
}

IThreadTaskMgr* Tasks() {
    IApplication* app = App();
    return app ? app->GetThreadTaskMgr() : nullptr;
}

// Without a task manager there is no other thread to hand work to.
bool OnMainThread() {
    IThreadTaskMgr* tasks = Tasks();
    return !tasks || tasks->IsMainThread();
}

void PostToMainThread(Task task) {
    if (IThreadTaskMgr* tasks = Tasks()) tasks->PostMainThreadTask(std::move(task), false);
}

INotifier* Notifier() {
    IApplication* app = App();
    return app ? app->GetNotifier() : nullptr;
}

}  // namespace

IPlugin* DllPluginCreator::CreatePlugin(const char* path) {
    void* module = Tools::os_dlopen(path);
    if (!module) {
        if (ILog* log = App() ? App()->GetLog() : nullptr)
            log->Write(kLogError, "DllPluginCreator::CreatePlugin Error: %s lasterr=%s", path, LoaderError());
        return nullptr;
    }
    module_ = module;
    auto create = reinterpret_cast<CreateObjectFunction>(Tools::os_dlsym(module, "CreateObject"));
    if (!create) {
        if (ILog* log = App() ? App()->GetLog() : nullptr)
            log->Write(kLogError, "DllPluginCreator::CreatePlugin Error: %s lasterr=%s", path, LoaderError());
        return nullptr;
    }
    return create();
}

void DllPluginCreator::DestroyPlugin(IPlugin* plugin) {
    if (!module_) return;
    auto destroy = reinterpret_cast<DestroyObjectFunction>(Tools::os_dlsym(module_, "DestroyObject"));
    if (destroy) destroy(plugin);
}

DllPluginProxy::DllPluginProxy(const PluginConfig& config)
    : file_(config.file),
      name_(config.name),
      creator_(LibraryNew<DllPluginCreator>()),
      msg_mod_(config.msg_mod),
      msg_id_(config.msg_id),
      self_(std::make_shared<DllPluginProxy*>(this)) {
    if (!msg_mod_.empty() && msg_id_ != 0) {
        if (INotifier* notifier = Notifier()) {
            trigger_handle_ = notifier->Subscribe(msg_mod_.c_str(), msg_id_,
                                                  [this](unsigned handle, const char* data, int length) {
                                                      OnTrigger(handle, data, length);
                                                  });
        }
        return;
    }
    // The plugin manager starts the object later, with all the others.
    if (!config.load_delay) Load();
}

DllPluginProxy::~DllPluginProxy() {
    // Waits for a delivery of the trigger in progress on another thread, so
    // that no trigger runs on a destroyed proxy.
    if (trigger_handle_) {
        if (INotifier* notifier = Notifier()) notifier->Unsubscribe(msg_mod_.c_str(), msg_id_, trigger_handle_);
    }
    LibraryDelete(creator_);
}

bool DllPluginProxy::Init() {
    IPlugin* plugin = plugin_.load();
    return plugin ? plugin->Init() : true;
}

void DllPluginProxy::Free() {
    freed_ = true;
    DisarmTrigger();
    IPlugin* plugin = plugin_.load();
    if (!plugin) return;
    plugin->Free();
    creator_->DestroyPlugin(plugin);
    plugin_.store(nullptr);
}

const char* DllPluginProxy::GetName() { return name_.c_str(); }

void DllPluginProxy::Load() {
    if (freed_ || !creator_) return;
    std::string path;
    if (Tools::os_pathfile_exist(file_.c_str())) {
        path = file_;
    } else {
        char buffer[kPathSize] = {};
        if (Tools::os_get_executable_path(buffer, sizeof buffer, file_.c_str()) <= 0) return;
        path = buffer;
    }
    plugin_.store(creator_->CreatePlugin(path.c_str()));
}

void DllPluginProxy::EnsureLoaded() {
    // Loaded already: nothing to hand to the main thread.
    if (plugin_.load()) return;
    if (!OnMainThread()) {
        std::weak_ptr<DllPluginProxy*> weak = self_;
        PostToMainThread([weak] {
            if (auto self = weak.lock()) (*self)->EnsureLoaded();
        });
        return;
    }
    if (plugin_.load() || freed_) return;
    Load();
    if (IPlugin* plugin = plugin_.load()) plugin->Init();
}

void DllPluginProxy::Invoke(int32_t command, const char* data, int32_t length, InvokeCallback callback) {
    EnsureLoaded();
    if (IPlugin* plugin = plugin_.load()) {
        plugin->Invoke(command, data, length, std::move(callback));
        return;
    }
    std::string bytes;
    if (data && length > 0) bytes.assign(data, static_cast<size_t>(length));
    std::weak_ptr<DllPluginProxy*> weak = self_;
    auto deferred = [weak, command, bytes = std::move(bytes), callback = std::move(callback)]() mutable {
        auto self = weak.lock();
        if (!self) return;
        if (IPlugin* plugin = (*self)->plugin_.load())
            plugin->Invoke(command, bytes.data(), static_cast<int32_t>(bytes.size()), std::move(callback));
    };
    if (OnMainThread()) {
        deferred();
    } else {
        PostToMainThread(std::move(deferred));
    }
}

void DllPluginProxy::OnTrigger(unsigned handle, const char* data, int length) {
    // Once only, also when the plugin's own answer re-sends the message on
    // this thread before the subscription is gone.
    if (trigger_spent_.exchange(true)) return;
    EnsureLoaded();
    // The message id, then the notification's data as a length-prefixed text.
    const std::string payload = Tools::detail::PayloadWriter().I32(msg_id_).Text(data, length).Take();
    Invoke(0, payload.data(), static_cast<int32_t>(payload.size()), InvokeCallback());
    // The handle given to the callback, not trigger_handle_: the notification
    // may arrive on another thread before Subscribe has returned.
    if (INotifier* notifier = Notifier()) notifier->Unsubscribe(msg_mod_.c_str(), msg_id_, handle);
}

void DllPluginProxy::DisarmTrigger() {
    if (!trigger_handle_ || trigger_spent_.exchange(true)) return;
    if (INotifier* notifier = Notifier()) notifier->Unsubscribe(msg_mod_.c_str(), msg_id_, trigger_handle_);
}

IPlugin* DllPluginFactory::Create(const PluginConfig& config) { return LibraryNew<DllPluginProxy>(config); }

void DllPluginFactory::Destroy(IPlugin* plugin) { LibraryDelete(plugin); }

}  // namespace Application
