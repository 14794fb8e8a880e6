#pragma once

#include <cstdint>
#include <functional>

#include <Application/InterfaceBase.h>

namespace Application {

// (subscription handle, payload, payload length). The payload is valid only
// during the call.
using NotifyCallback = std::function<void(unsigned int, const char*, int)>;

// Synchronous publish/subscribe by (module, message id). Any thread may call;
// callbacks run on the notifying thread while the notifier's recursive lock
// is held, so they must not wait for another thread's notifier use.
class INotifier : public InterfaceBase {
public:
    // Returns a handle that is non-zero and unique among live subscriptions,
    // or 0 when module is null.
    virtual uintptr_t Subscribe(const char* module, int msg_id, NotifyCallback callback) = 0;
    virtual void Unsubscribe(const char* module, int msg_id, uintptr_t handle) = 0;
    virtual void Notify(const char* module, int msg_id, const char* data, int length) = 0;
};

}  // namespace Application
