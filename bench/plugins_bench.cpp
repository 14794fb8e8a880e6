// Invoke through the plugin manager and the shared-library proxy against a
// direct virtual call on the same plugin object, and plugin manager start-up
// with 50 configured shared-library plugins.

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

#include "Tools/os.h"
#include "framework/plugins/plugin_test_app.h"

namespace {

using namespace Application;
namespace fs = std::filesystem;

fs::path ScratchDir() {
    static const fs::path dir = fs::temp_directory_path() / ("bench_plugins_" + std::to_string(getpid()));
    fs::create_directories(dir);
    return dir;
}

std::string WriteConfig(const std::string& name, const std::string& entries) {
    const fs::path path = ScratchDir() / name;
    std::ofstream(path, std::ios::binary) << R"({"plugins":[)" << entries << "]}";
    return path.string();
}

const InvokeCallback& Answer() {
    static const InvokeCallback callback = [](const char* data, int32_t length) {
        benchmark::DoNotOptimize(data);
        benchmark::DoNotOptimize(length);
    };
    return callback;
}

void BM_DirectVirtualCall(benchmark::State& state) {
    void* library = Tools::os_dlopen(ECHO_PLUGIN_PATH);
    auto create = reinterpret_cast<IPlugin* (*)()>(Tools::os_dlsym(library, "CreateObject"));
    auto destroy = reinterpret_cast<void (*)(IPlugin*)>(Tools::os_dlsym(library, "DestroyObject"));
    if (!create || !destroy) {
        state.SkipWithError("echo plugin not loadable");
        return;
    }
    IPlugin* plugin = create();
    benchmark::DoNotOptimize(plugin);
    for (auto _ : state) plugin->Invoke(1, "ping", 4, Answer());
    destroy(plugin);
}
BENCHMARK(BM_DirectVirtualCall);

class ManagerFixture : public benchmark::Fixture {
public:
    void SetUp(const benchmark::State&) override {
        plugin_test::StartWithConfig(WriteConfig("invoke.json", R"({"type":2,"file":")" ECHO_PLUGIN_PATH
                                                                R"(","name":"Echo"})"));
    }
    void TearDown(const benchmark::State&) override { DestroyApplicationObject(); }
};

BENCHMARK_F(ManagerFixture, ProxyInvoke)(benchmark::State& state) {
    IPlugin* proxy = App()->GetPluginMgr()->GetPlugin("Echo");
    for (auto _ : state) proxy->Invoke(1, "ping", 4, Answer());
}

BENCHMARK_F(ManagerFixture, GetPluginThenInvoke)(benchmark::State& state) {
    for (auto _ : state) App()->GetPluginMgr()->GetPlugin("Echo")->Invoke(1, "ping", 4, Answer());
}

// cold: 50 library files never loaded before (fresh copies each round);
// warm: the same 50 files again, already mapped.
void StartUp(benchmark::State& state, bool cold) {
    static int round = 0;
    std::string warm_config;
    for (auto _ : state) {
        state.PauseTiming();
        std::string config = warm_config;
        if (cold || config.empty()) {
            const fs::path dir = ScratchDir() / ("round" + std::to_string(round++));
            fs::create_directories(dir);
            std::string entries;
            for (int i = 0; i < 50; ++i) {
                const fs::path copy = dir / ("plugin" + std::to_string(i) + ".so");
                fs::copy_file(STARTUP_PLUGIN_PATH, copy, fs::copy_options::overwrite_existing);
                if (i) entries += ",";
                entries += R"({"type":2,"file":")" + copy.string() + R"(","name":"P)" + std::to_string(i) + "\"}";
            }
            config = WriteConfig("startup" + std::to_string(round) + ".json", entries);
            if (!cold) {
                warm_config = config;
                plugin_test::StartWithConfig(config);  // maps them once, untimed
                DestroyApplicationObject();
            }
        }
        state.ResumeTiming();
        plugin_test::StartWithConfig(config);
        state.PauseTiming();
        if (!App()->GetPluginMgr()->GetPlugin("P49")) state.SkipWithError("plugins not created");
        DestroyApplicationObject();
        state.ResumeTiming();
    }
}

void BM_StartUp50Cold(benchmark::State& state) { StartUp(state, true); }
void BM_StartUp50Warm(benchmark::State& state) { StartUp(state, false); }
BENCHMARK(BM_StartUp50Cold)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_StartUp50Warm)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(ScratchDir(), ignored);
    return 0;
}
