// Saving an INI file while being killed, or while another process saves the
// same file: what is on disk is always one whole save, never a mix or a stub.

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Tools/config.h"
#include "tools/os_test_util.h"

namespace {

using namespace Tools;

constexpr int kSections = 4;
constexpr int kKeys = 60;

// A long soak by hand; a shorter one in CI.
int Rounds(int full, int in_ci) { return std::getenv("CI") ? in_ci : full; }

// The values of save number n by writer w: every value names both, so any
// mix of two saves breaks the comparison with the exact text.
std::string Value(int w, int n, int s, int k) {
    return "writer " + std::to_string(w) + " save " + std::to_string(n) + " at " + std::to_string(s) + "." +
           std::to_string(k) + " " + std::string(40, static_cast<char>('a' + (n + k) % 26));
}

void Fill(config_data* config, int w, int n) {
    for (int s = 0; s < kSections; ++s)
        for (int k = 0; k < kKeys; ++k)
            config_set_string(config, ("S" + std::to_string(s)).c_str(), ("k" + std::to_string(k)).c_str(),
                              Value(w, n, s, k).c_str());
}

// The exact bytes a save of (w, n) writes.
std::string ExpectedText(int w, int n) {
    std::string text = "\xEF\xBB\xBF";
    for (int s = 0; s < kSections; ++s) {
        if (s) text += "\r\n";
        text += "[S" + std::to_string(s) + "]\r\n";
        for (int k = 0; k < kKeys; ++k) text += "k" + std::to_string(k) + "=" + Value(w, n, s, k) + "\r\n";
    }
    return text;
}

// Whole when the text is exactly some save: its writer and number are read
// from the first value.
::testing::AssertionResult IsWholeSave(const std::string& text) {
    int w = -1, n = -1;
    const size_t at = text.find("k0=writer ");
    if (at == std::string::npos || std::sscanf(text.c_str() + at, "k0=writer %d save %d", &w, &n) != 2)
        return ::testing::AssertionFailure() << "not a save: " << text.size() << " bytes: " << text.substr(0, 80);
    if (text != ExpectedText(w, n))
        return ::testing::AssertionFailure() << "save " << n << " of writer " << w << " is torn (" << text.size()
                                             << " bytes)";
    return ::testing::AssertionSuccess();
}

[[noreturn]] void SaveForever(const std::string& path, int writer) {
    config_data* config = nullptr;
    config_open(&config, path.c_str(), CONFIG_OPEN_ALWAYS);
    for (int n = 1;; ++n) {
        Fill(config, writer, n);
        if (config_save(config) != 0) ::_exit(2);
    }
}

[[noreturn]] void SaveTimes(const std::string& path, int writer, int times) {
    config_data* config = nullptr;
    config_open(&config, path.c_str(), CONFIG_OPEN_ALWAYS);
    for (int n = 1; n <= times; ++n) {
        Fill(config, writer, n);
        if (config_save(config) != 0) ::_exit(2);
    }
    config_close(config);
    ::_exit(0);
}

std::vector<std::string> Entries(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename());
    return names;
}

void WriteFirstSave(const std::string& path) {
    config_data* config = nullptr;
    config_open(&config, path.c_str(), CONFIG_OPEN_ALWAYS);
    Fill(config, 0, 0);
    ASSERT_EQ(config_save(config), 0);
    config_close(config);
}

TEST(ConfigReplaceTest, WriterKilledAtRandomPointsLeavesAWholeFile) {
    Tools::testing::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string path = dir / "main_config.ini";
    WriteFirstSave(path);
    std::mt19937 random(20240611);
    const int rounds = Rounds(500, 100);
    for (int round = 0; round < rounds; ++round) {
        const pid_t child = ::fork();
        ASSERT_NE(child, -1);
        if (child == 0) SaveForever(path, 1);
        // From before its first save to a few saves in.
        const timespec pause{0, static_cast<long>(random() % 15000) * 1000};
        ::nanosleep(&pause, nullptr);
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed on its own, status " << status;
        ASSERT_TRUE(IsWholeSave(Tools::testing::ReadText(path))) << "after round " << round;
    }
    // The next save clears what killed writers left behind.
    WriteFirstSave(path);
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"main_config.ini"});
}

TEST(ConfigReplaceTest, TwoProcessesSavingTheSameFileNeverTearIt) {
    Tools::testing::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string path = dir / "main_config.ini";
    WriteFirstSave(path);
    const int saves = Rounds(1000, 200);
    pid_t writers[2];
    for (int w = 0; w < 2; ++w) {
        writers[w] = ::fork();
        ASSERT_NE(writers[w], -1);
        if (writers[w] == 0) SaveTimes(path, w + 1, saves);
    }
    // Reads while they write: every read finds one writer's whole save.
    int reads = 0;
    int running = 2;
    int statuses[2] = {};
    bool done[2] = {};
    while (running > 0) {
        ASSERT_TRUE(IsWholeSave(Tools::testing::ReadText(path))) << "read " << reads;
        ++reads;
        for (int w = 0; w < 2; ++w)
            if (!done[w] && ::waitpid(writers[w], &statuses[w], WNOHANG) == writers[w]) {
                done[w] = true;
                --running;
            }
    }
    for (int w = 0; w < 2; ++w)
        EXPECT_TRUE(WIFEXITED(statuses[w]) && WEXITSTATUS(statuses[w]) == 0) << "writer " << w + 1;
    const std::string last = Tools::testing::ReadText(path);
    ASSERT_TRUE(IsWholeSave(last));
    EXPECT_TRUE(last == ExpectedText(1, saves) || last == ExpectedText(2, saves)) << "the last save won";
    // Nobody was killed, so no temporary file stays behind.
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"main_config.ini"});
}

// Threads of one process with handles of their own, saving safely with a
// backup: the file and the backup are always whole.
TEST(ConfigReplaceTest, ThreadsSavingSafelyNeverTearFileOrBackup) {
    Tools::testing::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string path = dir / "recorderConfig.ini";
    WriteFirstSave(path);
    const int saves = Rounds(200, 50);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int w = 1; w <= 3; ++w)
        threads.emplace_back([&, w] {
            config_data* config = nullptr;
            config_open(&config, path.c_str(), CONFIG_OPEN_EXISTING);
            for (int n = 1; n <= saves; ++n) {
                Fill(config, w, n);
                if (config_save_safe(config, "tmp", "bak") != 0) ++failures;
            }
            config_close(config);
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(IsWholeSave(Tools::testing::ReadText(path)));
    EXPECT_TRUE(IsWholeSave(Tools::testing::ReadText(path + ".bak")));
}

}  // namespace
