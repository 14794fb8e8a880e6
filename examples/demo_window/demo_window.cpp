#include "examples/demo_window/demo_window.h"

#include <unistd.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QShowEvent>
#include <QStyle>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

#include "Application/Application.h"
#include "Application/IPlugin.h"
#include "Application/PluginStatus.h"
#include "Tools/os.h"
#include "examples/demo_window/demo_plugin.h"

using Application::App;

namespace {

constexpr const char* kContext = "DemoWindow";
constexpr int kMaxLogLines = 200;
constexpr int kScreenshotPollMs = 100;
constexpr int kScreenshotPatiencePolls = 150;  // how long to wait for the process plugin

QString Tr(const char* text) { return QCoreApplication::translate(kContext, text); }

QString Switch(const char* name) {
    Application::ICmdLineMgr* cmdline = App()->GetCmdLineMgr();
    if (!cmdline->Has(name)) return QString();
    char buffer[1024] = {};
    cmdline->GetValue(name, buffer, sizeof buffer);
    return QString::fromUtf8(buffer);
}

QFrame* Card(QLayout* content) {
    auto* card = new QFrame;
    card->setObjectName(QStringLiteral("Card"));
    card->setLayout(content);
    content->setContentsMargins(16, 14, 16, 14);
    return card;
}

QLabel* Named(const char* object_name) {
    auto* label = new QLabel;
    label->setObjectName(QString::fromLatin1(object_name));
    return label;
}

// A tone picks the pill colours of the skin's style sheet.
void SetTone(QWidget* widget, const char* tone) {
    if (widget->property("tone").toString() == QLatin1String(tone)) return;
    widget->setProperty("tone", QString::fromLatin1(tone));
    widget->style()->unpolish(widget);
    widget->style()->polish(widget);
}

// "[date time][thread][level]message" shown as "time  level  message": the
// date and the thread say little in a window that lives for one run.
QString ShortLogLine(const QString& line) {
    static const QRegularExpression pattern(QStringLiteral("^\\[\\S+ ([^\\]]+)\\]\\[[^\\]]*\\]\\[([^\\]]*)\\](.*)$"));
    const QRegularExpressionMatch match = pattern.match(line);
    if (!match.hasMatch()) return line;
    return match.captured(1) + QStringLiteral("  ") + match.captured(2).leftJustified(5) + QStringLiteral("  ") +
           match.captured(3);
}

QString FormatRoundTrip(qint64 nanoseconds) {
    if (nanoseconds < 1000000) return QString::number(nanoseconds / 1000.0, 'f', 0) + QStringLiteral(" µs");
    return QString::number(nanoseconds / 1000000.0, 'f', 2) + QStringLiteral(" ms");
}

QString FormatMemory(uint64_t bytes) {
    if (bytes < (1u << 20)) return QString::number((bytes + 1023) / 1024) + QStringLiteral(" KiB");
    return QString::number(static_cast<double>(bytes) / (1 << 20), 'f', 1) + QStringLiteral(" MiB");
}

// The columns of the plugin table.
enum Column { kName, kKind, kState, kPid, kRestarts, kMemory, kCpu, kLastCall, kAction, kColumnCount };

// The framework's table; the demo's own entry first is no help, so the
// configuration order stays.
std::vector<Application::PluginStatus> PluginTable() { return Application::GetPluginStatus(); }

const Application::PluginStatus* Find(const std::vector<Application::PluginStatus>& table, const char* name) {
    for (const Application::PluginStatus& status : table)
        if (status.name == name) return &status;
    return nullptr;
}

}  // namespace

