#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "framework/tasks/wake_descriptor.h"

namespace Application {

// Puts one owning thread to sleep between passes over its work and wakes it
// when work is posted. A waker pays one atomic operation while the owner is
// running, and a system call only when the owner sleeps: the owner announces
// its sleep first and looks at the state once more, so a post racing with
// the decision to sleep either is seen by the owner's next pass or wakes it.
//
// The owner's cycle: BeginPass, look at the work (a post made after
// BeginPass leaves a wake pending), then Sleep (or, with an event loop of its
// own, PrepareToSleep and wait on Descriptor). Wake may be called from any
// thread, also the owner's.
class ThreadWaker {
public:
    // With a descriptor, a sleeping owner is woken through it, so an event
    // loop of the owner's can wait for it beside its own descriptors.
    explicit ThreadWaker(bool with_descriptor = false);
    ThreadWaker(const ThreadWaker&) = delete;
    ThreadWaker& operator=(const ThreadWaker&) = delete;

    void Wake();

    // Owner only. True when a wake came since the previous BeginPass.
    bool BeginPass();
    // Owner only: after a pass, sleeps until woken or wait_ms passed
    // (negative: no limit); returns at once when a wake is pending. With
    // spin_us, first watches for a wake that long without sleeping.
    void Sleep(int64_t wait_ms, int64_t spin_us = 0);
    // Owner only, for an event loop of its own: marks the owner asleep, so
    // that the next Wake signals Descriptor. False when a wake is pending
    // already: then pass again instead of sleeping.
    bool PrepareToSleep();
    // Readable while the owner sleeps and a wake came; -1 without one.
    int Descriptor() const { return descriptor_ ? descriptor_->Fd() : -1; }

private:
    enum State : int {
        kRunning,         // in a pass, nothing new since it began
        kNotified,        // in a pass or spinning, and something came
        kSpinning,        // about to sleep, still watching the state
        kSleeping,        // asleep or about to be: a waker must signal
        kNotifiedAsleep,  // a waker signalled (or is signalling) the sleeper
    };

    bool UsesDescriptor() const { return descriptor_ && descriptor_->Fd() >= 0; }
    void SleepOnCondition(int64_t wait_ms);

    std::atomic<int> state_{kRunning};
    std::unique_ptr<WakeDescriptor> descriptor_;
    std::mutex mutex_;
    std::condition_variable condition_;
};

}  // namespace Application
