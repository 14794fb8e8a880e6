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
    framed_ = dynamic_cast<IFramedEndpoint*>(endpoint_);
    if (framed_) {
        // Our own endpoint hands each frame over: the payload reaches worker
        // thread 2 in the bytes it was received into.
        framed_->SetOwnedRecvCallback([on_message](ipc::FrameBytes&& frame) {
            if (frame.size() < 4) return;
            const int32_t id = static_cast<int32_t>(ipc::LoadLe32(frame.data()));
            frame.DropFront(4);
            if (on_message) on_message(id, std::move(frame));
        });
    } else {
        endpoint_->SetRecvCallback([on_message, on_empty_frame](const char* data, int length) {
            int32_t id = 0;
            std::string_view payload;
            if (DecodeFrame(data, length, id, payload)) {
                if (on_message) on_message(id, Payload::Copy(payload.data(), payload.size()));
            } else if (kClient && length == 0 && !data && on_empty_frame) {
                on_empty_frame();
            }
        });
    }
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
    if (!FitsInFrame(payload.size())) {
        const uintptr_t self = getObjID();
        OnWorker2([this, self, id, size = payload.size()] {
            if (Tools::ObjKeeper::IsAlive(self) && on_too_long_) on_too_long_(id, size);
        });
        return;
    }
    SendFrame(FrameWriter(id, payload.size()).Raw(payload).Take());
}

template <class Endpoint, bool kClient>
void EndpointWrapper<Endpoint, kClient>::SendFrame(std::string frame) {
    const uintptr_t self = getObjID();
    if (frame.size() < FrameWriter::kHeaderSize) return;
    const size_t payload_size = FramePayloadSize(frame);
    if (!FitsInFrame(payload_size)) {
        const int32_t id = static_cast<int32_t>(ipc::LoadLe32(frame.data() + 4));
        OnWorker2([this, self, id, payload_size] {
            if (Tools::ObjKeeper::IsAlive(self) && on_too_long_) on_too_long_(id, payload_size);
        });
        return;
    }
    OnWorker2([this, self, frame = std::move(frame)]() mutable {
        if (Tools::ObjKeeper::IsAlive(self)) SendOnWorker2(std::move(frame));
    });
}

template <class Endpoint, bool kClient>
bool EndpointWrapper<Endpoint, kClient>::SendNow(std::string& bytes) {
    if (framed_) return framed_->SendFramedBytes(bytes);
    // Another endpoint than ours takes one frame per Send, without its prefix.
    size_t pos = 0;
    while (bytes.size() - pos >= 4) {
        const size_t length = ipc::LoadLe32(bytes.data() + pos);
        if (!endpoint_->Send(bytes.data() + pos + 4, static_cast<int>(length)) && !endpoint_->IsConnected()) {
            bytes.erase(0, pos);
            return false;
        }
        pos += 4 + length;
    }
    bytes.clear();
    return true;
}

template <class Endpoint, bool kClient>
void EndpointWrapper<Endpoint, kClient>::SendOnWorker2(std::string frame) {
    ASSERT_ON_WORKER2();
    // What waited goes first, also when no connect report brought it out
    // (a send refused once must not hold back everything after it).
    if (endpoint_ && endpoint_->IsConnected() && FlushOnWorker2()) {
        if (frame.size() < kGatherBelowBytes && DeferToBatchEnd(this)) {
            gathered_.append(frame);
            ++gathered_frames_;
            if (gathered_.size() >= kMaxGatheredBytes) FlushBatch();
            return;
        }
        // Behind what was gathered before it.
        FlushBatch();
        if (!queue_.empty()) {
            Keep(std::move(frame), 1);
            return;
        }
        if (SendNow(frame)) return;
        // Refused on a live connection: the connection is being cut.
        if (endpoint_->IsConnected()) return;
    }
    Keep(std::move(frame), 1);
}

template <class Endpoint, bool kClient>
void EndpointWrapper<Endpoint, kClient>::FlushBatch() {
    if (gathered_.empty()) return;
    ASSERT_ON_WORKER2();
    const size_t frames = gathered_frames_;
    gathered_frames_ = 0;
    if (endpoint_ && SendNow(gathered_)) return;
    if (endpoint_ && endpoint_->IsConnected()) {
        gathered_.clear();
        return;
    }
    std::string bytes;
    bytes.swap(gathered_);
    Keep(std::move(bytes), frames);
}

template <class Endpoint, bool kClient>
void EndpointWrapper<Endpoint, kClient>::Keep(std::string bytes, size_t frame_count) {
    if (bytes.empty()) return;
    if (overflowed_) return;
    // What waits ahead is measured, so a frame of the largest size still
    // fits behind the state snapshot that goes first.
    if (queued_frames_ >= kMaxQueuedFrames || queued_bytes_ >= kMaxQueuedBytes) {
        overflowed_ = true;
        if (on_overflow_) on_overflow_();
        return;
    }
    queued_bytes_ += bytes.size();
    queued_frames_ += frame_count;
    queue_.emplace_back(std::move(bytes), frame_count);
}

template <class Endpoint, bool kClient>
bool EndpointWrapper<Endpoint, kClient>::FlushOnWorker2() {
    ASSERT_ON_WORKER2();
    if (!endpoint_) return false;
    while (!queue_.empty()) {
        auto& [bytes, frames] = queue_.front();
        const size_t size = bytes.size();
        const size_t count = frames;
        if (!SendNow(bytes) && !endpoint_->IsConnected()) return false;
        queued_bytes_ -= size;
        queued_frames_ -= count;
        queue_.pop_front();
    }
    overflowed_ = false;
    return true;
}

template <class Endpoint, bool kClient>
void EndpointWrapper<Endpoint, kClient>::Close() {
    // What was gathered leaves before the endpoint goes (Exit among it).
    FlushBatch();
    ForgetBatchedSender(this);
    if (!endpoint_) return;
    Endpoint* endpoint = endpoint_;
    endpoint_ = nullptr;
    framed_ = nullptr;
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
