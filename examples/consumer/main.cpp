// Links against the installed libApplication and checks that the exported
// entry points and allocator are reachable. Given the path of a plugin
// library built against the same package, also loads it and calls it.
#include <Application/Application.h>
#include <Application/IPlugin.h>
#include <Tools/memory.h>
#include <Tools/os.h>

#include <cstdio>
#include <string>

namespace {

int CheckPlugin(const char* path) {
    void* library = Tools::os_dlopen(path);
    if (!library) {
        std::printf("consumer: cannot load %s: %s\n", path, Tools::os_dlerror());
        return 3;
    }
    auto create = reinterpret_cast<Application::IPlugin* (*)()>(Tools::os_dlsym(library, "CreateObject"));
    auto destroy = reinterpret_cast<void (*)(Application::IPlugin*)>(Tools::os_dlsym(library, "DestroyObject"));
    if (!create || !destroy) return 4;
    Application::IPlugin* plugin = create();
    if (!plugin) return 5;
    std::string answer;
    plugin->Init();
    plugin->Invoke(1, "echo", 4, [&](const char* data, int32_t length) { answer.assign(data, length); });
    plugin->Free();
    destroy(plugin);
    if (answer != "echo") return 6;
    std::puts("consumer: sample plugin built against the package answers");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    void* block = Malloc(16);
    if (!block) return 1;
    Free(block);
    if (Application::App() != nullptr) return 2;
    std::puts("consumer: libApplication found and callable");
    return argc > 1 ? CheckPlugin(argv[1]) : 0;
}
