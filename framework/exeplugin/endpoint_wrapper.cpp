#include "framework/exeplugin/endpoint_wrapper.h"

#include "framework/exeplugin/worker2.h"

namespace Application::ExePlugin {

template <class Endpoint, bool kClient>
bool EndpointWrapper<Endpoint, kClient>::Create(MessageHandler on_message, ConnectHandler on_connected) {
    IIPCMgr* ipc = App() ? App()->GetIPCMgr() : nullptr;
    if (!ipc) return false;
    if constexpr (kClient)
        endpoint_ = ipc->CreateClient();
    else
        endpoint_ = ipc->CreateHost();
    if (!endpoint_) return false;
    endpoint_->SetRecvCallback([on_message](const char* data, int length) {
        int32_t id = 0;
        std::string_view payload;
        if (DecodeFrame(data, length, id, payload)) {
            if (on_message) on_message(id, std::string(payload));
        } else if (kClient && length == 0 && !data && on_message) {
            on_message(kDisconnected, std::string());
        }
    });
    const uintptr_t self = getObjID();
    endpoint_->SetConnectCallback([this, self, on_connected](bool connected) {
        if constexpr (kClient) {
            if (ILog* log = App() ? App()->GetLog() : nullptr)
                log->Write(kLogInfo, "ExePluginIPC_Client connected:%d", connected ? 1 : 0);
        }
        if (on_connected) on_connected(connected);
        if (connected && Tools::ObjKeeper::IsAlive(self)) Flush();
    });
    endpoint_->Init();
    return true;
}

template <class Endpoint, bool kClient>
void EndpointWrapper<Endpoint, kClient>::Send(int32_t id, std::string payload) {
    const uintptr_t self = getObjID();
    OnWorker2([this, self, frame = Frame(id, payload)]() mutable {
        if (Tools::ObjKeeper::IsAlive(self)) SendOnWorker2(std::move(frame));
    });
}

template <class Endpoint, bool kClient>
void EndpointWrapper<Endpoint, kClient>::SendOnWorker2(std::string frame) {
    if (endpoint_ && endpoint_->IsConnected() && queue_.empty()) {
        if (endpoint_->Send(frame.data(), static_cast<int>(frame.size()))) return;
    }
    queue_.push_back(std::move(frame));
}

template <class Endpoint, bool kClient>
void EndpointWrapper<Endpoint, kClient>::Flush() {
    const uintptr_t self = getObjID();
    OnWorker2([this, self] {
        if (!Tools::ObjKeeper::IsAlive(self) || !endpoint_) return;
        while (!queue_.empty()) {
            const std::string& frame = queue_.front();
            if (!endpoint_->Send(frame.data(), static_cast<int>(frame.size()))) return;  // kept for the next connection
            queue_.pop_front();
        }
    });
}

template <class Endpoint, bool kClient>
void EndpointWrapper<Endpoint, kClient>::Close() {
    if (!endpoint_) return;
    Endpoint* endpoint = endpoint_;
    endpoint_ = nullptr;
    IIPCMgr* ipc = App() ? App()->GetIPCMgr() : nullptr;
    if (!ipc) return;
    if constexpr (kClient)
        ipc->DestroyClient(endpoint);
    else
        ipc->DestroyHost(endpoint);
}

template class EndpointWrapper<IIPCHost, false>;
template class EndpointWrapper<IIPCClient, true>;

}  // namespace Application::ExePlugin
