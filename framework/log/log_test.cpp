#include "framework/log/log.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
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

// Threads already writing while the log starts: whatever the log took from
// each thread reaches the file, as one unbroken run up to its last line.
TEST_F(LogTest, ThreadsWritingWhileTheLogStartsLoseNothingTaken) {
    constexpr int kThreads = 8;
    constexpr int kLinesAfterStart = 300;
    Log log;
    log.SetLogDirectoryForTesting((root_ / "VelmoraData" / "logs").string());
    std::atomic<int> delivered{0};
    std::atomic<bool> started{false};
    std::vector<int> last(kThreads, -1);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&, t] {
            int after_start = 0;
            for (int i = 0; after_start < kLinesAfterStart; ++i) {
                const bool was_started = started.load();
                log.Write(300, "thread %d line %d", t, i);
                last[t] = i;
                if (was_started) ++after_start;
            }
        });
    ASSERT_TRUE(log.Init());
    log.SetLevelCallback(300, [&](const char*, const char*) { ++delivered; });
    started = true;
    for (auto& writer : writers) writer.join();
    log.Free();

    std::vector<std::vector<int>> seen(kThreads);
    std::istringstream lines(ReadAll(log.FilePathForTesting()));
    int total = 0;
    for (std::string line; std::getline(lines, line); ++total) {
        int t = -1, i = -1;
        const size_t at = line.find("[info]thread ");
        ASSERT_NE(at, std::string::npos) << line;
        ASSERT_EQ(std::sscanf(line.c_str() + at, "[info]thread %d line %d", &t, &i), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        seen[t].push_back(i);
    }
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE("thread " + std::to_string(t));
        ASSERT_GE(seen[t].size(), static_cast<size_t>(kLinesAfterStart));
        EXPECT_EQ(seen[t].back(), last[t]);
        for (size_t k = 1; k < seen[t].size(); ++k) ASSERT_EQ(seen[t][k], seen[t][k - 1] + 1) << "gap at " << k;
    }
    EXPECT_LE(delivered.load(), total);
}

// A level callback sees its own line in the file already: a crash inside a
// callback cannot lose a line that was written before it.
TEST_F(LogTest, EachLineIsInTheFileBeforeItsCallbackRuns) {
    Log log;
    log.SetLogDirectoryForTesting((root_ / "VelmoraData" / "logs").string());
    ASSERT_TRUE(log.Init());
    std::atomic<int> missing{0};
    std::atomic<int> calls{0};
    log.SetLevelCallback(200, [&](const char* message, const char*) {
        ++calls;
        if (ReadAll(log.FilePathForTesting()).find(std::string("[warning]") + message + "\n") == std::string::npos)
            ++missing;
    });
    for (int i = 0; i < 50; ++i) log.Write(200, "line %d", i);
    log.Free();
    EXPECT_EQ(calls.load(), 50);
    EXPECT_EQ(missing.load(), 0);
}

// The log holds connection switches and plugins' texts: for the user only.
TEST_F(LogTest, TheFileIsPrivateToTheUser) {
    const mode_t old_mask = ::umask(0);
    Log log;
    log.SetLogDirectoryForTesting((root_ / "VelmoraData" / "logs").string());
    ASSERT_TRUE(log.Init());
    ::umask(old_mask);
    log.Free();
    struct stat info {};
    ASSERT_EQ(::stat(log.FilePathForTesting().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// A fixture whose level-300 callback blocks on the first line until the
// test releases it: the writer is stuck, as it would be in a crash.
class StuckWriterLogTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        log_.SetLogDirectoryForTesting((root_ / "VelmoraData" / "logs").string());
        ASSERT_TRUE(log_.Init());
        log_.SetLevelCallback(300, [this](const char*, const char*) {
            std::unique_lock<std::mutex> wait(lock_);
            stuck_ = true;
            changed_.notify_all();
            changed_.wait(wait, [this] { return released_; });
        });
        log_.Write(300, "the line that sticks");
        std::unique_lock<std::mutex> wait(lock_);
        ASSERT_TRUE(changed_.wait_for(wait, std::chrono::seconds(30), [this] { return stuck_; }));
    }
    void TearDown() override {
        Release();
        log_.Free();
        LogTest::TearDown();
    }
    void Release() {
        std::lock_guard<std::mutex> guard(lock_);
        released_ = true;
        changed_.notify_all();
    }
    size_t FileLines() {
        const std::string text = ReadAll(log_.FilePathForTesting());
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    }

    Log log_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool stuck_ = false;
    bool released_ = false;
};

TEST_F(StuckWriterLogTest, CrashFlushWritesWhatTheWriterCouldNot) {
    for (int i = 1; i <= 1000; ++i) log_.Write(300, "queued %d", i);
    EXPECT_EQ(FileLines(), 1u) << "the writer was to be stuck";
    ASSERT_TRUE(log_.FlushQueuedForCrash(500));
    const std::string text = ReadAll(log_.FilePathForTesting());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1001);
    EXPECT_NE(text.find("[info]queued 1\n"), std::string::npos);
    EXPECT_NE(text.find("[info]queued 1000\n"), std::string::npos);
    // Once free again, the writer writes nothing twice and goes on.
    Release();
    log_.Write(300, "after");
    log_.Free();
    EXPECT_EQ(FileLines(), 1002u);
}

// Behind a writer that never catches up, memory stays bounded and the file
// says how much was lost.
TEST_F(StuckWriterLogTest, PendingLinesAreBounded) {
    const std::string chunk(4000, 'x');
    const size_t lines = Log::kMaxPendingBytes / chunk.size() + 1000;
    for (size_t i = 0; i < lines; ++i) log_.Write(300, "%s", chunk.c_str());
    Release();
    log_.Free();
    const std::string text = ReadAll(log_.FilePathForTesting());
    const size_t written = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    EXPECT_LT(written, lines);
    EXPECT_GT(written, lines - 2000);
    EXPECT_LE(text.size(), Log::kMaxPendingBytes + 2 * 4096);
    EXPECT_NE(text.find("lines dropped, more than 67108864 bytes waited for the writer"), std::string::npos);
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
