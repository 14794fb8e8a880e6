#include "host/skin_loader.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QResource>

#include <cstdint>
#include <string>

#include "Application/Application.h"
#include "Tools/os.h"

using Application::App;

namespace {

constexpr const char* kBaseStyleSheet = ":/Res/Qss/Comstyle.qss";
constexpr const char* kSkinStyleSheet = ":/Res/Qss/Skin.qss";

QStringList& Registered() {
    static QStringList packages;
    return packages;
}

// A missing or broken package leaves the program unstyled; say which one.
bool RegisterPackage(const QString& path) {
    if (path.isEmpty()) return false;
    if (Registered().contains(path)) return true;  // registering twice would need two removals
    if (!QFileInfo(path).isFile() || !QResource::registerResource(path)) {
        App()->GetLog()->Write(Application::kLogWarning, "skin package %s cannot be registered",
                               path.toUtf8().constData());
        return false;
    }
    Registered().append(path);
    return true;
}

void UnregisterPackage(const QString& path) {
    if (path.isEmpty()) return;
    if (QResource::unregisterResource(path)) Registered().removeOne(path);
}

// Reads a length-prefixed text; a text that does not fit stays empty.
std::string ReadText(const char* data, int length, int& pos) {
    if (!data || length - pos < 4) {
        pos = length;
        return {};
    }
    uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size |= static_cast<uint32_t>(static_cast<unsigned char>(data[pos + i])) << (8 * i);
    pos += 4;
    if (static_cast<uint32_t>(length - pos) < size) {
        pos = length;
        return {};
    }
    std::string text(data + pos, size);
    pos += static_cast<int>(size);
    return text;
}

void ApplySkinChange(const std::string& previous, const std::string& next) {
    UnregisterPackage(QString::fromStdString(previous));
    RegisterPackage(QString::fromStdString(next));
    if (qApp) qApp->setStyleSheet(ApplicationStyleSheet());
    // The user's choice holds at the next start too.
    if (Application::ConfigFile* config = App()->GetAppPath()->GetConfig(1))
        config->SetInt("SKIN", "Index", App()->GetUISkin()->GetSkinIndex());
}

void RemoveTranslator(QTranslator* translator) {
    auto remove = [translator] {
        QCoreApplication::removeTranslator(translator);
        translator->deleteLater();
    };
    Application::IThreadTaskMgr* tasks = App() ? App()->GetThreadTaskMgr() : nullptr;
    if (!tasks || tasks->IsMainThread())
        remove();
    else
        tasks->PostMainThreadTask(remove);
}

}  // namespace

QString QKestrunTranslate::translate(const char*, const char* source_text, const char*, int) const {
    if (table_ && source_text) {
        if (const char* value = table_->Lookup(source_text)) return QString::fromUtf8(value);
    }
    return QString::fromUtf8(source_text);
}

QString ReadResourceText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return QString();
    return QString::fromUtf8(file.readAll());
}

QString ApplicationStyleSheet() {
    return ReadResourceText(QString::fromLatin1(kBaseStyleSheet)) + QLatin1Char('\n') +
           ReadResourceText(QString::fromLatin1(kSkinStyleSheet));
}

QStringList RegisteredSkinPackages() { return Registered(); }

void UnregisterSkinPackagesForTesting() {
    for (const QString& path : Registered()) QResource::unregisterResource(path);
    Registered().clear();
}

void LoadSkin(int index) {
    Application::IApplication* app = App();
    const QString path = QString::fromUtf8(app->GetUISkin()->GetSkinPath(index));
    if (path.isEmpty() || !QFileInfo(path).isFile()) {
        app->GetLog()->Write(Application::kLogWarning, "skin package %d (%s) not found", index,
                             path.toUtf8().constData());
        return;
    }
    RegisterPackage(path);
    RegisterPackage(QString::fromUtf8(app->GetUISkin()->GetBaseSkinPath()));
    app->GetNotifier()->Subscribe(app->GetName(), Application::kAppSkinChanged,
                                  [](unsigned, const char* data, int length) {
                                      int pos = 0;
                                      std::string previous = ReadText(data, length, pos);
                                      std::string next = ReadText(data, length, pos);
                                      Application::IThreadTaskMgr* tasks = App()->GetThreadTaskMgr();
                                      if (tasks->IsMainThread())
                                          ApplySkinChange(previous, next);
                                      else
                                          tasks->PostMainThreadTask([previous, next] { ApplySkinChange(previous, next); });
                                  });
    if (Application::ConfigFile* config = app->GetAppPath()->GetConfig(1)) config->SetInt("SKIN", "Index", index);
    // The skin component selected package 0 on its own; tell it what is shown
    // now, so that later changes start from the right package.
    app->GetUISkin()->SetSkinIndex(index);
}

void SetupTranslation() {
    Application::IApplication* app = App();
    const bool chinese = Tools::os_is_ch_lang();
    const char* files[2] = {chinese ? ":/Res/Lang/lang_default_zh_cn.txt" : ":/Res/Lang/lang_default_en_us.txt",
                            chinese ? ":/Res/Lang/lang_zh_cn.txt" : ":/Res/Lang/lang_en_us.txt"};
    for (const char* name : files) {
        QFile file(QString::fromLatin1(name));
        if (!file.open(QIODevice::ReadOnly)) continue;
        const QByteArray text = QString::fromUtf8(file.readAll()).toUtf8();
        app->GetTranslate()->LoadText(text.constData());
    }
    auto* translator = new QKestrunTranslate(app->GetTranslate());
    char remove_switch[32] = {};
    app->GetCmdLineMgr()->GetValue("removeTranslator", remove_switch, sizeof remove_switch);
    if (remove_switch[0]) {
        // The translator is the context: the connection ends with it.
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, translator, [translator] { RemoveTranslator(translator); },
                         Qt::DirectConnection);
    } else {
        app->GetNotifier()->Subscribe(app->GetName(), Application::kAppShuttingDown,
                                      [translator](unsigned, const char*, int) { RemoveTranslator(translator); });
    }
    QCoreApplication::installTranslator(translator);
}
