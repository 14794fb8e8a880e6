#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "Application/Application.h"

namespace Application::ExePlugin {

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
    void Answer(uint32_t id, std::string_view data) {
        auto it = calls_.find(id);
        if (it == calls_.end()) return;
        InvokeCallback callback = std::move(it->second);
        calls_.erase(it);
        if (callback) callback(data.data(), static_cast<int32_t>(data.size()));
    }
    // Drops every pending call without calling it.
    void Clear() { calls_.clear(); }
    size_t size() const { return calls_.size(); }

private:
    std::map<uint32_t, InvokeCallback> calls_;
    uint32_t last_id_ = 0;
};

}  // namespace Application::ExePlugin
