// A program that logs and then crashes with the crash reporter armed, for
// the test that no queued log line dies with the process.
//   trevalo_log_crash_child <lines>
// Its level-300 callback stalls the log writer on the first line, as a slow
// reporter would, so the lines are still queued when the fault comes.

#include <sys/resource.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "Application/Application.h"
#include "Tools/singleton.h"
#include "host/trevalo/trevalo.h"

namespace {

std::mutex g_lock;
std::condition_variable g_never;

void StallForever(const char*, const char*) {
    std::unique_lock<std::mutex> wait(g_lock);
    g_never.wait(wait, [] { return false; });
}

__attribute__((noinline, no_sanitize("undefined"))) void WriteThroughNull() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <lines>\n", argv[0]);
        return 2;
    }
    const int lines = std::atoi(argv[1]);
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);

    Trevalo* reporter = Tools::CSingleton<Trevalo>::GetInstance();
    reporter->SetupAppCenter();
    reporter->SetLogFlushHook([](int budget_ms) { Application::FlushLogForCrash(budget_ms); });
    if (!Application::MakeNomalApplication(
            1, argv, [](Application::InterfaceBase*) { return true; }, [](bool) {}))
        return 3;
    Application::SetLogCallback(Application::kLogInfo, StallForever);
    Application::ILog* log = Application::App()->GetLog();
    for (int i = 1; i <= lines; ++i) log->Write(Application::kLogInfo, "line %d of %d", i, lines);
    WriteThroughNull();
    return 4;
}