DemoWindow::DemoWindow() {
    setObjectName(QStringLiteral("DemoWindow"));
    resize(1040, 800);

    title_ = Named("Title");
    subtitle_ = Named("Subtitle");
    subtitle_->setWordWrap(true);
    status_ = Named("StatusPill");
    auto* heading = new QVBoxLayout;
    heading->setSpacing(2);
    heading->addWidget(title_);
    heading->addWidget(subtitle_);
    auto* header = new QHBoxLayout;
    header->addLayout(heading, 1);
    header->addWidget(status_, 0, Qt::AlignTop);

    plugins_ = new QTableWidget(0, kColumnCount);
    plugins_->setObjectName(QStringLiteral("Plugins"));
    plugins_->verticalHeader()->hide();
    plugins_->verticalHeader()->setDefaultSectionSize(36);
    plugins_->horizontalHeader()->setSectionResizeMode(kName, QHeaderView::Stretch);
    const int widths[kColumnCount] = {0, 96, 150, 70, 84, 90, 66, 96, 104};
    for (int column = kKind; column < kColumnCount; ++column) {
        plugins_->horizontalHeader()->setSectionResizeMode(column, QHeaderView::Fixed);
        plugins_->horizontalHeader()->resizeSection(column, widths[column]);
    }
    plugins_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    plugins_->horizontalHeader()->setHighlightSections(false);
    plugins_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    plugins_->setSelectionMode(QAbstractItemView::NoSelection);
    plugins_->setFocusPolicy(Qt::NoFocus);
    plugins_->setShowGrid(false);
    plugins_->setWordWrap(false);
    plugins_hint_ = Named("Hint");
    plugins_hint_->setWordWrap(true);
    retry_ = new QPushButton;
    retry_->setObjectName(QStringLiteral("RowButton"));
    retry_->setCursor(Qt::PointingHandCursor);
    auto* notes = new QHBoxLayout;
    notes->addWidget(plugins_hint_, 1);
    notes->addWidget(retry_, 0, Qt::AlignVCenter);
    auto* plugins_layout = new QVBoxLayout;
    plugins_layout->addWidget(plugins_);
    plugins_layout->addLayout(notes);

    call_ = new QPushButton;
    call_->setObjectName(QStringLiteral("Primary"));
    call_->setCursor(Qt::PointingHandCursor);
    call_hint_ = Named("Hint");
    call_hint_->setWordWrap(true);
    answer_caption_ = Named("Caption");
    answer_ = Named("Answer");
    answer_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    rtt_caption_ = Named("Caption");
    rtt_ = Named("Figure");
    auto* call_layout = new QGridLayout;
    call_layout->setHorizontalSpacing(16);
    call_layout->setVerticalSpacing(8);
    call_layout->addWidget(call_, 0, 0, 1, 2, Qt::AlignLeft);
    call_layout->addWidget(answer_caption_, 1, 0);
    call_layout->addWidget(answer_, 1, 1, Qt::AlignLeft);
    call_layout->addWidget(rtt_caption_, 2, 0);
    call_layout->addWidget(rtt_, 2, 1);
    call_layout->addWidget(call_hint_, 3, 0, 1, 2);
    call_layout->setColumnStretch(1, 1);
    call_layout->setRowStretch(4, 1);

    skin_label_ = Named("Caption");
    skin_ = new QComboBox;
    skin_->addItems({QString(), QString()});
    language_label_ = Named("Caption");
    language_ = new QComboBox;
    language_->addItems({QStringLiteral("English"), QStringLiteral("中文")});
    auto* appearance_layout = new QGridLayout;
    appearance_layout->setHorizontalSpacing(16);
    appearance_layout->setVerticalSpacing(10);
    appearance_layout->addWidget(skin_label_, 0, 0);
    appearance_layout->addWidget(skin_, 0, 1);
    appearance_layout->addWidget(language_label_, 1, 0);
    appearance_layout->addWidget(language_, 1, 1);
    skin_hint_ = Named("Hint");
    skin_hint_->setWordWrap(true);
    appearance_layout->addWidget(skin_hint_, 2, 0, 1, 2);
    appearance_layout->setColumnStretch(1, 1);
    appearance_layout->setRowStretch(3, 1);

    plugins_title_ = Named("SectionTitle");
    call_title_ = Named("SectionTitle");
    appearance_title_ = Named("SectionTitle");
    log_title_ = Named("SectionTitle");

    auto* call_column = new QVBoxLayout;
    call_column->setSpacing(6);
    call_column->addWidget(call_title_);
    call_column->addWidget(Card(call_layout), 1);
    auto* appearance_column = new QVBoxLayout;
    appearance_column->setSpacing(6);
    appearance_column->addWidget(appearance_title_);
    appearance_column->addWidget(Card(appearance_layout), 1);
    auto* middle = new QHBoxLayout;
    middle->setSpacing(16);
    middle->addLayout(call_column, 3);
    middle->addLayout(appearance_column, 2);

    log_ = new QPlainTextEdit;
    log_->setObjectName(QStringLiteral("Log"));
    log_->setReadOnly(true);
    log_->setMaximumBlockCount(kMaxLogLines);
    auto* log_layout = new QVBoxLayout;
    log_layout->addWidget(log_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 24);
    layout->setSpacing(6);
    layout->addLayout(header);
    layout->addSpacing(10);
    layout->addWidget(plugins_title_);
    layout->addWidget(Card(plugins_layout));
    layout->addSpacing(10);
    layout->addLayout(middle);
    layout->addSpacing(10);
    layout->addWidget(log_title_);
    layout->addWidget(Card(log_layout), 1);

    const QString skin_switch = Switch("demo_skin");
    if (!skin_switch.isEmpty()) App()->GetUISkin()->SetSkinIndex(skin_switch.toInt());
    FollowSkin();
    language_->setCurrentIndex(Tools::os_is_ch_lang() ? 1 : 0);

    connect(skin_, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [](int index) { App()->GetUISkin()->SetSkinIndex(index); });
    connect(language_, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &DemoWindow::SwitchLanguage);
    connect(call_, &QPushButton::clicked, this, &DemoWindow::CallProcessPlugin);
    connect(retry_, &QPushButton::clicked, this, &DemoWindow::RetrySkippedPlugins);
    connect(this, &DemoWindow::answerArrived, this, &DemoWindow::OnAnswer, Qt::QueuedConnection);
    // Skin changes are announced on the main thread, after the host swapped
    // the packages: the switcher follows changes made by anyone.
    skin_subscription_ = App()->GetNotifier()->Subscribe(App()->GetName(), Application::kAppSkinChangedAfter,
                                                         [this](unsigned, const char*, int) { FollowSkin(); });

    // Runs only while the window is shown (showEvent, hideEvent).
    refresh_ = new QTimer(this);
    connect(refresh_, &QTimer::timeout, this, [this] {
        RefreshPlugins();
        RefreshLog();
    });
    // The plugin manager publishes its plugins once all of them started, so
    // the first look at their states waits for the event loop.
    QTimer::singleShot(0, this, [this] {
        RefreshPlugins();
        RefreshLog();
    });

    screenshot_path_ = Switch("demo_screenshot");
    restart_target_ = Switch("demo_restart");
    if (!screenshot_path_.isEmpty()) {
        auto* steps = new QTimer(this);
        connect(steps, &QTimer::timeout, this, &DemoWindow::StepScreenshot);
        steps->start(kScreenshotPollMs);
    }

    Retranslate();
}

