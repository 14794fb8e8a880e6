#include "framework/tasks/thread_waker.h"

#include <chrono>

#include "tools/monotonic_clock.h"

namespace Application {

namespace {

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

ThreadWaker::ThreadWaker(bool with_descriptor)
    : descriptor_(with_descriptor ? std::make_unique<WakeDescriptor>() : nullptr) {}

// A wake already pending needs no write: the owner's BeginPass, which clears
// it, comes before the owner's look at the work, and the work was handed
// over under a lock that look takes too, so whichever of the two took that
// lock first, the owner sees the new work.
void ThreadWaker::Wake() {
    int state = state_.load(std::memory_order_seq_cst);
    for (;;) {
        switch (state) {
            case kNotified:
            case kNotifiedAsleep:
                return;
            case kRunning:
            case kSpinning:
                if (state_.compare_exchange_weak(state, kNotified, std::memory_order_seq_cst)) return;
                break;
            default:
                if (state_.compare_exchange_weak(state, kNotifiedAsleep, std::memory_order_seq_cst)) {
                    if (UsesDescriptor()) {
                        descriptor_->Signal();
                    } else {
                        // Through the lock: the sleeper looks at the state under it
                        // before it waits, so the notification cannot fall between.
                        { std::lock_guard<std::mutex> guard(mutex_); }
                        condition_.notify_one();
                    }
                    return;
                }
                break;
        }
    }
}

bool ThreadWaker::BeginPass() {
    const int before = state_.exchange(kRunning, std::memory_order_seq_cst);
    // Back from a sleep (or told to pass again): a signal may have landed,
    // or land later, on the descriptor; what lands later costs one more pass.
    if (before != kRunning && UsesDescriptor()) descriptor_->Drain();
    return before == kNotified || before == kNotifiedAsleep;
}

bool ThreadWaker::PrepareToSleep() {
    int expected = kRunning;
    return state_.compare_exchange_strong(expected, kSleeping, std::memory_order_seq_cst);
}

void ThreadWaker::Sleep(int64_t wait_ms, int64_t spin_us) {
    if (wait_ms == 0) return;
    int expected = kRunning;
    if (spin_us > 0) {
        if (!state_.compare_exchange_strong(expected, kSpinning, std::memory_order_seq_cst)) return;
        const int64_t deadline = Tools::detail::MonotonicUs() + spin_us;
        for (unsigned round = 1; state_.load(std::memory_order_relaxed) == kSpinning; ++round) {
            CpuRelax();
            if (round % 64 == 0 && Tools::detail::MonotonicUs() >= deadline) break;
        }
        expected = kSpinning;
    }
    if (!state_.compare_exchange_strong(expected, kSleeping, std::memory_order_seq_cst)) return;
    if (UsesDescriptor()) {
        descriptor_->Wait(wait_ms);
    } else {
        SleepOnCondition(wait_ms);
    }
}

void ThreadWaker::SleepOnCondition(int64_t wait_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto woken = [this] { return state_.load(std::memory_order_seq_cst) != kSleeping; };
    if (wait_ms < 0) {
        condition_.wait(lock, woken);
    } else {
        condition_.wait_for(lock, std::chrono::milliseconds(wait_ms), woken);
    }
}

}  // namespace Application
