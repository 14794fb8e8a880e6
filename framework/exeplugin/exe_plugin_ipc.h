#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "Application/Application.h"
#include "Tools/obj_keeper.h"
#include "framework/exeplugin/messages.h"

namespace Application::ExePlugin {

using MessageHandler = std::function<void(int32_t id, std::string payload)>;
using ConnectHandler = std::function<void(bool connected)>;

// Runs task on worker thread 2: at once when already there, else posted.
void OnWorker2(Task task);

// The calls of one side waiting for answers, keyed by call id. Used on
// worker thread 2 only, like the rest of the protocol state.
class PendingCalls {
public:
    // The call id for a request: 0 when no answer is wanted, else a fresh
    // non-zero id not given to any call still pending.
    uint32_t Add(InvokeCallback callback) {
        if (!callback) return 0;
        uint32_t id = 0;
        while (id == 0 || calls_.count(id)) id = ++last_id_;
        calls_.emplace(id, std::move(callback));
        return id;
    }
    // Hands the answer to the call's callback once; an id not pending
    // (answered already, or never issued) reaches nobody.
    void Answer(uint32_t id, const std::string& data) {
        auto it = calls_.find(id);
        if (it == calls_.end()) return;
        InvokeCallback callback = std::move(it->second);
        calls_.erase(it);
        if (callback) callback(data.data(), static_cast<int32_t>(data.size()));
    }
    // Drops every pending call without calling it.
    void Clear() { calls_.clear(); }

private:
    std::map<uint32_t, InvokeCallback> calls_;
    uint32_t last_id_ = 0;
};

// Wraps one IPC endpoint: adds the message id, keeps outgoing messages in
// order and holds them back until the connection is up. All sending funnels
// through worker thread 2; posted work checks that the wrapper still lives.
template <class Endpoint, bool kClient>
class EndpointWrapper : public Tools::ObjKeeper {
public:
    EndpointWrapper() = default;
    ~EndpointWrapper() override { Close(); }
    EndpointWrapper(const EndpointWrapper&) = delete;
    EndpointWrapper& operator=(const EndpointWrapper&) = delete;

    bool Create(MessageHandler on_message, ConnectHandler on_connected);
    // Any thread.
    void Send(int32_t id, std::string payload);
    void Flush();
    void Close();
    Endpoint* endpoint() const { return endpoint_; }

protected:
    Endpoint* endpoint_ = nullptr;

private:
    void SendOnWorker2(std::string frame);
    std::deque<std::string> queue_;
};

class ExePluginIPC_Host final : public EndpointWrapper<IIPCHost, false> {
public:
    // The switch that tells the plugin process where to connect.
    std::string GetCmdLine();
};

class ExePluginIPC_Client final : public EndpointWrapper<IIPCClient, true> {};

}  // namespace Application::ExePlugin
