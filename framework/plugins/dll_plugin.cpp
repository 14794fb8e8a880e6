#include "framework/plugins/dll_plugin.h"

#include <cstring>
#include <utility>

#include "Application/Application.h"
#include "Application/PluginAbi.h"
#include "Tools/os.h"
#include "framework/core/application_impl.h"
#include "framework/plugins/plugin_crash_record.h"
#include "framework/plugins/plugin_files.h"
#include "tools/payload.h"

namespace Application {
namespace {

using CreateObjectFunction = IPlugin* (*)();
using DestroyObjectFunction = void (*)(IPlugin*);

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

IPlugin* DllPluginCreator::CreatePlugin(const char* path, const char* name, std::string* failure, bool* refused) {
    ILog* log = App() ? App()->GetLog() : nullptr;
    const char* shown = name && *name ? name : path;
    const auto fail = [&](std::string reason) -> IPlugin* {
        if (failure) *failure = std::move(reason);
        return nullptr;
    };
    void* module = Tools::os_dlopen(path);
    if (!module) {
        const std::string reason = LoaderError();
        if (log) log->Write(kLogError, "DllPluginCreator::CreatePlugin Error: %s lasterr=%s", path, reason.c_str());
        return fail("cannot load: " + reason);
    }
    // Looked up in this library and what it brought along, not in the host.
    const auto* stamp = static_cast<const int32_t*>(Tools::os_dlsym(module, VELMORA_PLUGIN_ABI_SYMBOL));
    if (stamp && *stamp != kPluginAbiVersion) {
        // Its objects would disagree with ours on every call: never created.
        if (log)
            log->Write(kLogError,
                       "plugin '%s': %s was built for plugin interface version %d, this host has version %d; not "
                       "loaded",
                       shown, path, *stamp, kPluginAbiVersion);
        if (refused) *refused = true;
        return fail("built for plugin interface version " + std::to_string(*stamp) + ", the host has version " +
                    std::to_string(kPluginAbiVersion));
    }
    if (!stamp && log)
        log->Write(kLogWarning,
                   "plugin '%s': %s carries no plugin interface version (%s); loading it anyway, this host has "
                   "version %d",
                   shown, path, VELMORA_PLUGIN_ABI_SYMBOL, kPluginAbiVersion);
    module_ = module;
    auto create = reinterpret_cast<CreateObjectFunction>(Tools::os_dlsym(module, "CreateObject"));
    if (!create) {
        const std::string reason = LoaderError();
        if (log) log->Write(kLogError, "DllPluginCreator::CreatePlugin Error: %s lasterr=%s", path, reason.c_str());
        return fail(reason);
    }
    IPlugin* plugin = create();
    if (!plugin) return fail("its CreateObject made no object");
    return plugin;
}

void DllPluginCreator::DestroyPlugin(IPlugin* plugin) {
    if (!module_) return;
    auto destroy = reinterpret_cast<DestroyObjectFunction>(Tools::os_dlsym(module_, "DestroyObject"));
    if (destroy) destroy(plugin);
}

DllPluginProxy::DllPluginProxy(const PluginConfig& config)
    : file_(config.file),
      name_(config.name),
      status_(TakeRowForCreation(config.name, kPluginDll, ResolveLibraryFile(config.file))),
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
    if (!plugin) return true;
    const bool started = plugin->Init();
    if (started) status_->SetState(PluginState::kStarted);
    return started;
}

void DllPluginProxy::Free() {
    freed_ = true;
    DisarmTrigger();
    IPlugin* plugin = plugin_.load();
    if (!plugin) return;
    plugin->Free();
    creator_->DestroyPlugin(plugin);
    plugin_.store(nullptr);
    status_->SetState(PluginState::kStopped);
}

const char* DllPluginProxy::GetName() { return name_.c_str(); }

void DllPluginProxy::Load() {
    if (freed_ || !creator_ || refused_) return;
    const std::string path = LibraryPathForLoader(file_);
    if (path.empty()) {
        status_->SetState(PluginState::kFailed, "the executable's folder cannot be determined");
        return;
    }
    status_->SetFile(ResolveLibraryFile(file_));
    std::string failure;
    IPlugin* plugin = creator_->CreatePlugin(path.c_str(), name_.c_str(), &failure, &refused_);
    plugin_.store(plugin);
    status_->SetState(plugin ? PluginState::kCreated : PluginState::kFailed, plugin ? std::string() : failure);
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
    if (plugin_.load() || freed_ || refused_) return;
    std::string record;
    if (!std::exchange(late_start_watched_, true)) {
        record = PluginCrashRecord::DefaultPath();
        PluginCrashRecord::BeginLateStart(record, name_, ResolveLibraryFile(file_));
    }
    Load();
    if (IPlugin* plugin = plugin_.load()) {
        if (plugin->Init()) {
            status_->SetState(PluginState::kStarted);
        } else {
            if (ILog* log = App() ? App()->GetLog() : nullptr)
                log->Write(kLogWarning, "plugin '%s': Init failed", name_.c_str());
            status_->SetState(PluginState::kFailed, "Init failed");
        }
    }
    PluginCrashRecord::FinishLateStart(record, name_);
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
