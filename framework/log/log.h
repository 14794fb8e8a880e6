#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Application/Application.h"
#include "framework/log/log_file.h"

namespace Application {

// Leveled logging to one file per process run under the log directory, plus
// per-level callbacks and a general callback. Write formats on the caller's
// thread and appends the line to a pending batch; a writer thread of the log's
// own takes whole batches, writes each batch to the file (to the kernel, so a
// crash afterwards loses nothing) and only then runs the callbacks of its
// lines, in the order the lines were appended. The writer sleeps while
// nothing is pending.
//
// Write may be called from any thread at any time; before Init and after Free
// it does nothing. Init and Free belong to the owner's thread.
// FlushQueuedForCrash may be called from any thread but the writer.
class Log final : public ILog {
public:
    static constexpr int kMaxLevel = kLogInfo;
    static constexpr size_t kMessageSize = 4096;
    // Older files of the same program beyond this many are removed at Init.
    static constexpr size_t kKeptFiles = 50;
    // Lines waiting for the writer beyond this many bytes are dropped (a
    // level callback that blocks must not make the process eat its memory);
    // the next batch says how many were lost.
    static constexpr size_t kMaxPendingBytes = 64u << 20;

    Log() = default;
    ~Log() override;

    // Starts the writer, then opens the file and switches logging on, so no
    // accepted line can miss the writer. True even when no file could be opened.
    bool Init() override;
    // Stops logging: lines already queued still reach the file and their
    // callbacks; level callbacks are removed and the file is closed.
    void Free() override;
    [[gnu::format(printf, 3, 4)]] void Write(int level, const char* format, ...) override;

    void SetGeneralCallback(LogCallback callback);
    void SetLevelCallback(int level, LevelLogCallback callback);

    // The process is dying: writes every line still queued to the file
    // within timeout_ms, without their callbacks (the writer may be the
    // thread that crashed, or stuck in a callback). Gives up at the deadline
    // when a lock stays held. True when nothing queued was left behind.
    bool FlushQueuedForCrash(int timeout_ms);

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
        uint64_t dropped = 0;  // lines refused since the previous batch
    };

    void WriterMain();
    // Takes the pending batch and writes it; false when nothing was pending
    // and the writer is asked to stop.
    bool WriteOneBatchOnWriterThread();
    // The batch's lines into the file; the caller holds file_lock_.
    void WriteLinesLocked(const Batch& batch);
    void RemoveOldFiles(const std::string& directory, const std::string& base_name);

    std::mutex callbacks_lock_;  // installing a callback may race with delivery
    LogCallback general_callback_;
    std::map<int, LevelLogCallback> level_callbacks_;
    std::atomic<bool> enabled_{false};

    // Lock order: file_lock_, then pending_lock_. A crash flush never waits
    // past its deadline for either, in case the crash left one held.
    std::mutex file_lock_;  // held from taking a batch until it is in the file
    LogFile file_;

    std::mutex pending_lock_;  // held only to append a line or take the batch
    std::condition_variable pending_changed_;
    Batch pending_;
    bool accepting_ = false;  // lines are taken; cleared by Free before the writer drains
    bool stopping_ = false;

    Batch writing_;      // the writer thread's; keeps its capacity between batches
    Batch crash_batch_;  // what a crash flush took; under file_lock_
    std::thread writer_;
    std::string path_;
    std::string directory_for_testing_;
};

}  // namespace Application