DemoWindow::~DemoWindow() {
    if (App() && skin_subscription_)
        App()->GetNotifier()->Unsubscribe(App()->GetName(), Application::kAppSkinChangedAfter, skin_subscription_);
}

void DemoWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) Retranslate();
    QWidget::changeEvent(event);
}

void DemoWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!refresh_->isActive()) refresh_->start(kRefreshMs);
}

void DemoWindow::hideEvent(QHideEvent* event) {
    refresh_->stop();
    QWidget::hideEvent(event);
}

void DemoWindow::FollowSkin() {
    ShowSkinPackages();
    const int index = App()->GetUISkin()->GetSkinIndex();
    if (index < 0 || index >= skin_->count() || index == skin_->currentIndex()) return;
    const bool blocked = skin_->blockSignals(true);
    skin_->setCurrentIndex(index);
    skin_->blockSignals(blocked);
}

void DemoWindow::Retranslate() {
    setWindowTitle(Tr("Velmora Demo"));
    {
        std::shared_ptr<DemoPlugin::WindowLink> link = DemoPlugin::Link();
        std::lock_guard<std::mutex> guard(link->lock);
        link->title = windowTitle().toStdString();
    }
    title_->setText(Tr("Velmora Demo"));
    subtitle_->setText(Tr("Plugins run inside this host or in processes of their own; all of them share the framework's services."));
    status_->setText(Tr("Framework running"));
    plugins_title_->setText(Tr("Plugins"));
    call_title_->setText(Tr("Sample process plugin"));
    appearance_title_->setText(Tr("Appearance"));
    log_title_->setText(Tr("Latest log lines"));
    plugins_->setHorizontalHeaderLabels({Tr("Name"), Tr("Kind"), Tr("State"), Tr("PID"), Tr("Restarts"), Tr("Memory"),
                                         Tr("CPU"), Tr("Last call"), QString()});
    retry_->setText(Tr("Retry at next start"));
    skin_label_->setText(Tr("Skin"));
    skin_->setItemText(0, Tr("Light"));
    skin_->setItemText(1, Tr("Dark"));
    language_label_->setText(Tr("Language"));
    ShowSkinPackages();
    call_->setText(Tr("Call the sample process plugin"));
    answer_caption_->setText(Tr("Answer"));
    rtt_caption_->setText(Tr("Round trip"));
    ShowResult();
    RefreshPlugins();
}

