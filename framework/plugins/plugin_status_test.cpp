// The plugin table, safe mode, the crash check and the configuration
// listing, through the exported functions, with a host that really dies.
#include "Application/PluginStatus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Application/InnerPlugin.h"
#include "framework/plugins/plugin_crash_record.h"
#include "framework/plugins/plugin_test_app.h"

namespace Application {
namespace {

namespace fs = std::filesystem;
using plugin_test::LogLine;
using plugin_test::RecordingLog;

// Set in a forked child only: that child's host dies in the plugin's Init.
bool g_kill_host_in_init = false;

class ProbePlugin final : public IPlugin {
public:
    ProbePlugin(std::string name, bool init_result) : name_(std::move(name)), init_result_(init_result) {}
    bool Init() override {
        if (g_kill_host_in_init && name_ == "KillsHost") ::kill(::getpid(), SIGKILL);
        return init_result_;
    }
    void Free() override {}
    const char* GetName() override { return name_.c_str(); }
    void Invoke(int32_t, const char*, int32_t, InvokeCallback) override {}

private:
    std::string name_;
    bool init_result_;
};

class ProbeCreator final : public InnerPluginTypeCreator {
public:
    ProbeCreator(std::string name, bool init_result) : name_(std::move(name)), init_result_(init_result) {}
    IPlugin* Create() override { return MakeWithLibraryAllocator<ProbePlugin>(name_, init_result_); }

private:
    std::string name_;
    bool init_result_;
};

std::string& DataDir() {
    static std::string dir;
    return dir;
}

// The plugin test application with a data root of its own, for the crash record.
class TempDataAppPath : public test_components::EmptyAppPath<> {
public:
    const char* GetDataDir() override { return DataDir().c_str(); }
};

using StatusTestApp =
    ApplicationImpl<1, plugin_test::TestNotifier, TempDataAppPath, plugin_test::TestTasks, plugin_test::InertTimeMgr,
                    RecordingLog, plugin_test::InertIPCMgr, plugin_test::InertUISkin, plugin_test::InertTranslate,
                    plugin_test::InertData, ApplicationUtilImpl, PluginMgr>;

std::vector<LogLine> LinesAt(int level) {
    std::vector<LogLine> out;
    for (const LogLine& line : RecordingLog::Take())
        if (line.level == level) out.push_back(line);
    return out;
}

int CountLines(const std::vector<LogLine>& lines, const std::string& text) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& l) { return l.text == text; }));
}

std::string SkipLine(const std::string& name) {
    return "plugin '" + name +
           "' skipped: the host crashed while starting it last time; start with --retry-plugins or replace its file "
           "to try again";
}

class PluginStatusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        RegisterInnerPluginType(MakeWithLibraryAllocator<ProbeCreator>("Steady", true), "Probe.Steady");
        RegisterInnerPluginType(MakeWithLibraryAllocator<ProbeCreator>("FailsInit", false), "Probe.FailsInit");
        RegisterInnerPluginType(MakeWithLibraryAllocator<ProbeCreator>("KillsHost", true), "Probe.KillsHost");
    }
    void SetUp() override {
        std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(test.begin(), test.end(), '/', '_');
        dir_ = fs::temp_directory_path() / ("plugin_status_test_" + std::to_string(getpid()) + "_" + test);
        fs::remove_all(dir_);
        // The data root the application reports is the one the user's
        // environment gives without an application, as in the host.
        fs::create_directories(dir_ / "VelmoraData");
        setenv("XDG_DATA_HOME", dir_.c_str(), 1);
        DataDir() = (dir_ / "VelmoraData").string();
        path_ = (dir_ / "config.json").string();
        SetPluginStartOptions({});
        RecordingLog::Take();
    }
    void TearDown() override {
        DestroyApplicationObject();
        SetPluginStartOptions({});
        unsetenv("RECORDING_PLUGIN_KILL_HOST_IN_INIT");
        fs::remove_all(dir_);
    }

    void WriteConfig(const std::string& plugins) { std::ofstream(path_, std::ios::binary) << "{\"plugins\":" << plugins << "}"; }

    void Start(const PluginStartOptions& options = {}) {
        DestroyApplicationObject();
        SetPluginStartOptions(options);
        std::string program = "plugin_status_test";
        std::string option = "-plugin_config=" + path_;
        char* argv[] = {program.data(), option.data()};
        ASSERT_TRUE(MakeApplication<StatusTestApp>(2, argv, [](InterfaceBase*) { return true; }, [](bool) {},
                                                   "MakeNomalApplication"));
    }

    // Starts the host in a child process that dies while starting a plugin;
    // prepare runs in the child first, then the start, then after_start.
    void StartAndDieInChild(const std::function<void()>& prepare, const std::function<void()>& after_start = {}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            prepare();
            std::string program = "plugin_status_test";
            std::string option = "-plugin_config=" + path_;
            char* argv[] = {program.data(), option.data()};
            MakeApplication<StatusTestApp>(2, argv, [](InterfaceBase*) { return true; }, [](bool) {},
                                           "MakeNomalApplication");
            if (after_start) after_start();
            _exit(3);  // the plugin did not kill us
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child host did not die in Init";
    }

    static PluginStatus Row(const std::string& name) {
        for (const PluginStatus& row : GetPluginStatus())
            if (row.name == name) return row;
        ADD_FAILURE() << "no row " << name;
        return {};
    }

    fs::path dir_;
    std::string path_;
};

