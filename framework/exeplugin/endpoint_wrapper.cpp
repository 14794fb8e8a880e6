#include "framework/exeplugin/endpoint_wrapper.h"

#include "framework/exeplugin/worker2.h"
#include "framework/ipc/ipc_mgr.h"

namespace Application::ExePlugin {

template <class Endpoint, bool kClient>
bool EndpointWrapper<Endpoint, kClient>::Create(MessageHandler on_message, ConnectHandler on_connected,
                                                std::function<void()> on_empty_frame,
                                                std::function<void()> on_overflow,
                                                TooLongHandler on_too_long) {
    ASSERT_ON_WORKER2();
    on_overflow_ = std::move(on_overflow);
    on_too_long_ = std::move(on_too_long);
    IIPCMgr* ipc = App() ? App()->GetIPCMgr() : nullptr;
    if (!ipc) return false;
    if constexpr (kClient)
        endpoint_ = ipc->CreateClient();
    else
        endpoint_ = ipc->CreateHost();
    if (!endpoint_) return false;
    endpoint_->SetRecvCallback([on_message, on_empty_frame](const char* data, int length) {
        int32_t id = 0;
        std::string_view payload;
        if (DecodeFrame(data, length, id, payload)) {
            if (on_message) on_message(id, std::string(payload));
        } else if (kClient && length == 0 && !data && on_empty_frame) {
            on_empty_frame();
        }
    });
    // Runs on the endpoint's thread: only the id is read here, the wrapper
    // itself is touched on worker thread 2 once it is known to exist.
    const uintptr_t self = getObjID();
    // The endpoint itself is alive while it calls its own callback.
    endpoint_->SetConnectCallback([this, self, on_connected, endpoint = endpoint_](bool connected) {
        close_reason_.store(connected ? ipc::CloseReason::kNone : Application::LastCloseReason(endpoint));
        if constexpr (kClient) {
            if (ILog* log = App() ? App()->GetLog() : nullptr)
                log->Write(kLogInfo, "ExePluginIPC_Client connected:%d", connected ? 1 : 0);
        }
        if (on_connected) on_connected(connected);
        if (connected)
            OnWorker2([this, self] {
                if (Tools::ObjKeeper::IsAlive(self)) FlushOnWorker2();
            });
    });
    endpoint_->Init();
    return true;
}

template <class Endpoint, bool kClient>
void EndpointWrapper<Endpoint, kClient>::Send(int32_t id, std::string payload) {
    const uintptr_t self = getObjID();
    if (!FitsInFrame(payload.size())) {
        OnWorker2([this, self, id, size = payload.size()] {
            if (Tools::ObjKeeper::IsAlive(self) && on_too_long_) on_too_long_(id, size);
        });
        return;
    }
    OnWorker2([this, self, frame = Frame(id, payload)]() mutable {
        if (Tools::ObjKeeper::IsAlive(self)) SendOnWorker2(std::move(frame));
    });
}

template <class Endpoint, bool kClient>
void EndpointWrapper<Endpoint, kClient>::SendOnWorker2(std::string frame) {
    ASSERT_ON_WORKER2();
    // What waited goes first, also when no connect report brought it out
    // (a send refused once must not hold back everything after it).
    if (endpoint_ && endpoint_->IsConnected() && FlushOnWorker2()) {
        if (endpoint_->Send(frame.data(), static_cast<int>(frame.size()))) return;
        // Refused on a live connection: it can never go (too long for the
        // peer), so keeping it would hold back everything behind it.
        if (endpoint_->IsConnected()) return;
    }
    if (overflowed_) return;
    // What waits ahead is measured, so a frame of the largest size still
    // fits behind the state snapshot that goes first.
    if (queue_.size() >= kMaxQueuedFrames || queued_bytes_ >= kMaxQueuedBytes) {
        overflowed_ = true;
        if (on_overflow_) on_overflow_();
        return;
    }
    queued_bytes_ += frame.size();
    queue_.push_back(std::move(frame));
}

template <class Endpoint, bool kClient>
bool EndpointWrapper<Endpoint, kClient>::FlushOnWorker2() {
    ASSERT_ON_WORKER2();
    if (!endpoint_) return false;
    while (!queue_.empty()) {
        const std::string& frame = queue_.front();
        if (!endpoint_->Send(frame.data(), static_cast<int>(frame.size())) && !endpoint_->IsConnected()) return false;
        queued_bytes_ -= frame.size();
        queue_.pop_front();
    }
    overflowed_ = false;
    return true;
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
