#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/test_support/child_process.h"

namespace {

namespace fs = std::filesystem;
using test_support::ChildProcess;
using test_support::DescribeStatus;
using test_support::MakeEnvironment;
using test_support::TempDir;

// Generous: a hanging callback costs 3 s, sanitizers slow everything down.
constexpr std::chrono::seconds kChildDeadline{60};

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// The lines of the dump between "<header>:\n" and the next section.
std::vector<std::string> Section(const std::string& dump, const std::string& header, const std::string& next) {
    std::vector<std::string> lines;
    const size_t start = dump.find("\n" + header + ":\n");
    if (start == std::string::npos) return lines;
    const size_t end = dump.find("\n" + next + ":\n", start + 1);
    std::istringstream stream(dump.substr(start + header.size() + 3, end == std::string::npos ? std::string::npos
                                                                                             : end - start - header.size() - 2));
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

struct CrashCase {
    const char* name;
    int signal;
    const char* dump_prefix;  // nullptr: a dump is not guaranteed
    bool callback;            // the callback writes the marker
    bool symbolic_frame;      // the crashing frame is named in the backtrace
    const char* thread_name;  // nullptr: not checked
};

void PrintTo(const CrashCase& test_case, std::ostream* out) { *out << test_case.name; }

class CrashReporterTest : public ::testing::TestWithParam<CrashCase> {
protected:
    void SetUp() override { ASSERT_TRUE(temp_.ok()); }

    // Runs the child and returns its wait status.
    int Crash(const std::string& case_name, const std::map<std::string, std::string>& environment) {
        ChildProcess child;
        EXPECT_TRUE(child.Start(TREVALO_CRASH_CHILD, {case_name, MarkerPath()}, MakeEnvironment(environment),
                                temp_.path()));
        pid_ = child.pid();
        int status = 0;
        EXPECT_TRUE(child.WaitForExit(kChildDeadline, &status)) << case_name << " did not end";
        return status;
    }

    std::map<std::string, std::string> DataHomeEnvironment() const {
        return {{"XDG_DATA_HOME", DataHome()}, {"HOME", temp_.path() + "/home"}};
    }

    // Non-ASCII, so that the wide path handed to the callback is checked too.
    std::string DataHome() const { return temp_.path() + "/donn\xC3\xA9" "es-\xE6\x95\xB0\xE6\x8D\xAE"; }
    std::string MarkerPath() const { return temp_.path() + "/marker"; }

    static std::vector<fs::path> Dumps(const fs::path& directory) {
        std::vector<fs::path> dumps;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(directory, error)) dumps.push_back(entry.path());
        return dumps;
    }

    TempDir temp_;
    pid_t pid_ = -1;
};

TEST_P(CrashReporterTest, WritesDumpCallsBackAndDiesBySignal) {
    const CrashCase& test_case = GetParam();
    const int status = Crash(test_case.name, DataHomeEnvironment());
    ASSERT_TRUE(WIFSIGNALED(status)) << DescribeStatus(status);
    EXPECT_EQ(WTERMSIG(status), test_case.signal) << DescribeStatus(status);
    if (!test_case.dump_prefix) return;

    const std::vector<fs::path> dumps = Dumps(DataHome() + "/VelmoraData/crashes");
    ASSERT_EQ(dumps.size(), 1u) << "exactly one dump per crash";
    const std::string name = dumps[0].filename().string();
    EXPECT_EQ(name.rfind(test_case.dump_prefix, 0), 0u) << name;
    EXPECT_TRUE(name.ends_with("-" + std::to_string(pid_) + ".dmp")) << name;

    const std::string dump = ReadFile(dumps[0]);
    const std::string signal_line =
        "\nsignal: " + std::to_string(test_case.signal) + " SIG" + sigabbrev_np(test_case.signal) + "\n";
    EXPECT_NE(dump.find(signal_line), std::string::npos) << signal_line << "in:\n" << dump.substr(0, 600);
    EXPECT_NE(dump.find("\nprocess: " + std::to_string(pid_) + "\n"), std::string::npos);
    EXPECT_NE(dump.find("\nfault address: "), std::string::npos);
    if (test_case.thread_name) {
        EXPECT_NE(dump.find("\nthread: "), std::string::npos);
        const size_t thread_line = dump.find("\nthread: ");
        const std::string line = dump.substr(thread_line + 1, dump.find('\n', thread_line + 1) - thread_line - 1);
        EXPECT_TRUE(line.ends_with(std::string(" ") + test_case.thread_name)) << line;
    }

    const std::vector<std::string> frames = Section(dump, "backtrace", "modules");
    EXPECT_GE(frames.size(), 3u) << dump.substr(0, 2000);
    size_t addressed = 0;
    bool named = false;
    for (const std::string& frame : frames) {
        if (frame.find("[0x") != std::string::npos) ++addressed;
        if (frame.find("TrevaloTestCrashHere") != std::string::npos) named = true;
    }
    EXPECT_EQ(addressed, frames.size()) << "every backtrace line carries an address";
    if (test_case.symbolic_frame) {
        EXPECT_TRUE(named) << "the unwinder went through the signal frame";
    }

    const std::vector<std::string> modules = Section(dump, "modules", "none");
    bool has_program = false;
    for (const std::string& module : modules) {
        if (module.find("trevalo_crash_child") != std::string::npos) has_program = true;
    }
    EXPECT_TRUE(has_program) << "the module list names the program";
    EXPECT_TRUE(dump.ends_with("\nend of dump\n")) << "the dump is complete";

    if (test_case.callback) {
        EXPECT_EQ(ReadFile(MarkerPath()), dumps[0].string()) << "the callback received the dump path";
    } else {
        EXPECT_FALSE(fs::exists(MarkerPath()));
    }
}

const CrashCase kCrashCases[] = {
    {"null-write", SIGSEGV, "CrashChild-", true, true, nullptr},
    {"protected-page", SIGSEGV, "CrashChild-", true, true, nullptr},
    {"abort", SIGABRT, "CrashChild-", true, true, nullptr},
    {"bus", SIGBUS, "CrashChild-", true, true, nullptr},
    {"fpe", SIGFPE, "CrashChild-", true, true, nullptr},
    {"ill", SIGILL, "CrashChild-", true, true, nullptr},
    // The handler runs on the alternate stack; the backtrace is all recursion.
    {"stack-overflow", SIGSEGV, "CrashChild-", true, false, nullptr},
    {"second-thread", SIGSEGV, "CrashChild-", true, true, "crasher"},
    {"two-threads", SIGSEGV, "CrashChild-", true, true, nullptr},
    // Before InitDumpHandler dumps are named after the program and nobody is called.
    {"unregistered", SIGSEGV, "trevalo_crash_child-", false, true, nullptr},
    // The process ends by the original signal although the callback never returns...
    {"hanging-callback", SIGABRT, "CrashChild-", true, true, nullptr},
    // ...or faults itself.
    {"faulting-callback", SIGABRT, "CrashChild-", true, true, nullptr},
    // Secondary threads have no alternate stack: the process must still end
    // by the signal, with or without a dump.
    {"second-thread-stack-overflow", SIGSEGV, nullptr, false, false, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, CrashReporterTest, ::testing::ValuesIn(kCrashCases),
                         [](const ::testing::TestParamInfo<CrashCase>& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 if (c == '-') c = '_';
                             }
                             return name;
                         });

using CrashReporterDetailsTest = CrashReporterTest;

TEST_F(CrashReporterDetailsTest, FaultAddressIsTheAccessedAddress) {
    const int status = Crash("protected-page", DataHomeEnvironment());
    ASSERT_TRUE(WIFSIGNALED(status)) << DescribeStatus(status);
    const std::string address = ReadFile(MarkerPath() + ".address");
    ASSERT_FALSE(address.empty());
    const std::vector<fs::path> dumps = Dumps(DataHome() + "/VelmoraData/crashes");
    ASSERT_EQ(dumps.size(), 1u);
    const std::string dump = ReadFile(dumps[0]);
    EXPECT_NE(dump.find("\ncode: 2 SEGV_ACCERR\n"), std::string::npos) << dump.substr(0, 400);
    EXPECT_NE(dump.find("\nfault address: " + address + "\n"), std::string::npos) << address << "\n"
                                                                                  << dump.substr(0, 400);
}

// A relative XDG_DATA_HOME is ignored in favour of ~/.local/share.
TEST_F(CrashReporterDetailsTest, RelativeDataHomeFallsBackToHome) {
    const std::string home = temp_.path() + "/home";
    const int status = Crash("null-write", {{"XDG_DATA_HOME", "relative/data"}, {"HOME", home}});
    ASSERT_TRUE(WIFSIGNALED(status)) << DescribeStatus(status);
    EXPECT_EQ(Dumps(home + "/.local/share/VelmoraData/crashes").size(), 1u);
    EXPECT_FALSE(fs::exists(temp_.path() + "/relative"));
}

// Without a place for the dump the process still dies by its signal and the
// callback is not called with a path that does not exist.
TEST_F(CrashReporterDetailsTest, UnwritableDataRootStillDiesBySignal) {
    const std::string blocker = temp_.path() + "/file";
    std::ofstream(blocker) << "not a directory";
    const int status = Crash("abort", {{"XDG_DATA_HOME", blocker}, {"HOME", temp_.path() + "/home"}});
    ASSERT_TRUE(WIFSIGNALED(status)) << DescribeStatus(status);
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
    EXPECT_FALSE(fs::exists(MarkerPath()));
}

}  // namespace

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

