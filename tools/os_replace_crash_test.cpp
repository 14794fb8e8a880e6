// A writer killed at any moment while replacing a file must leave the old or
// the new file complete, never a mix, a stub or nothing.

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "Tools/os.h"
#include "tools/os_test_util.h"

namespace {

using namespace Tools;

constexpr int kReplacements = 500;
constexpr size_t kBodySize = 32 * 1024;

// Version n: a header line naming n, a body of one letter chosen by n, and a
// trailer naming n again. Any mix of two versions breaks one of the checks.
std::string Version(int n) {
    std::string text = "version " + std::to_string(n) + "\n";
    text.append(kBodySize, static_cast<char>('a' + n % 26));
    text += "\nend " + std::to_string(n) + "\n";
    return text;
}

bool IsCompleteVersion(const std::string& text, int* version) {
    int n = -1;
    if (std::sscanf(text.c_str(), "version %d\n", &n) != 1 || n < 0) return false;
    *version = n;
    return text == Version(n);
}

[[noreturn]] void WriterLoop(const std::string& target, bool with_backup) {
    for (int n = 1; n <= kReplacements; ++n) {
        const std::string text = Version(n);
        if (!os_quick_write_utf8_file_safe(target.c_str(), text.data(), text.size(), false, "tmp",
                                           with_backup ? "bak" : nullptr))
            ::_exit(2);
    }
    ::_exit(0);
}

class SafeReplaceCrashTest : public ::testing::TestWithParam<bool> {};

TEST_P(SafeReplaceCrashTest, KilledWriterLeavesOldOrNewFile) {
    Tools::testing::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string target = dir / "state.ini";
    Tools::testing::WriteText(target, Version(0));

    std::mt19937 random(12345 + GetParam());
    const auto stop_at = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int rounds = 0;
    while (std::chrono::steady_clock::now() < stop_at || rounds < 5) {
        ++rounds;
        const pid_t child = ::fork();
        ASSERT_NE(child, -1);
        if (child == 0) WriterLoop(target, GetParam());
        // Kill it somewhere in its loop, from almost at once to a good part in.
        const long delay_us = static_cast<long>(random() % 40000);
        timespec pause{0, delay_us * 1000};
        ::nanosleep(&pause, nullptr);
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << "writer failed on its own, status " << status;

        int version = -1;
        const std::string text = Tools::testing::ReadText(target);
        ASSERT_TRUE(IsCompleteVersion(text, &version))
            << "round " << rounds << ": torn or missing target of " << text.size() << " bytes";
        if (GetParam() && version > 1) {
            int backup_version = -1;
            EXPECT_TRUE(IsCompleteVersion(Tools::testing::ReadText(target + ".bak"), &backup_version));
        }
    }
    EXPECT_GE(rounds, 5);
}

INSTANTIATE_TEST_SUITE_P(Backup, SafeReplaceCrashTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "WithBackup" : "WithoutBackup"; });

}  // namespace
