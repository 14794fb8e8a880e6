#pragma once

#include <QElapsedTimer>
#include <QJsonArray>
#include <QWidget>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

// The demo's window: the configured plugins with their kind and state, the
// latest log lines, a skin and a language switch, and a button that calls the
// sample process plugin and shows its answer and round-trip time. Lives on
// the GUI thread; plugin answers arrive on other threads and are queued over.
class DemoWindow : public QWidget {
    Q_OBJECT
public:
    DemoWindow();
    ~DemoWindow() override;

    // Called (on any thread) for "app" 5 and 6.
    void SetProcessState(const QString& name, bool connected);

signals:
    void answerArrived(QString answer, qint64 nanoseconds);

protected:
    void changeEvent(QEvent* event) override;

private:
    void Retranslate();
    void RefreshPlugins();
    void RefreshLog();
    void CallProcessPlugin();
    void ShowAnswer(const QString& answer, qint64 nanoseconds);
    void SwitchLanguage(int index);
    QString StateOf(const QJsonObject& entry) const;

    QJsonArray entries_;
    QMap<QString, bool> process_states_;
    QLabel* title_;
    QLabel* status_;
    QLabel* plugins_title_;
    QLabel* log_title_;
    QLabel* appearance_title_;
    QLabel* skin_label_;
    QLabel* language_label_;
    QLabel* answer_label_;
    QLabel* rtt_label_;
    QTableWidget* plugins_;
    QPlainTextEdit* log_;
    QComboBox* skin_;
    QComboBox* language_;
    QPushButton* call_;
    QString last_answer_;
    qint64 last_rtt_ns_ = -1;
    QString log_path_;
    qint64 log_offset_ = 0;
};
