// A program that crashes on purpose, for the crash reporter's tests.
//   trevalo_crash_child <case> <marker file>
// The callback writes the dump path (UTF-8) to the marker file. Cases that
// need more from the test write it next to the marker ("<marker>.address").

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "Tools/singleton.h"
#include "host/trevalo/trevalo.h"

namespace {

const char* g_marker_path = nullptr;
std::atomic<int> g_threads_ready{0};

std::string WideToUtf8(const wchar_t* text) {
    std::string out;
    for (; *text; ++text) {
        const auto code = static_cast<char32_t>(*text);
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

void WriteFile(const std::string& path, const std::string& content) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return;
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
}

void WriteMarker(const wchar_t* dump_path, void* context) {
    if (context != &g_marker_path) std::abort();
    WriteFile(g_marker_path, WideToUtf8(dump_path));
}

void HangingCallback(const wchar_t* dump_path, void* context) {
    WriteMarker(dump_path, context);
    for (;;) pause();
}

// Sanitizers would report these on purpose-made faults before the fault itself.
__attribute__((noinline, no_sanitize("undefined"))) void WriteThroughNull() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

void FaultingCallback(const wchar_t* dump_path, void* context) {
    WriteMarker(dump_path, context);
    WriteThroughNull();
}

// Exported names make the backtrace symbolic, which the test checks.
extern "C" __attribute__((noinline, visibility("default"))) void TrevaloTestCrashHere(void (*fault)()) {
    fault();
    std::fprintf(stderr, "fault did not end the process\n");
}

void WriteToProtectedPage() {
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) std::exit(2);
    char text[32];
    std::snprintf(text, sizeof text, "%#lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(page)));
    WriteFile(std::string(g_marker_path) + ".address", text);
    *static_cast<volatile char*>(page) = 1;
}

// Reading a mapped page past the end of its file raises SIGBUS.
void ReadPastEndOfFile() {
    const std::string path = std::string(g_marker_path) + ".empty";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) std::exit(2);
    void* page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    if (page == MAP_FAILED) std::exit(2);
    [[maybe_unused]] volatile char value = *static_cast<volatile char*>(page);
}

__attribute__((noinline, no_sanitize("address", "undefined"))) int Recurse(int depth) {
    if (depth < 0) return 0;
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    return Recurse(depth + 1) + frame[0];
}

void OverflowStack() { Recurse(0); }

void Abort() { std::abort(); }
void RaiseFpe() { raise(SIGFPE); }
void RaiseIll() { raise(SIGILL); }

void OnNamedThread(void (*fault)()) {
    std::thread crasher([fault] {
        pthread_setname_np(pthread_self(), "crasher");
        TrevaloTestCrashHere(fault);
    });
    crasher.join();
}

void SecondThreadNullWrite() { OnNamedThread(WriteThroughNull); }
void SecondThreadStackOverflow() { OnNamedThread(OverflowStack); }

// Two threads fault together: only one dump may come out of it.
void TwoThreadsFault() {
    auto fault = [] {
        g_threads_ready.fetch_add(1);
        while (g_threads_ready.load() < 2) {
        }
        TrevaloTestCrashHere(WriteThroughNull);
    };
    std::thread first(fault);
    std::thread second(fault);
    first.join();
    second.join();
}

struct Case {
    const char* name;
    void (*fault)();
    Trevalo::DumpCallback callback;  // nullptr: InitDumpHandler is not called
};

const Case kCases[] = {
    {"null-write", WriteThroughNull, WriteMarker},
    {"protected-page", WriteToProtectedPage, WriteMarker},
    {"abort", Abort, WriteMarker},
    {"bus", ReadPastEndOfFile, WriteMarker},
    {"fpe", RaiseFpe, WriteMarker},
    {"ill", RaiseIll, WriteMarker},
    {"stack-overflow", OverflowStack, WriteMarker},
    {"second-thread", SecondThreadNullWrite, WriteMarker},
    {"second-thread-stack-overflow", SecondThreadStackOverflow, WriteMarker},
    {"two-threads", TwoThreadsFault, WriteMarker},
    {"unregistered", WriteThroughNull, nullptr},
    {"hanging-callback", Abort, HangingCallback},
    {"faulting-callback", Abort, FaultingCallback},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <case> <marker file>\n", argv[0]);
        return 2;
    }
    g_marker_path = argv[2];
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);

    for (const Case& test_case : kCases) {
        if (std::strcmp(test_case.name, argv[1]) != 0) continue;
        Trevalo* reporter = Tools::CSingleton<Trevalo>::GetInstance();
        reporter->SetupAppCenter();
        if (test_case.callback) reporter->InitDumpHandler("CrashChild", test_case.callback, &g_marker_path);
        TrevaloTestCrashHere(test_case.fault);
        return 3;
    }
    std::fprintf(stderr, "unknown case %s\n", argv[1]);
    return 2;
}
