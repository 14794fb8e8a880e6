// The real host application with the sample plugin executable.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Application/Application.h"

namespace Application {
namespace {

namespace fs = std::filesystem;

bool PumpUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        ProcessMainThreadTask();
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

class ExePluginEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("velmora_exe_e2e_" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "run");
        fs::permissions(root_ / "run", fs::perms::owner_all);
        setenv("XDG_DATA_HOME", root_.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (root_ / "run").c_str(), 1);
        config_ = (root_ / "config.json").string();
        std::ofstream(config_) << R"({"plugins": [{"type": 3, "name": "SampleProcess", "file": "SampleProcess",
                                      "plugin_process": "plugins/SampleProcess", "ensure_process": true}]})";
    }
    void TearDown() override {
        DestroyApplication();
        fs::remove_all(root_);
    }

    void Start() {
        std::string program = "host";
        std::string config_switch = "-plugin_config=" + config_;
        char* argv[] = {program.data(), config_switch.data()};
        MakeNomalApplication(2, argv, [](InterfaceBase*) { return true; }, [](bool) {});
        App()->GetNotifier()->Subscribe("app", kAppPluginConnected, [this](unsigned, const char*, int) { ++connected_; });
        App()->GetNotifier()->Subscribe("app", kAppPluginEnded, [this](unsigned, const char*, int) { ++ended_; });
    }

    std::string Call(int32_t command, const std::string& data) {
        auto answer = std::make_shared<std::string>();
        auto arrived = std::make_shared<std::atomic<bool>>(false);
        App()->GetPluginMgr()->GetPlugin("SampleProcess")
            ->Invoke(command, data.data(), static_cast<int32_t>(data.size()), [answer, arrived](const char* bytes, int32_t length) {
                *answer = std::string(bytes, static_cast<size_t>(length));
                *arrived = true;
            });
        EXPECT_TRUE(PumpUntil([&] { return arrived->load(); })) << "no answer to command " << command;
        return *answer;
    }

    fs::path root_;
    std::string config_;
    std::atomic<int> connected_{0};
    std::atomic<int> ended_{0};
};

TEST_F(ExePluginEndToEndTest, CallsRoundTripAndNothingIsLeftBehind) {
    Start();
    ASSERT_NE(App()->GetPluginMgr()->GetPlugin("SampleProcess"), nullptr);
    // A call made before the process connected is delivered once it has.
    EXPECT_EQ(Call(1, "hello"), "echo: hello");
    EXPECT_GE(connected_.load(), 1);
    const pid_t pid = std::stoi(Call(4, ""));
    ASSERT_GT(pid, 0);
    DestroyApplication();
    // No plugin process outlives the host's teardown.
    EXPECT_TRUE(PumpUntil([&] { return kill(pid, 0) != 0; }, std::chrono::seconds(10)));
}

TEST_F(ExePluginEndToEndTest, AKilledProcessIsAnnouncedAndRestarted) {
    Start();
    const pid_t first = std::stoi(Call(4, ""));
    ASSERT_EQ(kill(first, SIGKILL), 0);
    ASSERT_TRUE(PumpUntil([&] { return ended_.load() >= 1; })) << "the end was not announced";
    ASSERT_TRUE(PumpUntil([&] { return connected_.load() >= 2; })) << "no restart";
    const pid_t second = std::stoi(Call(4, ""));
    EXPECT_NE(second, first);
}

}  // namespace
}  // namespace Application
