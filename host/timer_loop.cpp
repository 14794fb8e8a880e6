#include "host/timer_loop.h"

#include <QSocketNotifier>

#include "Application/Application.h"

namespace {

// Without a wake-up descriptor posts cannot wake the event loop: then the
// queue is looked at this often.
constexpr int kPassWithoutDescriptorMs = 10;

}  // namespace

TimerLoop::TimerLoop(std::function<void()> pass) : pass_(std::move(pass)) {
    next_due_.setSingleShot(true);
    next_due_.setTimerType(Qt::PreciseTimer);
    connect(&next_due_, &QTimer::timeout, this, &TimerLoop::RunPass);
    const int descriptor = Application::GetMainThreadWakeFd();
    if (descriptor >= 0) {
        posted_ = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
        connect(posted_, &QSocketNotifier::activated, this, &TimerLoop::RunPass);
    }
    // What was posted before the event loop runs goes first.
    next_due_.start(0);
}

TimerLoop::~TimerLoop() = default;

void TimerLoop::RunPass() {
    pass_();
    int wait = Application::PrepareMainThreadSleep();
    if (!posted_ && (wait < 0 || wait > kPassWithoutDescriptorMs)) wait = kPassWithoutDescriptorMs;
    // Another pass at once goes through the event loop, so input and paint
    // events are not held up by a queue that keeps refilling.
    if (wait >= 0) {
        next_due_.start(wait);
    } else {
        next_due_.stop();
    }
}
