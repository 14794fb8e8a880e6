#include "examples/demo_window/demo_window.h"

#include <unistd.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <memory>
#include <mutex>

#include "Application/Application.h"
#include "examples/demo_window/demo_plugin.h"

using Application::App;

namespace {

constexpr const char* kContext = "DemoWindow";
constexpr int kMaxLogLines = 200;

QString Tr(const char* text) { return QCoreApplication::translate(kContext, text); }

QString ConfigPath() {
    char buffer[1024] = {};
    if (App()->GetCmdLineMgr()->Has("plugin_config")) {
        App()->GetCmdLineMgr()->GetValue("plugin_config", buffer, sizeof buffer);
        return QString::fromUtf8(buffer);
    }
    return QString::fromUtf8(App()->GetAppPath()->GetExeDir()) + QStringLiteral("/plugins/config.json");
}

QFrame* Card(QWidget* content) {
    auto* card = new QFrame;
    card->setObjectName(QStringLiteral("Card"));
    auto* layout = new QVBoxLayout(card);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->addWidget(content);
    return card;
}

QLabel* SectionTitle() {
    auto* label = new QLabel;
    label->setObjectName(QStringLiteral("SectionTitle"));
    return label;
}

}  // namespace

DemoWindow::DemoWindow() {
    setObjectName(QStringLiteral("DemoWindow"));
    resize(860, 640);

    title_ = new QLabel;
    title_->setObjectName(QStringLiteral("Title"));
    status_ = new QLabel;
    status_->setObjectName(QStringLiteral("StatusPill"));
    auto* header = new QHBoxLayout;
    header->addWidget(title_);
    header->addStretch();
    header->addWidget(status_);

    plugins_ = new QTableWidget(0, 3);
    plugins_->verticalHeader()->hide();
    plugins_->horizontalHeader()->setStretchLastSection(true);
    plugins_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    plugins_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    plugins_->setSelectionMode(QAbstractItemView::NoSelection);
    plugins_->setShowGrid(false);
    plugins_->setMinimumHeight(150);

    log_ = new QPlainTextEdit;
    log_->setReadOnly(true);
    log_->setMaximumBlockCount(kMaxLogLines);

    skin_label_ = new QLabel;
    skin_ = new QComboBox;
    skin_->addItems({QString(), QString()});
    language_label_ = new QLabel;
    language_ = new QComboBox;
    language_->addItems({QStringLiteral("English"), QStringLiteral("中文")});
    call_ = new QPushButton;
    answer_label_ = new QLabel;
    answer_label_->setObjectName(QStringLiteral("Answer"));
    rtt_label_ = new QLabel;

    auto* controls = new QWidget;
    auto* grid = new QGridLayout(controls);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(10);
    grid->addWidget(skin_label_, 0, 0);
    grid->addWidget(skin_, 0, 1);
    grid->addWidget(language_label_, 0, 2);
    grid->addWidget(language_, 0, 3);
    grid->addWidget(call_, 1, 0, 1, 2);
    grid->addWidget(answer_label_, 1, 2);
    grid->addWidget(rtt_label_, 1, 3);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);

    plugins_title_ = SectionTitle();
    log_title_ = SectionTitle();
    appearance_title_ = SectionTitle();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 16, 20, 20);
    layout->setSpacing(4);
    layout->addLayout(header);
    layout->addWidget(plugins_title_);
    layout->addWidget(Card(plugins_));
    layout->addWidget(appearance_title_);
    layout->addWidget(Card(controls));
    layout->addWidget(log_title_);
    layout->addWidget(Card(log_), 1);

    const QJsonDocument config = [] {
        QFile file(ConfigPath());
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()) : QJsonDocument();
    }();
    entries_ = config.object().value(QStringLiteral("plugins")).toArray();

    skin_->setCurrentIndex(std::max(0, App()->GetUISkin()->GetSkinIndex()));
    connect(skin_, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [](int index) { App()->GetUISkin()->SetSkinIndex(index); });
    connect(language_, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &DemoWindow::SwitchLanguage);
    connect(call_, &QPushButton::clicked, this, &DemoWindow::CallProcessPlugin);
    connect(this, &DemoWindow::answerArrived, this, &DemoWindow::ShowAnswer, Qt::QueuedConnection);

    auto* refresh = new QTimer(this);
    connect(refresh, &QTimer::timeout, this, [this] {
        RefreshPlugins();
        RefreshLog();
    });
    refresh->start(500);

    Retranslate();
    RefreshPlugins();
    RefreshLog();
}

