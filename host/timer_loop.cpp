#include "host/timer_loop.h"

#include <QTimerEvent>

TimerLoop::TimerLoop(std::function<void()> task) : task_(std::move(task)) {
    timer_id_ = startTimer(10, Qt::CoarseTimer);
}

TimerLoop::~TimerLoop() {
    if (timer_id_) killTimer(timer_id_);
}

void TimerLoop::timerEvent(QTimerEvent* event) {
    if (event->timerId() == timer_id_) task_();
}