// Which packages the host registered for the shown skin: the selected one
// and the base package, from SkinResource/ beside the program.
void DemoWindow::ShowSkinPackages() {
    Application::IUISkin* skin = App()->GetUISkin();
    const QString selected = QFileInfo(QString::fromUtf8(skin->GetSkinPath(skin->GetSkinIndex()))).fileName();
    const QString base = QFileInfo(QString::fromUtf8(skin->GetBaseSkinPath())).fileName();
    skin_hint_->setText(Tr("Packages: %1 and %2, from SkinResource beside the program.")
                            .arg(selected.isEmpty() ? QStringLiteral("-") : selected, base));
}

DemoWindow::Row DemoWindow::StateOf(const Application::PluginStatus& status) {
    using Application::PluginState;
    switch (status.state) {
        case PluginState::kCreated:
            // A library or process that waits for its first call or trigger.
            return {Tr("waits for first use"), Tone::kQuiet};
        case PluginState::kStarted:
            return {status.type == Application::kPluginDll ? Tr("loaded") : Tr("running"), Tone::kGood};
        case PluginState::kFailed:
            return {Tr("failed"), Tone::kBad};
        case PluginState::kSkipped:
            return {Tr("skipped"), Tone::kQuiet};
        case PluginState::kStarting:
            return {Tr("starting"), Tone::kBusy};
        case PluginState::kConnected:
            return {Tr("connected"), Tone::kGood};
        case PluginState::kRestarting:
            return {Tr("restarting"), Tone::kBusy};
        case PluginState::kNotResponding:
            return {Tr("not responding"), Tone::kBad};
        case PluginState::kStopped:
            return {Tr("stopped"), Tone::kBad};
    }
    return {QString::fromUtf8(Application::PluginStateName(status.state)), Tone::kQuiet};
}

