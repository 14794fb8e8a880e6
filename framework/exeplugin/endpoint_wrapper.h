#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "Application/Application.h"
#include "Tools/obj_keeper.h"
#include "framework/exeplugin/messages.h"
#include "framework/ipc/socket_fd.h"

namespace Application::ExePlugin {

using MessageHandler = std::function<void(int32_t id, std::string payload)>;
using ConnectHandler = std::function<void(bool connected)>;
using TooLongHandler = std::function<void(int32_t id, size_t payload_size)>;

// Wraps one IPC endpoint: adds the message id, keeps outgoing messages in
// order and holds them back while the connection is not up. All sending
// funnels through worker thread 2, where the wrapper lives (created, used and
// destroyed there, or while that thread is not running); posted work checks
// that the wrapper still exists. The handlers given to Create are called on
// the endpoint's own thread.
template <class Endpoint, bool kClient>
class EndpointWrapper : public Tools::ObjKeeper {
public:
    // What may wait for the connection: a frame that comes while either is
    // reached calls on_overflow once, and further frames are dropped.
    static constexpr size_t kMaxQueuedFrames = 200'000;
    static constexpr size_t kMaxQueuedBytes = size_t{64} << 20;

    EndpointWrapper() = default;
    ~EndpointWrapper() override { Close(); }
    EndpointWrapper(const EndpointWrapper&) = delete;
    EndpointWrapper& operator=(const EndpointWrapper&) = delete;

    // on_message gets each received frame of 4 bytes or more; on_empty_frame
    // (client only) the empty frame with which the endpoint reports that the
    // host is gone; on_too_long, on worker thread 2, each message that Send
    // refused because it cannot fit one frame.
    bool Create(MessageHandler on_message, ConnectHandler on_connected, std::function<void()> on_empty_frame = {},
                std::function<void()> on_overflow = {}, TooLongHandler on_too_long = {});
    // Any thread. A message too long for one frame never leaves (nor waits
    // in the queue): it goes to on_too_long instead, and the link stays up.
    void Send(int32_t id, std::string payload);
    void Close();
    Endpoint* endpoint() const { return endpoint_; }
    // Why the last connection ended, as the endpoint told just before it
    // reported the end (kNone before that). Any thread.
    ipc::CloseReason LastCloseReason() const { return close_reason_.load(); }
    size_t QueuedFramesForTesting() const { return queue_.size(); }

protected:
    Endpoint* endpoint_ = nullptr;

private:
    void SendOnWorker2(std::string frame);
    // Sends what waited, in order; false when the endpoint refused a frame
    // (it stays first in line for the next connection).
    bool FlushOnWorker2();

    std::deque<std::string> queue_;
    size_t queued_bytes_ = 0;
    bool overflowed_ = false;
    std::function<void()> on_overflow_;
    TooLongHandler on_too_long_;
    std::atomic<ipc::CloseReason> close_reason_{ipc::CloseReason::kNone};
};

}  // namespace Application::ExePlugin
