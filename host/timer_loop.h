#pragma once

#include <functional>

#include <QObject>

// Pumps the framework's main-thread queue from a 10 ms coarse timer on the
// GUI thread.
class TimerLoop : public QObject {
    Q_OBJECT
public:
    explicit TimerLoop(std::function<void()> task);
    ~TimerLoop() override;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    int timer_id_ = 0;
    std::function<void()> task_;
};
