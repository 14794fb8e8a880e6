// The host's skin and translation glue on Qt's offscreen platform, around
// the real framework: package registration at start-up, skin swaps, the
// style sheet, the language chosen by the environment, and what a missing or
// broken package leaves behind.

#include "host/skin_loader.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QResource>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/core/test_wait.h"
#include <unistd.h>

#include "Application/Application.h"
#include "framework/ui/ui_skin_impl.h"

using Application::App;

// Qt 5's offscreen platform plugin never frees its screen and cursor; full
// allocation stacks let the suppression see through Qt's frames.
extern "C" const char* __lsan_default_suppressions() { return "leak:QGuiApplicationPrivate::createPlatformIntegration\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace {

// One QApplication and one data root for the whole binary, made once even
// when the tests repeat: Qt allows a single application object per process,
// and the main configuration file is opened once per process.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (qApp) return;
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        char pattern[] = "/tmp/velmora-skin-host-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        data_home_.path = pattern;
        setenv("XDG_DATA_HOME", pattern, 1);
        setenv("XDG_RUNTIME_DIR", pattern, 1);
        // The setting is written back only into an existing file.
        std::filesystem::create_directories(data_home_.path + "/VelmoraData");
        std::ofstream(data_home_.path + "/VelmoraData/main_config.ini") << "[SKIN]\r\nIndex=1\r\n";
        static int argc = 1;
        static char program[] = "host_skin_test";
        static char* argv[] = {program, nullptr};
        static QApplication app(argc, argv);
    }

private:
    struct RemovedAtExit {
        std::string path;
        ~RemovedAtExit() {
            std::error_code ignored;
            if (!path.empty()) std::filesystem::remove_all(path, ignored);
        }
    };
    static inline RemovedAtExit data_home_;
};

[[maybe_unused]] const ::testing::Environment* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

using Application::test_wait::WaitFor;

// The packages built beside the programs; this test runs from the same directory.
std::string SkinDir() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/SkinResource/";
}

std::string Count(uint32_t n) {
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    return out;
}
std::string Text(const std::string& bytes) { return Count(static_cast<uint32_t>(bytes.size())) + bytes; }

struct StartOptions {
    int index = 1;                       // written as SKIN/Index before the skin component starts
    std::vector<std::string> packages;   // replaces the skin table when not empty
    std::vector<std::string> arguments;  // extra command-line switches
};

StartOptions Options(int index, std::vector<std::string> packages = {}, std::vector<std::string> arguments = {}) {
    StartOptions options;
    options.index = index;
    options.packages = std::move(packages);
    options.arguments = std::move(arguments);
    return options;
}

class HostSkinTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (App()) Stop();
        UnregisterSkinPackagesForTesting();
    }

    void Start(const StartOptions& options) {
        options_ = options;
        // The process keeps switches across framework runs; an empty value
        // undoes an earlier test's -removeTranslator.
        std::vector<std::string> args = {"host_skin_test", "-removeTranslator="};
        args.insert(args.end(), options.arguments.begin(), options.arguments.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        ASSERT_TRUE(Application::MakeNomalApplication(
            static_cast<int>(argv.size()), argv.data(), [this](Application::InterfaceBase* c) { return OnStarted(c); },
            [](bool) {}));
        qApp->setStyleSheet(ApplicationStyleSheet());
    }

    void Stop() {
        Application::DestroyApplication();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Mirrors the host's component callback, with the set-up a test needs
    // in front of the skin component.
    bool OnStarted(Application::InterfaceBase* component) {
        Application::IApplication* app = App();
        if (component == app->GetLog()) {
            // Before the skin component starts, so no warning is missed.
            Application::SetLogCallback(Application::kLogWarning, [this](const char* message, const char*) {
                std::lock_guard<std::mutex> guard(warnings_lock_);
                warnings_.emplace_back(message);
            });
        } else if (component == app->GetAppPath()) {
            app->GetAppPath()->GetConfig(1)->SetInt("SKIN", "Index", options_.index);
        } else if (component == app->GetUISkin()) {
            if (!options_.packages.empty()) {
                std::string state = Count(static_cast<uint32_t>(options_.packages.size()));
                for (const std::string& path : options_.packages) state += Text(path);
                dynamic_cast<Application::UISkinImpl*>(app->GetUISkin())->LoadState(state);
            }
            LoadSkin(static_cast<int>(app->GetAppPath()->GetConfig(1)->GetInt("SKIN", "Index", 1)));
        } else if (component == app->GetTranslate()) {
            SetupTranslation();
        }
        return true;
    }

    static long long SavedIndex() { return App()->GetAppPath()->GetConfig(1)->GetInt("SKIN", "Index", -1); }

    bool Warned(const std::string& fragment) {
        return WaitFor([&] {
            std::lock_guard<std::mutex> guard(warnings_lock_);
            for (const std::string& line : warnings_)
                if (line.find(fragment) != std::string::npos) return true;
            return false;
        });
    }

    StartOptions options_;
    std::mutex warnings_lock_;
    std::vector<std::string> warnings_;
};

TEST_F(HostSkinTest, IndexOneRegistersDarkAndBasePackages) {
    Start({});
    const QStringList registered = RegisteredSkinPackages();
    EXPECT_TRUE(registered.contains(QString::fromStdString(SkinDir() + "DarkMode.rcc"))) << registered.join(", ").toStdString();
    EXPECT_TRUE(registered.contains(QString::fromStdString(SkinDir() + "Kestrun.rcc")));
    EXPECT_FALSE(registered.contains(QString::fromStdString(SkinDir() + "LightMode.rcc")));
    EXPECT_EQ(App()->GetUISkin()->GetSkinIndex(), 1) << "the framework follows the shown skin";
    EXPECT_EQ(SavedIndex(), 1);

    EXPECT_TRUE(QFile::exists(QStringLiteral(":/Res/Qss/Comstyle.qss")));
    EXPECT_FALSE(ReadResourceText(QStringLiteral(":/Res/Qss/Comstyle.qss")).isEmpty());
    EXPECT_TRUE(ReadResourceText(QStringLiteral(":/Res/Qss/Skin.qss")).contains(QStringLiteral("Dark skin")));
    EXPECT_TRUE(qApp->styleSheet().contains(QStringLiteral("QFrame#Card")));
    EXPECT_TRUE(qApp->styleSheet().contains(QStringLiteral("Dark skin")));
    // Images the style sheets name are inside the packages.
    EXPECT_TRUE(QFile::exists(QStringLiteral(":/Res/Images/check.png")));
    EXPECT_TRUE(QFile::exists(QStringLiteral(":/Res/Images/arrow_down.png")));
}

TEST_F(HostSkinTest, IndexOutsideTheTableRegistersNothingAndKeepsTheSetting) {
    Start(Options(5));
    EXPECT_TRUE(RegisteredSkinPackages().isEmpty());
    EXPECT_EQ(SavedIndex(), 5);
    EXPECT_FALSE(QFile::exists(QStringLiteral(":/Res/Qss/Comstyle.qss")));
    EXPECT_TRUE(Warned("not found"));
}

struct SwapCase {
    const char* name;
    bool from_worker;
};

class HostSkinSwapTest : public HostSkinTest, public ::testing::WithParamInterface<SwapCase> {};

TEST_P(HostSkinSwapTest, SkinChangeSwapsPackagesAndStyleSheet) {
    Start({});
    const QString light = QString::fromStdString(SkinDir() + "LightMode.rcc");
    const QString dark = QString::fromStdString(SkinDir() + "DarkMode.rcc");
    if (GetParam().from_worker) {
        std::thread([] { App()->GetUISkin()->SetSkinIndex(0); }).join();
        EXPECT_TRUE(RegisteredSkinPackages().contains(dark)) << "nothing changes before the main thread runs";
        Application::ProcessMainThreadTask();
    } else {
        App()->GetUISkin()->SetSkinIndex(0);
    }
    EXPECT_TRUE(RegisteredSkinPackages().contains(light));
    EXPECT_FALSE(RegisteredSkinPackages().contains(dark));
    EXPECT_TRUE(RegisteredSkinPackages().contains(QString::fromStdString(SkinDir() + "Kestrun.rcc")));
    EXPECT_TRUE(ReadResourceText(QStringLiteral(":/Res/Qss/Skin.qss")).contains(QStringLiteral("Light skin")));
    EXPECT_TRUE(qApp->styleSheet().contains(QStringLiteral("Light skin")));
    EXPECT_FALSE(qApp->styleSheet().contains(QStringLiteral("Dark skin")));
    EXPECT_EQ(SavedIndex(), 0) << "the choice holds at the next start";

    App()->GetUISkin()->SetSkinIndex(1);
    EXPECT_TRUE(RegisteredSkinPackages().contains(dark));
    EXPECT_FALSE(RegisteredSkinPackages().contains(light));
    EXPECT_TRUE(qApp->styleSheet().contains(QStringLiteral("Dark skin")));
}

INSTANTIATE_TEST_SUITE_P(Threads, HostSkinSwapTest,
                         ::testing::Values(SwapCase{"MainThread", false}, SwapCase{"WorkerThread", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A message 3 carrying the two paths, whoever sends it: the previous package
// goes, the new one comes; a payload cut short changes nothing.
TEST_F(HostSkinTest, SkinChangeMessageSwapsThePathsItCarries) {
    Start({});
    const std::string light = SkinDir() + "LightMode.rcc";
    const std::string dark = SkinDir() + "DarkMode.rcc";
    Application::INotifier* notifier = App()->GetNotifier();
    const std::string payload = Text(dark) + Text(light);
    notifier->Notify("app", Application::kAppSkinChanged, payload.data(), static_cast<int>(payload.size()));
    EXPECT_TRUE(RegisteredSkinPackages().contains(QString::fromStdString(light)));
    EXPECT_FALSE(RegisteredSkinPackages().contains(QString::fromStdString(dark)));

    const std::string cut = (Text(light) + Text(dark)).substr(0, 6);
    notifier->Notify("app", Application::kAppSkinChanged, cut.data(), static_cast<int>(cut.size()));
    notifier->Notify("app", Application::kAppSkinChanged, nullptr, 0);
    EXPECT_TRUE(RegisteredSkinPackages().contains(QString::fromStdString(light)));
}

class HostBrokenSkinTest : public HostSkinTest {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velmora-skin-pkg-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        missing_ = dir_ + "/Missing.rcc";
        broken_ = dir_ + "/Broken.rcc";
        std::ofstream(broken_) << "this is not a resource package";
    }
    void TearDown() override {
        HostSkinTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string dir_, missing_, broken_;
};

TEST_F(HostBrokenSkinTest, MissingPackageIsLoggedWithItsPathAndTheProgramGoesOn) {
    Start(Options(0, {missing_, broken_}));
    EXPECT_TRUE(Warned(missing_));
    EXPECT_TRUE(RegisteredSkinPackages().isEmpty());
    EXPECT_EQ(SavedIndex(), 0);
    // Unstyled, untranslated, but running.
    EXPECT_EQ(qApp->translate("DemoWindow", "Plugins"), QStringLiteral("Plugins"));
    App()->GetUISkin()->SetSkinIndex(1);
    Application::ProcessMainThreadTask();
}

TEST_F(HostBrokenSkinTest, BrokenPackageIsLoggedWithItsPathAndTheProgramGoesOn) {
    Start(Options(1, {missing_, broken_}));
    EXPECT_TRUE(Warned(broken_));
    EXPECT_FALSE(RegisteredSkinPackages().contains(QString::fromStdString(broken_)));
    EXPECT_TRUE(RegisteredSkinPackages().contains(QString::fromStdString(SkinDir() + "Kestrun.rcc")))
        << "the base package still comes";
    EXPECT_TRUE(qApp->styleSheet().contains(QStringLiteral("QFrame#Card")));
    EXPECT_FALSE(qApp->styleSheet().contains(QStringLiteral("Dark skin")));
}

// A skin change towards a package that has gone since start-up: said, and
// the base package stays.
TEST_F(HostBrokenSkinTest, ChangeToAMissingPackageIsLoggedAndKeepsTheBase) {
    Start(Options(0, {SkinDir() + "LightMode.rcc", missing_}));
    ASSERT_TRUE(RegisteredSkinPackages().contains(QString::fromStdString(SkinDir() + "LightMode.rcc")));
    App()->GetUISkin()->SetSkinIndex(1);
    EXPECT_TRUE(Warned(missing_));
    EXPECT_EQ(RegisteredSkinPackages(), QStringList{QString::fromStdString(SkinDir() + "Kestrun.rcc")});
    EXPECT_TRUE(qApp->styleSheet().contains(QStringLiteral("QFrame#Card")));
}

struct LanguageCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> environment;
    const char* title;     // the override file's text
    const char* plugins;   // the default file's text
};

class HostLanguageTest : public HostSkinTest, public ::testing::WithParamInterface<LanguageCase> {
protected:
    void SetUp() override {
        for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
        for (const auto& [name, value] : GetParam().environment) setenv(name, value, 1);
    }
};

TEST_P(HostLanguageTest, EnvironmentChoosesTheLanguageFiles) {
    Start({});
    EXPECT_EQ(qApp->translate("DemoWindow", "Velmora Demo"), QString::fromUtf8(GetParam().title));
    EXPECT_EQ(qApp->translate("DemoWindow", "Plugins"), QString::fromUtf8(GetParam().plugins));
    EXPECT_EQ(qApp->translate("DemoWindow", "no such text"), QStringLiteral("no such text"));
    Stop();
    // Gone with the framework's table: no translator may outlive it.
    EXPECT_EQ(qApp->translate("DemoWindow", "Plugins"), QStringLiteral("Plugins"));
}

INSTANTIATE_TEST_SUITE_P(
    Environments, HostLanguageTest,
    ::testing::Values(
        LanguageCase{"NothingSet", {}, "Velmora Shell Demo", "PLUGINS"},
        LanguageCase{"LangEnglish", {{"LANG", "en_US.UTF-8"}}, "Velmora Shell Demo", "PLUGINS"},
        LanguageCase{"LangChinese", {{"LANG", "zh_CN.UTF-8"}}, "Velmora 外壳演示", "插件"},
        LanguageCase{"LanguageListFirstWins", {{"LANGUAGE", "zh_CN:en_US"}, {"LANG", "en_US.UTF-8"}}, "Velmora 外壳演示", "插件"},
        LanguageCase{"LcAllOverLang", {{"LC_ALL", "en_GB.UTF-8"}, {"LANG", "zh_CN.UTF-8"}}, "Velmora Shell Demo", "PLUGINS"},
        LanguageCase{"EmptyLanguageSkipped", {{"LANGUAGE", ""}, {"LC_MESSAGES", "zh_TW.UTF-8"}}, "Velmora 外壳演示", "插件"}),
    [](const auto& info) { return std::string(info.param.name); });

// With the switch the translator goes when the event loop is about to end,
// not at the framework's shut-down message.
TEST_F(HostSkinTest, RemoveTranslatorSwitchRemovesItWhenTheLoopEnds) {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
    Start(Options(1, {}, {"-removeTranslator=1"}));
    EXPECT_EQ(qApp->translate("DemoWindow", "Plugins"), QStringLiteral("PLUGINS"));
    QTimer::singleShot(0, qApp, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    EXPECT_EQ(qApp->translate("DemoWindow", "Plugins"), QStringLiteral("Plugins"));
}

}  // namespace