DemoWindow::~DemoWindow() = default;

void DemoWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) Retranslate();
    QWidget::changeEvent(event);
}

void DemoWindow::Retranslate() {
    setWindowTitle(Tr("Velmora Demo"));
    title_->setText(Tr("Velmora Demo"));
    status_->setText(Tr("Framework running"));
    plugins_title_->setText(Tr("Plugins"));
    log_title_->setText(Tr("Latest log lines"));
    appearance_title_->setText(Tr("Appearance"));
    plugins_->setHorizontalHeaderLabels({Tr("Name"), Tr("Kind"), Tr("State")});
    skin_label_->setText(Tr("Skin"));
    skin_->setItemText(0, Tr("Light"));
    skin_->setItemText(1, Tr("Dark"));
    language_label_->setText(Tr("Language"));
    call_->setText(Tr("Call the sample process plugin"));
    ShowAnswer(last_answer_, last_rtt_ns_);
    RefreshPlugins();
}

QString DemoWindow::StateOf(const QJsonObject& entry) const {
    const QString name = entry.value(QStringLiteral("name")).toString();
    const int type = entry.value(QStringLiteral("type")).toInt();
    if (type == 3) {
        auto it = process_states_.find(name);
        if (it != process_states_.end()) return *it ? Tr("connected") : Tr("ended");
        return entry.value(QStringLiteral("load_delay")).toBool() ? Tr("not loaded") : Tr("running");
    }
    return App()->GetPluginMgr()->GetPlugin(name.toUtf8().constData()) ? Tr("loaded") : Tr("not loaded");
}

void DemoWindow::RefreshPlugins() {
    plugins_->setRowCount(entries_.size());
    for (int row = 0; row < entries_.size(); ++row) {
        const QJsonObject entry = entries_.at(row).toObject();
        const int type = entry.value(QStringLiteral("type")).toInt();
        const QString kind = type == 1 ? Tr("built-in") : type == 2 ? Tr("shared library") : Tr("process");
        const QString cells[3] = {entry.value(QStringLiteral("name")).toString(), kind, StateOf(entry)};
        for (int column = 0; column < 3; ++column) {
            QTableWidgetItem* item = plugins_->item(row, column);
            if (!item) plugins_->setItem(row, column, item = new QTableWidgetItem);
            if (item->text() != cells[column]) item->setText(cells[column]);
        }
    }
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
    for (const QByteArray& line : fresh.left(last_break).split('\n')) log_->appendPlainText(QString::fromUtf8(line));
}

void DemoWindow::CallProcessPlugin() {
    Application::IPlugin* plugin = App()->GetPluginMgr()->GetPlugin(DemoPlugin::kProcessPluginName);
    if (!plugin) {
        ShowAnswer(Tr("Waiting for the plugin process..."), -1);
        return;
    }
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    const QByteArray request = QByteArrayLiteral("ping from the demo window");
    std::shared_ptr<DemoPlugin::WindowLink> link = DemoPlugin::Link();
    plugin->Invoke(DemoPlugin::kEchoCommand, request.constData(), request.size(),
                   [started, link](const char* data, int length) {
                       const qint64 elapsed = started->nsecsElapsed();
                       std::lock_guard<std::mutex> guard(link->lock);
                       if (link->window)
                           emit link->window->answerArrived(QString::fromUtf8(data, length), elapsed);
                   });
    answer_label_->setText(Tr("Waiting for the plugin process..."));
}

void DemoWindow::ShowAnswer(const QString& answer, qint64 nanoseconds) {
    last_answer_ = answer;
    last_rtt_ns_ = nanoseconds;
    answer_label_->setText(Tr("Answer") + QStringLiteral(": ") + (answer.isEmpty() ? Tr("No answer yet") : answer));
    rtt_label_->setText(Tr("Round trip") + QStringLiteral(": ") +
                        (nanoseconds < 0 ? QStringLiteral("-")
                                         : QString::number(nanoseconds / 1000.0, 'f', 1) + QStringLiteral(" µs")));
}

void DemoWindow::SetProcessState(const QString& name, bool connected) {
    process_states_[name] = connected;
    RefreshPlugins();
}

// Reloads the chosen language's files into the framework's table; the
// installed translator answers from it, so a language change event suffices.
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
