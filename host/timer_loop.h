#pragma once

#include <functional>

#include <QObject>
#include <QTimer>

class QSocketNotifier;

// Pumps the framework's main-thread queue on the GUI thread, and sleeps
// with the event loop in between: a pass runs when a task is posted (the
// queue's wake-up descriptor turns readable) or when the earliest delayed
// task falls due (one single-shot timer), never on a fixed period.
class TimerLoop : public QObject {
    Q_OBJECT
public:
    // pass runs one pass over the queue (ProcessMainThreadTask). The
    // application object must exist and outlive the event loop's last round.
    explicit TimerLoop(std::function<void()> pass);
    ~TimerLoop() override;

private:
    void RunPass();

    std::function<void()> pass_;
    QTimer next_due_;
    QSocketNotifier* posted_ = nullptr;
};