TEST(PluginStateNameTest, EveryStateHasItsWord) {
    const std::pair<PluginState, const char*> names[] = {
        {PluginState::kCreated, "created"},       {PluginState::kStarted, "started"},
        {PluginState::kFailed, "failed"},         {PluginState::kSkipped, "skipped"},
        {PluginState::kStarting, "starting"},     {PluginState::kConnected, "connected"},
        {PluginState::kRestarting, "restarting"}, {PluginState::kNotResponding, "not responding"},
        {PluginState::kStopped, "stopped"},
    };
    for (const auto& [state, name] : names) EXPECT_STREQ(PluginStateName(state), name);
    EXPECT_STREQ(PluginStateName(static_cast<PluginState>(99)), "unknown");
}

struct ExpectedRow {
    std::string name;
    int32_t type;
    PluginState state;
    std::string reason_part;
};

TEST_F(PluginStatusTest, EveryEntryHasARowInConfigurationOrder) {
    WriteConfig(R"([{"type":1,"name":"Probe.Steady"}, {"type":1,"name":"Probe.FailsInit"}, {"type":9,"name":"Nine"},
                    "text", {"type":1,"name":"Probe.Nobody"}, {"type":2,"name":"Gone","file":"/nonexistent/lib.so"}])");
    EXPECT_TRUE(GetPluginStatus().empty()) << "a table without an application";
    Start();
    const std::vector<ExpectedRow> expected = {
        {"Probe.Steady", kPluginInner, PluginState::kStarted, ""},
        {"Probe.FailsInit", kPluginInner, PluginState::kFailed, "Init failed"},
        {"Nine", 9, PluginState::kFailed, "unknown plugin type 9"},
        {"", 0, PluginState::kFailed, "not an object"},
        {"Probe.Nobody", kPluginInner, PluginState::kFailed, "no built-in plugin type of that name"},
        {"Gone", kPluginDll, PluginState::kFailed, "cannot load"},
    };
    const auto rows = GetPluginStatus();
    ASSERT_EQ(rows.size(), expected.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(rows[i].name, expected[i].name);
        EXPECT_EQ(rows[i].type, expected[i].type);
        EXPECT_EQ(rows[i].state, expected[i].state) << PluginStateName(rows[i].state);
        if (expected[i].reason_part.empty())
            EXPECT_TRUE(rows[i].reason.empty()) << rows[i].reason;
        else
            EXPECT_NE(rows[i].reason.find(expected[i].reason_part), std::string::npos) << rows[i].reason;
        EXPECT_EQ(rows[i].pid, 0);
        EXPECT_EQ(rows[i].starts, 0u);
        EXPECT_FALSE(rows[i].has_last_end);
        EXPECT_EQ(rows[i].cpu_percent, -1);
        EXPECT_EQ(rows[i].last_call_rtt_us, -1);
    }
    std::string error;
    EXPECT_FALSE(RestartProcessPlugin("Probe.Steady", &error));
    EXPECT_NE(error.find("not a running process plugin"), std::string::npos) << error;
    EXPECT_FALSE(RestartProcessPlugin("Absent", &error));
    EXPECT_NE(error.find("no plugin named 'Absent'"), std::string::npos) << error;
    DestroyApplicationObject();
    EXPECT_TRUE(GetPluginStatus().empty());
}

