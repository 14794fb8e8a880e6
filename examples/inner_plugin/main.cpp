// A program that registers a built-in plugin type, starts the framework with
// a configuration naming it and the sample plugin library, and calls both.
// Run with -plugin_config=<file> to use another configuration.

#include <cstdio>
#include <string>

#include <Application/Application.h>
#include <Application/InnerPlugin.h>
#include <Tools/os.h>

namespace {

// Answers every command with the data reversed.
class ReversePlugin final : public Application::IPlugin {
public:
    bool Init() override { return true; }
    void Free() override {}
    const char* GetName() override { return "Reverse"; }
    void Invoke(int32_t, const char* data, int32_t length, Application::InvokeCallback callback) override {
        if (!callback) return;
        std::string text = data && length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
        text.assign(text.rbegin(), text.rend());
        callback(text.data(), static_cast<int32_t>(text.size()));
    }
};

// Built-in types are registered before the framework starts.
const int kRegistered = Application::RegisterInnerPluginType(
    Application::MakeWithLibraryAllocator<Application::InnerPluginCreator<ReversePlugin>>(), "SampleInnerPlugin");

std::string Call(const char* name, const std::string& text) {
    Application::IPlugin* plugin = Application::App()->GetPluginMgr()->GetPlugin(name);
    if (!plugin) return "(no plugin " + std::string(name) + ")";
    std::string answer = "(no answer)";
    plugin->Invoke(1, text.data(), static_cast<int32_t>(text.size()),
                   [&answer](const char* data, int32_t length) { answer.assign(data, static_cast<size_t>(length)); });
    return answer;
}

bool HasSwitch(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind("-plugin_config=", 0) == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    (void)kRegistered;
    char config[1024] = {};
    Tools::os_get_executable_path(config, sizeof config, "plugins/inner_plugin.json");
    std::string default_config = "-plugin_config=" + std::string(config);
    char* with_default[] = {argv[0], default_config.data()};
    const bool own = HasSwitch(argc, argv);
    Application::MakeNomalApplication(own ? argc : 2, own ? argv : with_default,
                                      [](Application::InterfaceBase*) { return true; }, [](bool) {});

    const std::string reversed = Call("Reverse", "plugin");
    // The library loads on this first call (load_delay) on the main thread.
    const std::string echoed = Call("EchoPlugin", "hello");
    std::printf("Reverse: %s\nEchoPlugin: %s\n", reversed.c_str(), echoed.c_str());

    Application::DestroyApplication();
    return reversed == "nigulp" && echoed == "hello" ? 0 : 1;
}
