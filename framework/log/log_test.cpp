#include "framework/log/log.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Tools/os.h"

namespace Application {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The log writes under the data root that XDG_DATA_HOME points at; no
// application object exists, so the log finds its directory itself.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("velmora_log_" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "VelmoraData" / "logs");
        setenv("XDG_DATA_HOME", root_.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path root_;
};

TEST_F(LogTest, LineFormatLevelsAndCallbacks) {
    Log log;
    log.SetLogDirectoryForTesting((root_ / "VelmoraData" / "logs").string());
    ASSERT_TRUE(log.Init());
    ASSERT_FALSE(log.FilePathForTesting().empty());
    EXPECT_TRUE(std::regex_match(fs::path(log.FilePathForTesting()).filename().string(),
                                 std::regex(R"(log_test_\d{8}_\d{6}_\d+\.log)")));

    std::mutex lock;
    std::vector<std::string> delivered;
    log.SetLevelCallback(300, [&](const char* message, const char* level) {
        std::lock_guard<std::mutex> guard(lock);
        delivered.push_back(std::string(level) + ":" + message);
    });
    log.SetLevelCallback(100, [&](const char*, const char*) {});
    log.SetLevelCallback(100, [&](const char* message, const char* level) {
        std::lock_guard<std::mutex> guard(lock);
        delivered.push_back(std::string("second ") + level + ":" + message);
    });
    std::vector<std::string> lines;
    log.SetGeneralCallback([&](const char* line) {
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back(line);
    });

    log.Write(300, "Application inited %s", "2.21.0.113");
    log.Write(400, "debug is dropped");
    log.Write(250, "unknown levels are dropped");
    log.Write(100, "bad %d", 7);
    log.Write(200, "%s", "careful");
    log.Free();  // drains what is queued

    const std::string text = ReadAll(log.FilePathForTesting());
    const std::regex line(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\]\[\d+\]\[(info|error|warning)\][^\n]*\n)");
    std::vector<std::string> file_lines;
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) file_lines.push_back(it->str());
    ASSERT_EQ(file_lines.size(), 3u) << text;
    EXPECT_NE(file_lines[0].find("[info]Application inited 2.21.0.113\n"), std::string::npos);
    EXPECT_NE(file_lines[1].find("[error]bad 7\n"), std::string::npos);
    EXPECT_NE(file_lines[2].find("[warning]careful\n"), std::string::npos);
    EXPECT_EQ(text.find("dropped"), std::string::npos);

    EXPECT_EQ(delivered, (std::vector<std::string>{"INFO:Application inited 2.21.0.113", "second ERROR:bad 7"}));
    ASSERT_EQ(lines.size(), 3u);  // every written line, whole
    EXPECT_EQ(lines[0], file_lines[0]);

    // After Free nothing more is written or delivered.
    log.Write(300, "late");
    EXPECT_EQ(ReadAll(log.FilePathForTesting()), text);
}

TEST_F(LogTest, FreeDrainsManyQueuedLinesFromManyThreads) {
    Log log;
    log.SetLogDirectoryForTesting((root_ / "VelmoraData" / "logs").string());
    ASSERT_TRUE(log.Init());
    std::atomic<int> delivered{0};
    log.SetLevelCallback(300, [&](const char*, const char*) { ++delivered; });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&log, t] {
            for (int i = 0; i < 500; ++i) log.Write(300, "thread %d line %d", t, i);
        });
    // Installing callbacks while the writer delivers is safe.
    for (int i = 0; i < 100; ++i) log.SetLevelCallback(200, [](const char*, const char*) {});
    for (auto& writer : writers) writer.join();
    log.Free();
    EXPECT_EQ(delivered.load(), 2000);
    const std::string text = ReadAll(log.FilePathForTesting());
    EXPECT_EQ(static_cast<int>(std::count(text.begin(), text.end(), '\n')), 2000);
}

TEST_F(LogTest, LongMessagesAreCut) {
    Log log;
    log.SetLogDirectoryForTesting((root_ / "VelmoraData" / "logs").string());
    ASSERT_TRUE(log.Init());
    std::string message;
    log.SetLevelCallback(300, [&](const char* text, const char*) { message = text; });
    const std::string huge(10000, 'x');
    log.Write(300, "%s", huge.c_str());
    log.Free();
    EXPECT_EQ(message.size(), Log::kMessageSize - 1);
}

// Without waiting for Free: the writer flushes once it has caught up, so a
// burst and a lone line after it both reach the file while the log runs.
TEST_F(LogTest, LinesReachTheFileWhileTheLogRuns) {
    Log log;
    log.SetLogDirectoryForTesting((root_ / "VelmoraData" / "logs").string());
    ASSERT_TRUE(log.Init());
    auto count_lines = [&] {
        const std::string text = ReadAll(log.FilePathForTesting());
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    };
    auto wait_for_lines = [&](size_t expected) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (count_lines() < expected && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return count_lines();
    };
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t)
        writers.emplace_back([&log, t] {
            for (int i = 0; i < 500; ++i) log.Write(300, "burst %d %d", t, i);
        });
    for (std::thread& writer : writers) writer.join();
    EXPECT_EQ(wait_for_lines(1000), 1000u);
    log.Write(100, "a lone line");
    EXPECT_EQ(wait_for_lines(1001), 1001u);
    EXPECT_NE(ReadAll(log.FilePathForTesting()).find("[error]a lone line\n"), std::string::npos);
    log.Free();
}

TEST_F(LogTest, OldFilesOfTheSameProgramArePruned) {
    const fs::path dir = root_ / "VelmoraData" / "logs";
    char exe[1024] = {};
    char base[1024] = {};
    ASSERT_GT(Tools::os_get_executable_file(exe, sizeof exe), 0);
    ASSERT_TRUE(Tools::os_path_find_filename(exe, base));
    for (int i = 0; i < 60; ++i) {
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "_20200101_0000%02d_%d.log", i, 100 + i);
        std::ofstream(dir / (std::string(base) + stamp)) << "old\n";
    }
    std::ofstream(dir / "Other_20200101_000000_1.log") << "someone else's\n";
    std::ofstream(dir / (std::string(base) + "_tool_20200101_000000_1.log")) << "another program\n";

    Log log;
    log.SetLogDirectoryForTesting(dir.string());
    ASSERT_TRUE(log.Init());
    log.Free();
    size_t ours = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(std::string(base) + "_2", 0) == 0) ++ours;
    }
    EXPECT_EQ(ours, Log::kKeptFiles);
    EXPECT_TRUE(fs::exists(log.FilePathForTesting()));
    EXPECT_FALSE(fs::exists(dir / (std::string(base) + "_20200101_000000_100.log")));  // the oldest went first
    EXPECT_TRUE(fs::exists(dir / "Other_20200101_000000_1.log"));
    EXPECT_TRUE(fs::exists(dir / (std::string(base) + "_tool_20200101_000000_1.log")));
}

TEST(LogLevelsTest, TagsAndNames) {
    EXPECT_STREQ(Log::LevelTag(100), "[error]");
    EXPECT_STREQ(Log::LevelTag(400), "[debug]");
    EXPECT_EQ(Log::LevelTag(250), nullptr);
    EXPECT_STREQ(Log::LevelName(200), "WARNING");
    EXPECT_STREQ(Log::LevelName(300), "INFO");
}

}  // namespace
}  // namespace Application