TEST_F(PluginStatusTest, SafeModeStartsBuiltInPluginsOnly) {
    WriteConfig(R"([{"type":1,"name":"Probe.Steady"}, {"type":2,"name":"Lib","file":")" RECORDING_PLUGIN_PATH R"("},
                    {"type":3,"name":"Proc","plugin_process":"plugins/SampleProcess","ensure_process":true}])");
    Start({.safe_mode = true});
    EXPECT_EQ(Row("Probe.Steady").state, PluginState::kStarted);
    for (const char* name : {"Lib", "Proc"}) {
        EXPECT_EQ(Row(name).state, PluginState::kSkipped) << name;
        EXPECT_EQ(Row(name).reason, "safe mode") << name;
        EXPECT_EQ(App()->GetPluginMgr()->GetPlugin(name), nullptr) << name;
    }
    EXPECT_EQ(CountLines(LinesAt(kLogWarning),
                         "PluginMgr: safe mode: 2 library and process plugin(s) skipped, built-in plugins only"),
              1);
    // The next start without it loads the library again (this application
    // has no worker threads to serve a process plugin).
    WriteConfig(R"([{"type":1,"name":"Probe.Steady"}, {"type":2,"name":"Lib","file":")" RECORDING_PLUGIN_PATH R"("}])");
    Start();
    EXPECT_EQ(Row("Lib").state, PluginState::kStarted);
    EXPECT_TRUE(LinesAt(kLogWarning).empty());
}

TEST_F(PluginStatusTest, ABuiltInPluginThatKilledTheHostIsHeldBackUntilARetry) {
    WriteConfig(R"([{"type":1,"name":"Probe.Steady"}, {"type":1,"name":"Probe.KillsHost"}])");
    StartAndDieInChild([] { g_kill_host_in_init = true; });
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        Start();
        EXPECT_EQ(Row("Probe.KillsHost").state, PluginState::kSkipped);
        EXPECT_EQ(Row("Probe.KillsHost").reason, "the host crashed while starting it last time");
        EXPECT_EQ(App()->GetPluginMgr()->GetPlugin("KillsHost"), nullptr);
        EXPECT_EQ(Row("Probe.Steady").state, PluginState::kStarted);
        EXPECT_EQ(CountLines(LinesAt(kLogError), SkipLine("Probe.KillsHost")), 1);
    }
    Start({.retry_crashed = true});
    EXPECT_EQ(Row("Probe.KillsHost").state, PluginState::kStarted);
    EXPECT_TRUE(LinesAt(kLogError).empty());
    // Started well once: no longer held.
    Start();
    EXPECT_EQ(Row("Probe.KillsHost").state, PluginState::kStarted);

    // Again, and this time forgotten through the exported call: while a
    // host runs (for its next start), and without one.
    for (bool running : {true, false}) {
        SCOPED_TRACE(running ? "while running" : "without an application");
        DestroyApplicationObject();
        StartAndDieInChild([] { g_kill_host_in_init = true; });
        if (running) {
            Start();
            RecordingLog::Take();
        }
        std::string error;
        EXPECT_TRUE(ClearPluginCrashRecord(&error)) << error;
        Start();
        EXPECT_EQ(Row("Probe.KillsHost").state, PluginState::kStarted);
        EXPECT_TRUE(LinesAt(kLogError).empty());
    }
}

enum class FileChange { kNone, kModificationTime, kSize };

struct LibraryCrashCase {
    const char* label;
    FileChange change;
    bool retry;
    bool tried_again;
};

void PrintTo(const LibraryCrashCase& c, std::ostream* out) { *out << c.label; }

class LibraryCrashTest : public PluginStatusTest, public ::testing::WithParamInterface<LibraryCrashCase> {};

