#pragma once

// A fixture for tests that start the real Velmora program: a private data
// home, runtime directory and home under a temporary directory, the offscreen
// platform unless a test asks for another, and the child always reaped.
// The including test defines VELMORA_PROGRAM and VELMORA_LSAN_SUPPRESSIONS.

#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/test_support/child_process.h"

namespace test_support {

inline constexpr std::chrono::seconds kVelmoraDeadline{60};

// Signals the process has a handler for, from /proc/<pid>/status.
inline uint64_t CaughtSignals(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    }
    return 0;
}

// How often what occurs in text, without overlaps.
inline size_t Occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

// The configuration names plugin executables relative to the program's folder.
inline std::string RelativeToProgram(const std::string& absolute) {
    const std::string program = VELMORA_PROGRAM;
    std::string up;
    for (char c : program.substr(0, program.find_last_of('/')))
        if (c == '/') up += "../";
    return up + absolute.substr(1);
}

inline bool Catches(uint64_t mask, int signal_number) { return (mask >> (signal_number - 1)) & 1; }

class VelmoraProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        std::filesystem::create_directories(temp_.path() + "/run");
        std::filesystem::permissions(temp_.path() + "/run", std::filesystem::perms::owner_all);
        std::filesystem::create_directories(temp_.path() + "/home");
    }

    std::string DataHome() const { return temp_.path() + "/data"; }
    std::string LogDir() const { return DataHome() + "/VelmoraData/logs"; }

    // Sanitizer settings for the child; no effect on a plain build. Full
    // allocation stacks let the suppression see through Qt's frames.
    static std::string WithOption(const char* variable, const std::string& option) {
        const char* current = getenv(variable);
        return current && current[0] ? std::string(current) + ":" + option : option;
    }

    // Beside the leak suppressions: the races ThreadSanitizer sees inside Qt.
    static std::string TsanSuppressions() {
        const std::string lsan = VELMORA_LSAN_SUPPRESSIONS;
        return lsan.substr(0, lsan.find_last_of('/') + 1) + "tsan_qt.supp";
    }

    // The child's environment; changes replace or add variables of the
    // default one (an empty value removes one).
    std::vector<std::string> Environment(const std::map<std::string, std::string>& changes = {}) const {
        std::map<std::string, std::string> variables = {
            {"ASAN_OPTIONS", WithOption("ASAN_OPTIONS", "fast_unwind_on_malloc=0")},
            {"LSAN_OPTIONS", WithOption("LSAN_OPTIONS", "suppressions=" VELMORA_LSAN_SUPPRESSIONS)},
            {"TSAN_OPTIONS", WithOption("TSAN_OPTIONS", "suppressions=" + TsanSuppressions())},
            {"QT_QPA_PLATFORM", "offscreen"},
            {"XDG_DATA_HOME", DataHome()},
            {"XDG_RUNTIME_DIR", temp_.path() + "/run"},
            {"XDG_CONFIG_HOME", temp_.path() + "/config"},
            {"XDG_CACHE_HOME", temp_.path() + "/cache"},
            {"HOME", temp_.path() + "/home"},
            {"DISPLAY", ""},
            {"WAYLAND_DISPLAY", ""},
        };
        for (const auto& [name, value] : changes) variables[name] = value;
        return MakeEnvironment(variables);
    }

    void Start(const std::vector<std::string>& args = {}, const std::map<std::string, std::string>& changes = {}) {
        ASSERT_TRUE(child_.Start(VELMORA_PROGRAM, args, Environment(changes), temp_.path()));
    }

    // Running once the quit signals are routed to the event loop and the
    // framework has started (its start-up line is in the log).
    ::testing::AssertionResult WaitUntilRunning() {
        const auto deadline = std::chrono::steady_clock::now() + kVelmoraDeadline;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!child_.Running()) {
                return ::testing::AssertionFailure() << "Velmora ended early: " << DescribeStatus(child_.exit_status());
            }
            const uint64_t caught = CaughtSignals(child_.pid());
            if (Catches(caught, SIGTERM) && Catches(caught, SIGINT) &&
                LogText(child_.pid()).find("[info]Application inited ") != std::string::npos)
                return ::testing::AssertionSuccess();
            const timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        return ::testing::AssertionFailure() << "Velmora did not come up";
    }

    // A Velmora run to its end (a command such as --status), its standard
    // output and error captured.
    struct Finished {
        int status = -1;  // wait status; -1 when it did not end in time
        std::string out;
        std::string err;
    };
    Finished RunToEnd(const std::vector<std::string>& args, const std::map<std::string, std::string>& changes = {}) {
        const std::string base = temp_.path() + "/run_" + std::to_string(++runs_);
        std::vector<std::string> shell_args = {"-c", "out=$1 err=$2; shift 2; exec \"$0\" \"$@\" >\"$out\" 2>\"$err\"",
                                               VELMORA_PROGRAM, base + ".out", base + ".err"};
        shell_args.insert(shell_args.end(), args.begin(), args.end());
        Finished finished;
        ChildProcess child;
        if (!child.Start("/bin/sh", shell_args, Environment(changes), temp_.path())) return finished;
        if (!child.WaitForExit(kVelmoraDeadline, &finished.status)) finished.status = -1;
        finished.out = ReadText(base + ".out");
        finished.err = ReadText(base + ".err");
        return finished;
    }

    static std::string ReadText(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The text of the log file the process with this pid wrote, empty when none.
    std::string LogText(pid_t pid) const {
        const std::string suffix = "_" + std::to_string(pid) + ".log";
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(LogDir(), error)) {
            const std::string name = entry.path().filename().string();
            if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                std::ifstream in(entry.path(), std::ios::binary);
                std::stringstream text;
                text << in.rdbuf();
                return text.str();
            }
        }
        return {};
    }

    // The last line of the log of the process with this pid.
    std::string LastLogLine(pid_t pid) const {
        std::string text = LogText(pid);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text.substr(text.find_last_of('\n') + 1);
    }

    TempDir temp_;
    ChildProcess child_;
    int runs_ = 0;
};

}  // namespace test_support