void DemoWindow::RefreshPlugins() {
    static const char* const kTones[] = {"good", "busy", "bad", "quiet"};
    const std::vector<Application::PluginStatus> table = PluginTable();
    plugins_->setRowCount(static_cast<int>(table.size()));
    for (int row = 0; row < static_cast<int>(table.size()); ++row) {
        const Application::PluginStatus& status = table[static_cast<size_t>(row)];
        const bool process = status.type == Application::kPluginExe;
        const bool running = process && status.pid > 0;
        const QString none = QStringLiteral("–");
        const QString kind = status.type == Application::kPluginInner ? Tr("built-in")
                             : status.type == Application::kPluginDll ? Tr("library")
                             : process                                 ? Tr("process")
                                                                       : QStringLiteral("-");
        QString cells[kColumnCount];
        cells[kName] = QString::fromStdString(status.name);
        cells[kKind] = kind;
        cells[kPid] = running ? QString::number(status.pid) : none;
        cells[kRestarts] = process && status.starts > 0 ? QString::number(status.starts - 1) : none;
        cells[kMemory] = running && status.rss_bytes > 0 ? FormatMemory(status.rss_bytes) : none;
        cells[kCpu] = running && status.cpu_percent >= 0 ? QString::number(status.cpu_percent, 'f', 1) + QLatin1Char('%')
                                                          : none;
        cells[kLastCall] = status.last_call_rtt_us >= 0 ? FormatRoundTrip(status.last_call_rtt_us * 1000) : none;
        for (int column : {kName, kKind, kPid, kRestarts, kMemory, kCpu, kLastCall}) {
            QTableWidgetItem* item = plugins_->item(row, column);
            if (!item) plugins_->setItem(row, column, item = new QTableWidgetItem);
            if (item->text() != cells[column]) item->setText(cells[column]);
        }
        // The state is a pill inside the cell, coloured by the skin; the
        // reason, when there is one, is its tool tip.
        auto* holder = plugins_->cellWidget(row, kState);
        if (!holder) {
            holder = new QWidget;
            holder->setObjectName(QStringLiteral("PillHolder"));
            auto* holder_layout = new QHBoxLayout(holder);
            holder_layout->setContentsMargins(3, 0, 8, 0);
            holder_layout->addWidget(Named("StatePill"), 0, Qt::AlignVCenter);
            holder_layout->addStretch();
            plugins_->setCellWidget(row, kState, holder);
        }
        auto* pill = holder->findChild<QLabel*>(QStringLiteral("StatePill"));
        const Row state = StateOf(status);
        if (pill->text() != state.state) pill->setText(state.state);
        const QString reason = QString::fromStdString(status.reason);
        if (pill->toolTip() != reason) pill->setToolTip(reason);
        SetTone(pill, kTones[static_cast<int>(state.tone)]);

        // Process plugins can be restarted from here; the button knows its
        // plugin by name, so a changed table never restarts the wrong one.
        QWidget* action = plugins_->cellWidget(row, kAction);
        if (process && (!action || action->property("plugin").toString() != cells[kName])) {
            auto* restart = new QPushButton;
            restart->setObjectName(QStringLiteral("RowButton"));
            restart->setCursor(Qt::PointingHandCursor);
            restart->setProperty("plugin", cells[kName]);
            connect(restart, &QPushButton::clicked, this, [this, restart] { RestartPlugin(restart->property("plugin").toString()); });
            auto* cell = new QWidget;
            cell->setObjectName(QStringLiteral("PillHolder"));
            cell->setProperty("plugin", cells[kName]);
            auto* cell_layout = new QHBoxLayout(cell);
            cell_layout->setContentsMargins(0, 0, 8, 0);
            cell_layout->addWidget(restart, 0, Qt::AlignVCenter);
            plugins_->setCellWidget(row, kAction, cell);
            action = cell;
        } else if (!process && action) {
            plugins_->removeCellWidget(row, kAction);
            action = nullptr;
        }
        if (action) {
            auto* restart = action->findChild<QPushButton*>();
            restart->setText(Tr("Restart"));
            // Nothing to restart when it was skipped or has not started yet.
            restart->setEnabled(status.state != Application::PluginState::kSkipped &&
                                status.state != Application::PluginState::kCreated);
        }
    }
    ShowPluginNotes(table);
    // As tall as its rows: the card hugs the list instead of scrolling it.
    int height = plugins_->horizontalHeader()->sizeHint().height() + 2 * plugins_->frameWidth();
    for (int row = 0; row < plugins_->rowCount(); ++row) height += plugins_->rowHeight(row);
    plugins_->setFixedHeight(height);
}