TEST_P(LibraryCrashTest, HeldBackUntilItsFileChangesOrARetry) {
    const LibraryCrashCase& c = GetParam();
    const fs::path library = dir_ / "crashy_plugin.so";
    fs::copy_file(RECORDING_PLUGIN_PATH, library);
    WriteConfig(R"([{"type":2,"name":"Crashy","file":")" + library.string() +
                R"("}, {"type":1,"name":"Probe.Steady"}])");
    StartAndDieInChild([] { setenv("RECORDING_PLUGIN_KILL_HOST_IN_INIT", "1", 1); });
    Start();
    EXPECT_EQ(Row("Crashy").state, PluginState::kSkipped);
    EXPECT_EQ(CountLines(LinesAt(kLogError), SkipLine("Crashy")), 1);
    EXPECT_EQ(Row("Probe.Steady").state, PluginState::kStarted);

    struct stat before {};
    ASSERT_EQ(stat(library.c_str(), &before), 0);
    if (c.change == FileChange::kModificationTime) {
        const timespec times[2] = {before.st_atim, {before.st_mtim.tv_sec + 5, before.st_mtim.tv_nsec}};
        ASSERT_EQ(utimensat(AT_FDCWD, library.c_str(), times, 0), 0);
    } else if (c.change == FileChange::kSize) {
        // A byte after the last section: still loadable; the time is put back.
        std::ofstream(library, std::ios::binary | std::ios::app) << '\0';
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, library.c_str(), times, 0), 0);
    }
    Start({.retry_crashed = c.retry});
    EXPECT_EQ(Row("Crashy").state, c.tried_again ? PluginState::kStarted : PluginState::kSkipped)
        << PluginStateName(Row("Crashy").state);
    const auto errors = LinesAt(kLogError);
    EXPECT_EQ(CountLines(errors, SkipLine("Crashy")), c.tried_again ? 0 : 1);
    // Once started well it stays in, whatever the next start asks.
    if (c.tried_again) {
        Start();
        EXPECT_EQ(Row("Crashy").state, PluginState::kStarted);
    }
}

INSTANTIATE_TEST_SUITE_P(Changes, LibraryCrashTest,
                         ::testing::Values(LibraryCrashCase{"Unchanged", FileChange::kNone, false, false},
                                           LibraryCrashCase{"NewModificationTime", FileChange::kModificationTime, false,
                                                            true},
                                           LibraryCrashCase{"NewSize", FileChange::kSize, false, true},
                                           LibraryCrashCase{"RetryRequested", FileChange::kNone, true, true}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(PluginStatusTest, ALibraryLoadedOnItsFirstCallIsWatchedToo) {
    const fs::path library = dir_ / "late_plugin.so";
    fs::copy_file(RECORDING_PLUGIN_PATH, library);
    WriteConfig(R"([{"type":2,"name":"Late","load_delay":true,"file":")" + library.string() +
                R"("}, {"type":1,"name":"Probe.Steady"}])");
    StartAndDieInChild([] { setenv("RECORDING_PLUGIN_KILL_HOST_IN_INIT", "1", 1); },
                       [] { App()->GetPluginMgr()->GetPlugin("Late")->Invoke(1, "x", 1, nullptr); });
    Start();
    EXPECT_EQ(Row("Late").state, PluginState::kSkipped);
    EXPECT_EQ(CountLines(LinesAt(kLogError), SkipLine("Late")), 1);
    EXPECT_EQ(Row("Probe.Steady").state, PluginState::kStarted);

    // Retried, loaded on its call without dying: the next start keeps it.
    Start({.retry_crashed = true});
    EXPECT_EQ(Row("Late").state, PluginState::kCreated);
    App()->GetPluginMgr()->GetPlugin("Late")->Invoke(1, "x", 1, nullptr);
    EXPECT_EQ(Row("Late").state, PluginState::kStarted);
    Start();
    EXPECT_EQ(Row("Late").state, PluginState::kCreated);
    EXPECT_TRUE(LinesAt(kLogError).empty());
}

