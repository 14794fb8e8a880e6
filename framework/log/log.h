#pragma once

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Application/Application.h"
#include "framework/tasks/task_thread.h"

namespace Application {

// Leveled logging to one file per process run under the log directory, plus
// per-level callbacks and a general callback. Write formats on the caller's
// thread and appends the line to a pending batch; a writer thread of the log's
// own takes whole batches, so file writes and callbacks run only there, in
// the order the lines were appended. Write may be called from any thread at
// any time; before Init and after Free it does nothing.
class Log final : public ILog {
public:
    static constexpr int kMaxLevel = kLogInfo;
    static constexpr size_t kMessageSize = 4096;
    // Older files of the same program beyond this many are removed at Init.
    static constexpr size_t kKeptFiles = 50;

    Log() = default;
    ~Log() override;

    bool Init() override;
    // Stops logging: lines already queued still reach the file and their
    // callbacks; level callbacks are removed and the file is closed.
    void Free() override;
    [[gnu::format(printf, 3, 4)]] void Write(int level, const char* format, ...) override;

    void SetGeneralCallback(LogCallback callback);
    void SetLevelCallback(int level, LevelLogCallback callback);

    // Without an application object the log has no paths component to ask.
    void SetLogDirectoryForTesting(std::string directory) { directory_for_testing_ = std::move(directory); }
    // The file this run writes to; empty when none could be opened.
    const std::string& FilePathForTesting() const { return path_; }

    static const char* LevelTag(int level);
    static const char* LevelName(int level);

private:
    // Lines appended back to back, each followed by a NUL so that callbacks
    // get terminated texts without a copy.
    struct Batch {
        struct Mark {
            int level;
            size_t start;           // of the line in text
            size_t message_offset;  // from start, past the time, thread and tag
            size_t length;          // of the line, newline included
        };
        std::string text;
        std::vector<Mark> marks;
    };

    void WriteBatchOnWriterThread();
    void RemoveOldFiles(const std::string& directory, const std::string& base_name);

    std::mutex callbacks_lock_;  // installing a callback may race with delivery
    LogCallback general_callback_;
    std::map<int, LevelLogCallback> level_callbacks_;
    std::atomic<bool> enabled_{false};
    std::mutex pending_lock_;  // held only to append a line or take the batch
    Batch pending_;
    bool batch_posted_ = false;  // a writer task will take pending_
    Batch writing_;              // the writer thread's; keeps its capacity between batches
    FILE* file_ = nullptr;
    std::string path_;
    std::string directory_for_testing_;
    TaskThread writer_{"log writer"};
};

}  // namespace Application
