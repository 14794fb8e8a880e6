// A host program for tests that need to kill the host: starts the host
// application with the configuration given as the only argument, prints the
// sample plugin process's id once it answers, then runs until killed.
#include <cstdio>
#include <string>

#include "framework/exeplugin/exe_plugin_test_support.h"

int main(int argc, char** argv) {
    using namespace Application::ExePluginTest;
    if (argc != 2) return 2;
    if (!StartHost(argv[1])) return 3;
    Application::IPlugin* plugin = Application::App()->GetPluginMgr()->GetPlugin("SampleProcess");
    if (!plugin) return 4;
    const std::optional<std::string> pid = Call(plugin, 4, "");
    if (!pid) return 5;
    std::printf("%s\n", pid->c_str());
    std::fflush(stdout);
    PumpUntil([] { return false; }, std::chrono::hours(1));
    return 0;
}