TEST(PluginCrashRecordTest, EntriesSurviveTheFileAndTornOrForeignLinesAreDropped) {
    using Entry = PluginCrashRecord::Entry;
    const std::vector<Entry> held = {
        {"Plain", "/opt/plugins/plain.so", {1234, 1700000000123456789}},
        {"with space\tand tab", "/odd path/100%/x\n.so", {0, 0}},
        {"BuiltIn", "", {-1, -1}},
    };
    const std::vector<Entry> starting = {{"Next one", "/p/next.so", {7, 8}}};
    const std::string text = PluginCrashRecord::Encode(held, starting);
    std::vector<Entry> read_held, read_starting;
    PluginCrashRecord::Decode(text, &read_held, &read_starting);
    ASSERT_EQ(read_held.size(), held.size());
    for (size_t i = 0; i < held.size(); ++i) {
        EXPECT_EQ(read_held[i].name, held[i].name);
        EXPECT_EQ(read_held[i].file, held[i].file);
        EXPECT_TRUE(read_held[i].stamp == held[i].stamp);
    }
    ASSERT_EQ(read_starting.size(), 1u);
    EXPECT_EQ(read_starting[0].name, "Next one");

    const struct {
        const char* label;
        std::string text;
        size_t held;
    } damaged[] = {
        {"cut inside the last line", text.substr(0, text.size() - 3), 3},
        {"foreign header", "some other file\n" + text.substr(text.find('\n') + 1), 0},
        {"bad escape", "velmora plugin crash record 1\nheld 1 2 =a%G1 =\nheld 1 2 =ok =\n", 1},
        {"missing field", "velmora plugin crash record 1\nheld 1 2 =a\n", 0},
        {"extra field", "velmora plugin crash record 1\nheld 1 2 =a = =\n", 0},
        {"number with text", "velmora plugin crash record 1\nheld 1x 2 =a =\n", 0},
        {"field without marker", "velmora plugin crash record 1\nheld 1 2 a =\n", 0},
        {"empty", "", 0},
    };
    for (const auto& c : damaged) {
        read_held.clear();
        read_starting.clear();
        PluginCrashRecord::Decode(c.text, &read_held, &read_starting);
        EXPECT_EQ(read_held.size(), c.held) << c.label;
        EXPECT_TRUE(read_starting.empty() || std::string(c.label) == "cut inside the last line") << c.label;
    }
}

