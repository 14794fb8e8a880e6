#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "Application/Application.h"
#include "Tools/obj_keeper.h"
#include "framework/exeplugin/messages.h"
#include "framework/exeplugin/worker2.h"
#include "framework/ipc/ipc_mgr.h"
#include "framework/ipc/socket_fd.h"

namespace Application::ExePlugin {

using MessageHandler = std::function<void(int32_t id, Payload payload)>;
using ConnectHandler = std::function<void(bool connected)>;
using TooLongHandler = std::function<void(int32_t id, size_t payload_size)>;

// Wraps one IPC endpoint: adds the message id, keeps outgoing messages in
// order and holds them back while the connection is not up. All sending
// funnels through worker thread 2, where the wrapper lives (created, used and
// destroyed there, or while that thread is not running); posted work checks
// that the wrapper still exists. The handlers given to Create are called on
// the endpoint's own thread.
//
// Frames are built once, length prefix included, and handed to the socket
// without another copy. Frames sent while worker thread 2 runs a batch of
// tasks leave together in one write at its end (BatchedSender); a large
// frame goes at once, behind what was held before it.
template <class Endpoint, bool kClient>
class EndpointWrapper : public Tools::ObjKeeper, private BatchedSender {
public:
    // What may wait for the connection: a frame that comes while either is
    // reached calls on_overflow once, and further frames are dropped.
    static constexpr size_t kMaxQueuedFrames = 200'000;
    static constexpr size_t kMaxQueuedBytes = size_t{64} << 20;
    // Frames at least this long are not gathered with others: gathering
    // would copy them.
    static constexpr size_t kGatherBelowBytes = 64 * 1024;
    // Gathered frames leave once they add up to this, batch or not.
    static constexpr size_t kMaxGatheredBytes = 256 * 1024;

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
    // Any thread: a whole frame built by FrameWriter (nothing copied again).
    void SendFrame(std::string frame);
    void Close();
    Endpoint* endpoint() const { return endpoint_; }
    // Why the last connection ended, as the endpoint told just before it
    // reported the end (kNone before that). Any thread.
    ipc::CloseReason LastCloseReason() const { return close_reason_.load(); }
    size_t QueuedFramesForTesting() const { return queued_frames_; }

protected:
    Endpoint* endpoint_ = nullptr;

private:
    void SendOnWorker2(std::string frame);
    // Sends what waited, in order; false when the endpoint refused a frame
    // (it stays first in line for the next connection).
    bool FlushOnWorker2();
    // Writes the gathered frames (BatchedSender); on worker thread 2.
    void FlushBatch() override;
    // One frame, or gathered frames, to the endpoint now. False when it is
    // not connected: bytes are then still there.
    bool SendNow(std::string& bytes);
    // Keeps bytes (frames frame_count) for the next connection, within the limits.
    void Keep(std::string bytes, size_t frame_count);

    IFramedEndpoint* framed_ = nullptr;
    // Whole frames, prefixes included, each entry with its frame count.
    std::deque<std::pair<std::string, size_t>> queue_;
    size_t queued_frames_ = 0;
    size_t queued_bytes_ = 0;
    // Frames gathered for the end of the running batch.
    std::string gathered_;
    size_t gathered_frames_ = 0;
    bool overflowed_ = false;
    std::function<void()> on_overflow_;
    TooLongHandler on_too_long_;
    std::atomic<ipc::CloseReason> close_reason_{ipc::CloseReason::kNone};
};

}  // namespace Application::ExePlugin