// Under the table: the skipped plugins and why, the outcome of the last
// button, and the retry button while anything is skipped.
void DemoWindow::ShowPluginNotes(const std::vector<Application::PluginStatus>& table) {
    QStringList skipped;
    for (const Application::PluginStatus& status : table) {
        if (status.state != Application::PluginState::kSkipped) continue;
        skipped << (status.reason.empty() ? QString::fromStdString(status.name)
                                          : Tr("%1: %2").arg(QString::fromStdString(status.name),
                                                             QString::fromStdString(status.reason)));
    }
    QString text = plugins_message_;
    if (!skipped.isEmpty()) {
        const QString list = Tr("Skipped: %1.").arg(skipped.join(QStringLiteral("; ")));
        text = text.isEmpty() ? list : list + QLatin1Char(' ') + text;
    } else if (text.isEmpty()) {
        text = Tr("Every configured plugin was started. Restart ends a plugin process and starts a new one.");
    }
    if (plugins_hint_->text() != text) plugins_hint_->setText(text);
    retry_->setVisible(!skipped.isEmpty());
    retry_->setEnabled(!retry_requested_);
}

void DemoWindow::RestartPlugin(const QString& name) {
    std::string error;
    const QByteArray utf8 = name.toUtf8();
    if (Application::RestartProcessPlugin(utf8.constData(), &error)) {
        plugins_message_ = Tr("%1 is restarting.").arg(name);
        App()->GetLog()->Write(Application::kLogInfo, "DemoWindow: restart of %s requested", utf8.constData());
    } else {
        plugins_message_ = Tr("%1 cannot be restarted: %2").arg(name, QString::fromStdString(error));
    }
    RefreshPlugins();
}

void DemoWindow::RetrySkippedPlugins() {
    std::string error;
    if (Application::ClearPluginCrashRecord(&error)) {
        retry_requested_ = true;
        plugins_message_ = Tr("They will be tried again at the next start.");
        App()->GetLog()->Write(Application::kLogInfo, "DemoWindow: skipped plugins will be tried at the next start");
    } else {
        plugins_message_ = Tr("The crash record cannot be cleared: %1").arg(QString::fromStdString(error));
    }
    RefreshPlugins();
}

// Follows this run's log file (one per process run, named after its pid).
void DemoWindow::RefreshLog() {
    if (log_path_.isEmpty()) {
        QDir dir(QString::fromUtf8(App()->GetAppPath()->GetLogDir()));
        const QStringList names = dir.entryList({QStringLiteral("*_%1.log").arg(getpid())}, QDir::Files, QDir::Name);
        if (names.isEmpty()) return;
        log_path_ = dir.filePath(names.last());
    }
    QFile file(log_path_);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(log_offset_)) return;
    const QByteArray fresh = file.readAll();
    const int last_break = fresh.lastIndexOf('\n');
    if (last_break < 0) return;
    log_offset_ += last_break + 1;
    for (QByteArray line : fresh.left(last_break).split('\n')) {
        if (line.endsWith('\r')) line.chop(1);
        if (!line.isEmpty()) log_->appendPlainText(ShortLogLine(QString::fromUtf8(line)));
    }
}

QString DemoWindow::WhyNotCallable() const {
    const QString name = QString::fromLatin1(DemoPlugin::kProcessPluginName);
    const std::vector<Application::PluginStatus> table = PluginTable();
    const Application::PluginStatus* status = Find(table, DemoPlugin::kProcessPluginName);
    if (!status) return Tr("%1 is not in the plugin configuration.").arg(name);
    switch (status->state) {
        case Application::PluginState::kConnected:
            return QString();
        case Application::PluginState::kSkipped:
            return Tr("%1 was skipped: %2").arg(name, QString::fromStdString(status->reason));
        case Application::PluginState::kStopped:
        case Application::PluginState::kFailed:
            return Tr("The %1 process has ended.").arg(name);
        default:
            return Tr("%1 is not connected yet; try again in a moment.").arg(name);
    }
}

