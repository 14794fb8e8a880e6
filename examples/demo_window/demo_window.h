#pragma once

#include <cstdint>

#include <QString>
#include <QWidget>

#include "Application/PluginStatus.h"

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTimer;

// The demo's window: the framework's live plugin table (state, pid, restarts,
// memory, CPU, last call; a Restart button for process plugins, and a way to
// retry plugins the crash check skipped), the latest log lines, a skin and a
// language switch, and a button that calls the sample process plugin and
// shows its answer and round-trip time. Lives on the GUI thread; plugin
// answers arrive on other threads and are queued over. While shown, it
// refreshes the table and the log once a second.
//
// Started with -demo_screenshot=<png> (and optionally -demo_skin=<index>), it
// waits until the sample process plugin answered (or cannot), saves a picture
// of itself and quits the program; with -demo_restart=<name> as well, it
// presses that plugin's Restart button first and waits for the new process;
// with -demo_retry_skipped=1, it presses "Retry at next start" when plugins
// were skipped.
class DemoWindow : public QWidget {
    Q_OBJECT
public:
    // An unanswered call is given up after this long.
    static constexpr int kCallTimeoutMs = 3000;
    // How often the shown window looks at the plugin table and the log.
    static constexpr int kRefreshMs = 1000;

    DemoWindow();
    ~DemoWindow() override;

    void RefreshPlugins();

signals:
    void answerArrived(quint64 call, QString answer, qint64 nanoseconds);

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    enum class Tone { kGood, kBusy, kBad, kQuiet };
    struct Row {
        QString state;
        Tone tone;
    };

    void Retranslate();
    void RefreshLog();
    void CallProcessPlugin();
    void OnAnswer(quint64 call, const QString& answer, qint64 nanoseconds);
    void OnCallTimeout(quint64 call);
    void ShowResult();
    void SwitchLanguage(int index);
    void FollowSkin();
    void ShowSkinPackages();
    static Row StateOf(const Application::PluginStatus& status);
    void RestartPlugin(const QString& name);
    void RetrySkippedPlugins();
    void ShowPluginNotes(const std::vector<Application::PluginStatus>& table);
    // The sample process plugin as the window sees it: null text when it can
    // be called, otherwise why not.
    QString WhyNotCallable() const;
    void StepScreenshot();

    QTimer* refresh_;
    QLabel* title_;
    QLabel* subtitle_;
    QLabel* status_;
    QLabel* plugins_title_;
    QLabel* call_title_;
    QLabel* log_title_;
    QLabel* appearance_title_;
    QLabel* skin_label_;
    QLabel* language_label_;
    QLabel* call_hint_;
    QLabel* skin_hint_;
    QLabel* answer_caption_;
    QLabel* answer_;
    QLabel* rtt_caption_;
    QLabel* rtt_;
    QTableWidget* plugins_;
    QLabel* plugins_hint_;
    QPushButton* retry_;
    QString plugins_message_;  // the outcome of the last Restart or Retry, shown under the table
    bool retry_requested_ = false;
    QPlainTextEdit* log_;
    QComboBox* skin_;
    QComboBox* language_;
    QPushButton* call_;
    QTimer* call_timer_;
    uintptr_t skin_subscription_ = 0;

    // The last call: its number, and what came of it.
    enum class CallState { kNone, kWaiting, kAnswered, kTimedOut, kRefused };
    quint64 call_number_ = 0;
    CallState call_state_ = CallState::kNone;
    QString answer_text_;
    QString refusal_;
    qint64 rtt_ns_ = -1;

    QString log_path_;
    qint64 log_offset_ = 0;

    QString screenshot_path_;
    QString restart_target_;  // -demo_restart: the plugin whose Restart the screenshot mode presses
    int32_t restart_old_pid_ = 0;
    int screenshot_step_ = 0;
    int screenshot_polls_ = 0;
};
