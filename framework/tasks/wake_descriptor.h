#pragma once

#include <cstdint>

#include "tools/posix_fd.h"

namespace Application {

// A descriptor that an event loop can wait on, turned readable by Signal
// from any thread (an eventfd on Linux). Signal and Drain never block; Wait
// is for the one thread that owns the loop.
class WakeDescriptor {
public:
    WakeDescriptor();
    WakeDescriptor(const WakeDescriptor&) = delete;
    WakeDescriptor& operator=(const WakeDescriptor&) = delete;

    // -1 when the system refused one; then Signal and Wait do nothing.
    int Fd() const { return fd_.get(); }
    void Signal();
    // Makes it unreadable again; signals that land later are kept.
    void Drain();
    // Sleeps until readable or timeout_ms passed (negative: no limit).
    void Wait(int64_t timeout_ms);

private:
    Tools::detail::UniqueFd fd_;
};

}  // namespace Application