void DemoWindow::CallProcessPlugin() {
    const QString refusal = WhyNotCallable();
    if (!refusal.isEmpty()) {
        call_state_ = CallState::kRefused;
        refusal_ = refusal;
        ShowResult();
        return;
    }
    Application::IPlugin* plugin = App()->GetPluginMgr()->GetPlugin(DemoPlugin::kProcessPluginName);
    if (!plugin) {
        call_state_ = CallState::kRefused;
        refusal_ = Tr("%1 is not available.").arg(QString::fromLatin1(DemoPlugin::kProcessPluginName));
        ShowResult();
        return;
    }
    const quint64 call = ++call_number_;
    call_state_ = CallState::kWaiting;
    ShowResult();
    QTimer::singleShot(kCallTimeoutMs, this, [this, call] { OnCallTimeout(call); });

    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    const QByteArray request = QByteArrayLiteral("hello from the demo window");
    std::shared_ptr<DemoPlugin::WindowLink> link = DemoPlugin::Link();
    plugin->Invoke(DemoPlugin::kEchoCommand, request.constData(), request.size(),
                   [started, link, call](const char* data, int length) {
                       const qint64 elapsed = started->nsecsElapsed();
                       const QString answer = QString::fromUtf8(data, length);
                       std::lock_guard<std::mutex> guard(link->lock);
                       if (link->window) emit link->window->answerArrived(call, answer, elapsed);
                   });
}

void DemoWindow::OnAnswer(quint64 call, const QString& answer, qint64 nanoseconds) {
    // An answer after its call was given up, or to an earlier call, is stale.
    if (call != call_number_ || call_state_ != CallState::kWaiting) return;
    call_state_ = CallState::kAnswered;
    answer_text_ = answer;
    rtt_ns_ = nanoseconds;
    ShowResult();
}

void DemoWindow::OnCallTimeout(quint64 call) {
    if (call != call_number_ || call_state_ != CallState::kWaiting) return;
    call_state_ = CallState::kTimedOut;
    ShowResult();
}

void DemoWindow::ShowResult() {
    const char* tone = "quiet";
    call_->setEnabled(call_state_ != CallState::kWaiting);
    switch (call_state_) {
        case CallState::kNone:
            answer_->setText(Tr("No answer yet"));
            rtt_->setText(QStringLiteral("–"));
            call_hint_->setText(Tr("Sends command 1 with a short text; the plugin process answers with an echo."));
            break;
        case CallState::kWaiting:
            answer_->setText(Tr("Waiting for the plugin process..."));
            rtt_->setText(QStringLiteral("–"));
            call_hint_->setText(QString());
            break;
        case CallState::kAnswered:
            answer_->setText(answer_text_);
            rtt_->setText(FormatRoundTrip(rtt_ns_));
            call_hint_->setText(Tr("Answered over the plugin's local connection."));
            tone = "good";
            break;
        case CallState::kTimedOut:
            answer_->setText(Tr("No answer within %1 s.").arg(kCallTimeoutMs / 1000));
            rtt_->setText(QStringLiteral("–"));
            call_hint_->setText(Tr("The plugin process may have stopped; its state is shown above."));
            tone = "bad";
            break;
        case CallState::kRefused:
            answer_->setText(Tr("Not sent"));
            rtt_->setText(QStringLiteral("–"));
            call_hint_->setText(refusal_);
            tone = "bad";
            break;
    }
    SetTone(answer_, tone);
}

