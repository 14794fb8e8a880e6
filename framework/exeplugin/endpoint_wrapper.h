#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "Application/Application.h"
#include "Tools/obj_keeper.h"
#include "framework/exeplugin/messages.h"

namespace Application::ExePlugin {

using MessageHandler = std::function<void(int32_t id, std::string payload)>;
using ConnectHandler = std::function<void(bool connected)>;

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

}  // namespace Application::ExePlugin
