#pragma once

#include <cstdint>

#include <QJsonArray>
#include <QSet>
#include <QString>
#include <QWidget>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTimer;

// The demo's window: the configured plugins with their kind and state, the
// latest log lines, a skin and a language switch, and a button that calls the
// sample process plugin and shows its answer and round-trip time. Lives on
// the GUI thread; plugin answers arrive on other threads and are queued over.
//
// Started with -demo_screenshot=<png> (and optionally -demo_skin=<index>), it
// waits until the sample process plugin answered (or cannot), saves a picture
// of itself and quits the program.
class DemoWindow : public QWidget {
    Q_OBJECT
public:
    // An unanswered call is given up after this long.
    static constexpr int kCallTimeoutMs = 3000;

    DemoWindow();
    ~DemoWindow() override;

    void RefreshPlugins();

signals:
    void answerArrived(quint64 call, QString answer, qint64 nanoseconds);

protected:
    void changeEvent(QEvent* event) override;

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
    Row StateOf(const QJsonObject& entry) const;
    // The sample process plugin as the window sees it: null text when it can
    // be called, otherwise why not.
    QString WhyNotCallable() const;
    void StepScreenshot();

    QJsonArray entries_;
    QSet<QString> failed_files_;  // libraries the log says failed to load
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
    int screenshot_step_ = 0;
    int screenshot_polls_ = 0;
};