// Screenshot mode: call the process plugin once it is connected (or give up
// waiting), let the answer and the log arrive; with -demo_restart=NAME press
// that plugin's Restart button and wait for its new process; with
// -demo_retry_skipped=1 press "Retry at next start" when plugins were
// skipped; then save and quit.
void DemoWindow::StepScreenshot() {
    ++screenshot_polls_;
    switch (screenshot_step_) {
        case 0: {
            const bool connected = WhyNotCallable().isEmpty();
            const bool configured = App()->GetPluginMgr()->GetPlugin(DemoPlugin::kProcessPluginName) != nullptr;
            if (connected || !configured || screenshot_polls_ > kScreenshotPatiencePolls) {
                CallProcessPlugin();
                screenshot_step_ = 1;
            }
            break;
        }
        case 1:
            if (call_state_ == CallState::kWaiting) break;
            if (call_state_ == CallState::kAnswered) {
                App()->GetLog()->Write(Application::kLogInfo, "DemoWindow: %s answered \"%s\" in %lld us",
                                       DemoPlugin::kProcessPluginName, answer_text_.toUtf8().constData(),
                                       static_cast<long long>(rtt_ns_ / 1000));
            } else {
                App()->GetLog()->Write(Application::kLogWarning, "DemoWindow: %s: %s", DemoPlugin::kProcessPluginName,
                                       (call_state_ == CallState::kRefused ? refusal_ : answer_->text()).toUtf8().constData());
            }
            screenshot_step_ = restart_target_.isEmpty() ? 4 : 2;
            break;
        case 2: {
            // Press the plugin's Restart button, as a user would.
            const QByteArray name = restart_target_.toUtf8();
            const std::vector<Application::PluginStatus> table = PluginTable();
            const Application::PluginStatus* status = Find(table, name.constData());
            restart_old_pid_ = status ? status->pid : 0;
            QPushButton* button = nullptr;
            for (int row = 0; row < plugins_->rowCount() && !button; ++row) {
                QWidget* cell = plugins_->cellWidget(row, kAction);
                if (cell && cell->property("plugin").toString() == restart_target_) button = cell->findChild<QPushButton*>();
            }
            if (!button || !button->isEnabled()) {
                App()->GetLog()->Write(Application::kLogWarning, "DemoWindow: no Restart button for %s", name.constData());
                screenshot_step_ = 4;
                break;
            }
            button->click();
            screenshot_polls_ = 0;
            screenshot_step_ = 3;
            break;
        }
        case 3: {
            const QByteArray name = restart_target_.toUtf8();
            const std::vector<Application::PluginStatus> table = PluginTable();
            const Application::PluginStatus* status = Find(table, name.constData());
            const bool back = status && status->state == Application::PluginState::kConnected && status->pid > 0 &&
                              status->pid != restart_old_pid_;
            if (back) {
                App()->GetLog()->Write(Application::kLogInfo, "DemoWindow: %s restarted: pid %d -> %d, %u starts",
                                       name.constData(), restart_old_pid_, status->pid, status->starts);
            } else if (screenshot_polls_ > kScreenshotPatiencePolls) {
                App()->GetLog()->Write(Application::kLogWarning, "DemoWindow: %s did not come back after Restart",
                                       name.constData());
            } else {
                break;
            }
            RefreshPlugins();
            screenshot_step_ = 4;
            break;
        }
        default: {
            RefreshPlugins();
            if (!Switch("demo_retry_skipped").isEmpty() && retry_->isVisible() && retry_->isEnabled()) retry_->click();
            // What the window says under its table, for a reader of the log.
            App()->GetLog()->Write(Application::kLogInfo, "DemoWindow: plugin notes: %s",
                                   plugins_hint_->text().toUtf8().constData());
            RefreshLog();
            const QPixmap picture = grab();
            const bool saved = picture.save(screenshot_path_, "PNG");
            App()->GetLog()->Write(saved ? Application::kLogInfo : Application::kLogError, "DemoWindow: screenshot %s %s",
                                   saved ? "saved to" : "could not be saved to", screenshot_path_.toUtf8().constData());
            screenshot_path_.clear();
            App()->Quit(false);
            sender()->deleteLater();
            break;
        }
    }
}

// Reloads the chosen language's files into the framework's table; the
// installed translator answers from it, so a language change event suffices.
// Each default file holds every text, so switching back overrides them all.
void DemoWindow::SwitchLanguage(int index) {
    const char* files[2] = {index == 1 ? ":/Res/Lang/lang_default_zh_cn.txt" : ":/Res/Lang/lang_default_en_us.txt",
                            index == 1 ? ":/Res/Lang/lang_zh_cn.txt" : ":/Res/Lang/lang_en_us.txt"};
    for (const char* name : files) {
        QFile file(QString::fromLatin1(name));
        if (file.open(QIODevice::ReadOnly)) App()->GetTranslate()->LoadText(file.readAll().constData());
    }
    QEvent change(QEvent::LanguageChange);
    QCoreApplication::sendEvent(this, &change);
}