mode_t ModeOf(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Lines the log still had queued when the fault came reach its file: the
// writer was stalled on the first one, so only the crash flush can write them.
TEST_F(CrashReporterDetailsTest, QueuedLogLinesSurviveTheCrash) {
    constexpr int kLines = 1000;
    ChildProcess child;
    ASSERT_TRUE(child.Start(TREVALO_LOG_CRASH_CHILD, {std::to_string(kLines)},
                            MakeEnvironment(DataHomeEnvironment()), temp_.path()));
    int status = 0;
    ASSERT_TRUE(child.WaitForExit(kChildDeadline, &status));
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << DescribeStatus(status);

    const fs::path logs = DataHome() + "/VelmoraData/logs";
    const std::vector<fs::path> files = Dumps(logs);
    ASSERT_EQ(files.size(), 1u);
    std::vector<int> numbers;
    for (const std::string& line : Lines(ReadFile(files[0]))) {
        const size_t at = line.find("[info]line ");
        if (at != std::string::npos) numbers.push_back(std::stoi(line.substr(at + 11)));
    }
    ASSERT_EQ(numbers.size(), static_cast<size_t>(kLines));
    for (int i = 0; i < kLines; ++i) ASSERT_EQ(numbers[i], i + 1);

    // What both directories hold is for the user only.
    const fs::path crashes = DataHome() + "/VelmoraData/crashes";
    EXPECT_EQ(ModeOf(logs), 0700u);
    EXPECT_EQ(ModeOf(files[0]), 0600u);
    EXPECT_EQ(ModeOf(crashes), 0700u);
    const std::vector<fs::path> dumps = Dumps(crashes);
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(ModeOf(dumps[0]), 0600u);
}

// Directories an older version created wider are narrowed at the next start.
TEST_F(CrashReporterDetailsTest, WideCrashDirectoryIsNarrowed) {
    const fs::path crashes = DataHome() + "/VelmoraData/crashes";
    fs::create_directories(crashes);
    ::chmod(crashes.c_str(), 0755);
    const int status = Crash("null-write", DataHomeEnvironment());
    ASSERT_TRUE(WIFSIGNALED(status)) << DescribeStatus(status);
    EXPECT_EQ(ModeOf(crashes), 0700u);
    EXPECT_EQ(Dumps(crashes).size(), 1u);
}

}  // namespace
