// A plugin library for the crash-check tests: its Init records that it ran
// in the file named by VELMORA_CRASH_PLUGIN_RECORD (written at once, so the
// mark survives the crash) and, while the file named by
// VELMORA_CRASH_PLUGIN_TRIGGER exists, crashes the host with SIGSEGV.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

#include <Application/Application.h>
#include <Application/IPlugin.h>
#include <Application/PluginAbi.h>
#include <Tools/memory.h>

VELMORA_PLUGIN_ABI_STAMP();

namespace {

constexpr char kInitMark[] = "CrashPlugin::Init\n";

void RecordInit() {
    const char* path = std::getenv("VELMORA_CRASH_PLUGIN_RECORD");
    if (!path || !path[0]) return;
    int fd;
    do {
        fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return;
    ssize_t written;
    do {
        written = write(fd, kInitMark, sizeof kInitMark - 1);
    } while (written < 0 && errno == EINTR);
    close(fd);
}

class CrashPlugin final : public Application::IPlugin {
public:
    bool Init() override {
        RecordInit();
        const char* trigger = std::getenv("VELMORA_CRASH_PLUGIN_TRIGGER");
        if (trigger && trigger[0] && access(trigger, F_OK) == 0) raise(SIGSEGV);
        if (Application::IApplication* app = Application::App())
            app->GetLog()->Write(Application::kLogInfo, "CrashPlugin started without crashing");
        return true;
    }
    void Free() override {}
    const char* GetName() override { return "CrashPlugin"; }
    void Invoke(int32_t, const char*, int32_t, Application::InvokeCallback callback) override {
        if (callback) callback("", 0);
    }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) Application::IPlugin* CreateObject() {
    void* memory = Malloc(sizeof(CrashPlugin));
    return memory ? new (memory) CrashPlugin : nullptr;
}

extern "C" __attribute__((visibility("default"))) void DestroyObject(Application::IPlugin* plugin) {
    if (!plugin) return;
    plugin->~IPlugin();
    ::Free(plugin);
}
