#pragma once

#include <memory>

// The crash reporter. On a fatal signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGABRT) it writes a text dump under "VelmoraData/crashes" in the data root
// (signal, fault address, thread, backtrace, loaded modules), calls the
// registered callback with the dump path on a thread of its own, waits for it
// at most 3 s, and lets the process die by the original signal.
//
// One instance per process, through Tools::CSingleton<Trevalo>::GetInstance().
// Both calls are thread-safe; the alternate signal stack is given to the
// thread that calls SetupAppCenter (the main thread), where stack overflows
// are reported too.
class Trevalo {
public:
    using DumpCallback = void (*)(const wchar_t* dump_path, void* context);
    // Writes what the process's log still has queued, within budget_ms.
    using LogFlushHook = void (*)(int budget_ms);
    // Of the watcher's budget for a dump, what the log flush may use.
    static constexpr int kLogFlushBudgetMs = 500;

    Trevalo();
    ~Trevalo();
    Trevalo(const Trevalo&) = delete;
    Trevalo& operator=(const Trevalo&) = delete;

    // Creates the dump directory, installs the alternate signal stack and the
    // fatal-signal handlers, and starts the callback thread. Later calls do
    // nothing.
    void SetupAppCenter();

    // Names dumps after app_name and registers callback (may be null), called
    // with the dump path and context after a dump was written. Sets up the
    // handlers first when SetupAppCenter has not run. A later call replaces
    // the earlier registration.
    void InitDumpHandler(const char* app_name, DumpCallback callback, void* context);

    // hook (may be null) runs on the watcher thread as soon as a fatal signal
    // is being handled, beside the dump being written, with
    // kLogFlushBudgetMs: lines the log had queued reach its file before the
    // process dies. A later call replaces the earlier hook.
    void SetLogFlushHook(LogFlushHook hook);

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};