TEST(PluginCrashRecordTest, AStartInProgressBecomesHeldAndFinishKeepsOnlyTheHeld) {
    const fs::path dir = fs::temp_directory_path() / ("plugin_crash_record_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "record").string();
    {
        PluginCrashRecord record(path);
        EXPECT_EQ(record.Load(), "");
        record.Begin("A", "");
        record.Begin("B", "");
        // Dies here: nothing else runs.
    }
    {
        PluginCrashRecord record(path);
        EXPECT_EQ(record.Load(), "B");
        ASSERT_NE(record.Held("B"), nullptr);
        EXPECT_EQ(record.Held("A"), nullptr);
        record.Begin("C", "");
        record.Finish();
    }
    {
        PluginCrashRecord record(path);
        EXPECT_EQ(record.Load(), "") << "C's start ended well";
        EXPECT_NE(record.Held("B"), nullptr) << "held across starts";
        EXPECT_EQ(record.Held("C"), nullptr);
    }
    std::string error;
    EXPECT_TRUE(PluginCrashRecord::ClearHeld(path, &error)) << error;
    PluginCrashRecord record(path);
    record.Load();
    EXPECT_TRUE(record.held().empty());
    EXPECT_FALSE(PluginCrashRecord::ClearHeld((dir / "no_dir" / "record").string(), &error) && false);
    fs::remove_all(dir);
}

// Listing a configuration without loading anything.
struct ListedRow {
    std::string name;
    int32_t type;
    bool usable;
    std::string problem_part;  // empty: no problem
};

TEST_F(PluginStatusTest, ListingAConfigurationResolvesFilesAndNamesEachProblem) {
    const fs::path exe_dir = fs::canonical("/proc/self/exe").parent_path();
    const fs::path tool = dir_ / "tool";
    const fs::path not_tool = dir_ / "not_tool";
    std::ofstream(tool) << "#!/bin/sh\n";
    std::ofstream(not_tool) << "#!/bin/sh\n";
    fs::permissions(tool, fs::perms::owner_all);
    fs::permissions(not_tool, fs::perms::owner_read | fs::perms::owner_write);
    // Process plugins are found beside the executable, as the host finds them.
    const std::string tool_relative = fs::relative(tool, exe_dir).string();
    const std::string not_tool_relative = fs::relative(not_tool, exe_dir).string();
    WriteConfig(R"([{"type":1,"name":"Probe.Steady"},
                    {"type":2,"name":"Lib","file":")" RECORDING_PLUGIN_PATH R"("},
                    {"type":2,"name":"Missing","file":")" + (dir_ / "missing").string() + R"("},
                    {"type":2,"name":"NoFile"},
                    {"type":3,"name":"Tool","plugin_process":")" + tool_relative + R"("},
                    {"type":3,"name":"NotTool","plugin_process":")" + not_tool_relative + R"("},
                    {"type":3,"name":"NoProcess"},
                    {"type":7,"name":"Seven"},
                    {"type":1},
                    42,
                    {"type":2,"name":"Twice","file":")" RECORDING_PLUGIN_PATH R"("},
                    {"type":2,"name":"Twice","file":")" RECORDING_PLUGIN_PATH R"("}])");
    std::vector<ConfiguredPlugin> rows;
    std::vector<std::string> errors;
    ASSERT_TRUE(ListConfiguredPlugins(path_.c_str(), &rows, &errors));
    EXPECT_TRUE(errors.empty());
    const std::vector<ListedRow> expected = {
        {"Probe.Steady", kPluginInner, true, ""},
        {"Lib", kPluginDll, true, ""},
        {"Missing", kPluginDll, false, "file not found: "},
        {"NoFile", kPluginDll, false, "no \"file\""},
        {"Tool", kPluginExe, true, ""},
        {"NotTool", kPluginExe, false, "not executable"},
        {"NoProcess", kPluginExe, false, "no \"plugin_process\""},
        {"Seven", 7, false, "unknown plugin type 7"},
        {"", kPluginInner, true, "no \"name\""},
        {"", 0, false, "not an object"},
        {"Twice", kPluginDll, true, "plugins[11] has the same name"},
        {"Twice", kPluginDll, true, ""},
    };
    ASSERT_EQ(rows.size(), expected.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("plugins[" + std::to_string(i) + "] " + expected[i].name);
        EXPECT_EQ(rows[i].index, i);
        EXPECT_EQ(rows[i].name, expected[i].name);
        EXPECT_EQ(rows[i].type, expected[i].type);
        EXPECT_EQ(rows[i].file_usable, expected[i].usable);
        if (expected[i].problem_part.empty())
            EXPECT_TRUE(rows[i].problem.empty()) << rows[i].problem;
        else
            EXPECT_NE(rows[i].problem.find(expected[i].problem_part), std::string::npos) << rows[i].problem;
    }
    EXPECT_EQ(rows[1].file, RECORDING_PLUGIN_PATH);
    // Not where it was named: looked for beside the executable, as the loader does.
    EXPECT_EQ(rows[2].file, (exe_dir / fs::path(dir_ / "missing.so").relative_path()).string());
    EXPECT_EQ(fs::path(rows[4].file).lexically_normal(), tool);
    EXPECT_TRUE(rows[0].file.empty());
    EXPECT_TRUE(GetPluginStatus().empty()) << "listing started nothing";
}

struct BrokenConfigCase {
    const char* label;
    const char* text;  // null: no file
    bool parsed;
    const char* error_part;
};

void PrintTo(const BrokenConfigCase& c, std::ostream* out) { *out << c.label; }

class ListBrokenConfigTest : public PluginStatusTest, public ::testing::WithParamInterface<BrokenConfigCase> {};

TEST_P(ListBrokenConfigTest, SaysWhyAndWhetherItParsed) {
    const BrokenConfigCase& c = GetParam();
    if (c.text) std::ofstream(path_, std::ios::binary) << c.text;
    std::vector<ConfiguredPlugin> rows(3);
    std::vector<std::string> errors;
    EXPECT_EQ(ListConfiguredPlugins(path_.c_str(), &rows, &errors), c.parsed);
    EXPECT_TRUE(rows.empty());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(path_ + ": ", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find(c.error_part), std::string::npos) << errors[0];
}

INSTANTIATE_TEST_SUITE_P(
    Configs, ListBrokenConfigTest,
    ::testing::Values(BrokenConfigCase{"NoFile", nullptr, false, "cannot read the file: No such file"},
                      BrokenConfigCase{"NotJson", R"({"plugins":[{"type":1,}]})", false, "not valid JSON"},
                      BrokenConfigCase{"TopLevelArray", "[]", false, "the top level is not an object"},
                      BrokenConfigCase{"PluginsNotAnArray", R"({"plugins":{}})", true, "\"plugins\" is not an array"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace Application
