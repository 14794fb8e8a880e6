#include "framework/log/log.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdarg>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "Tools/os.h"
#include "tools/monotonic_clock.h"

namespace Application {
namespace {

constexpr size_t kPathBufferSize = 1024;

// The "[tid]" part of a line. gettid is a system call every time, which costs
// microseconds on some virtual machines; a thread's id never changes, so the
// text is made once per thread.
const std::string& ThreadIdText() {
    thread_local const std::string text = "[" + std::to_string(static_cast<unsigned>(syscall(SYS_gettid))) + "]";
    return text;
}

// The shared clock when the time manager is up; the bare wall clock otherwise.
uint64_t SharedTimeMs() {
    if (IApplication* app = App())
        if (ITimeMgr* times = app->GetTimeMgr())
            if (ITime* shared = times->GetSharedTime()) return shared->GetTimeMs();
    return Tools::os_gettime_ms();
}

// The shared clock's text form (UTC+8); the bare wall clock's before the time
// manager is up.
void TimeText(char* out, size_t size) {
    if (IApplication* app = App())
        if (ITimeMgr* times = app->GetTimeMgr())
            if (ITime* shared = times->GetSharedTime()) {
                shared->GetTimeString(out, static_cast<int>(size));
                return;
            }
    Tools::UTCToPekingString(Tools::os_gettime_ms(), out, size);
}

// Takes mutex unless the deadline passes first. Only the crash flush waits
// like this, for at most its budget, so polling costs nothing the rest of the
// time; a lock the crashed thread left held is simply given up on.
bool LockBefore(std::mutex& mutex, int64_t deadline_ms) {
    for (;;) {
        if (mutex.try_lock()) return true;
        if (Tools::detail::MonotonicMs() >= deadline_ms) return false;
        const timespec pause{0, 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

Log::~Log() { Free(); }

const char* Log::LevelTag(int level) {
    switch (level) {
        case kLogError: return "[error]";
        case kLogWarning: return "[warning]";
        case kLogInfo: return "[info]";
        case kLogDebug: return "[debug]";
        default: return nullptr;
    }
}

const char* Log::LevelName(int level) {
    switch (level) {
        case kLogError: return "ERROR";
        case kLogWarning: return "WARNING";
        case kLogInfo: return "INFO";
        case kLogDebug: return "DEBUG";
        default: return nullptr;
    }
}

bool Log::Init() {
    if (writer_.joinable() || stopping_) return true;  // one file per run; no way back after Free
    char executable[kPathBufferSize] = {};
    char base_name[kPathBufferSize] = {};
    if (Tools::os_get_executable_file(executable, sizeof executable) <= 0 ||
        !Tools::os_path_find_filename(executable, base_name) || !base_name[0])
        return true;
    IAppPath* paths = App() ? App()->GetAppPath() : nullptr;
    const std::string directory = !directory_for_testing_.empty() ? directory_for_testing_
                                  : paths                           ? paths->GetLogDir()
                                                                    : "";
    if (directory.empty()) return true;
    const std::string prefix = std::string(base_name) + "_";
    const std::string suffix = "_" + std::to_string(Tools::os_current_pid()) + ".log";
    char file_name[kPathBufferSize] = {};
    Tools::GenerateTimeDateFilename(file_name, sizeof file_name, SharedTimeMs() / 1000, prefix.c_str(),
                                    suffix.c_str());
    const std::string path = directory + "/" + file_name;
    if (!file_.Open(path)) return true;
    {
        std::lock_guard<std::mutex> guard(pending_lock_);
        accepting_ = true;
    }
    // The writer runs before Write lets anything in.
    try {
        writer_ = std::thread(&Log::WriterMain, this);
    } catch (const std::system_error&) {
        // Without a writer there is no log, as without a file.
        std::lock_guard<std::mutex> guard(pending_lock_);
        accepting_ = false;
        file_.Close();
        return true;
    }
    path_ = path;
    enabled_ = true;
    RemoveOldFiles(directory, base_name);
    return true;
}

void Log::Free() {
    if (!enabled_.exchange(false)) return;
    {
        std::lock_guard<std::mutex> guard(pending_lock_);
        accepting_ = false;  // every line taken so far is drained below
        stopping_ = true;
    }
    pending_changed_.notify_all();
    if (writer_.joinable()) writer_.join();
    {
        std::lock_guard<std::mutex> guard(callbacks_lock_);
        level_callbacks_.clear();
    }
    std::lock_guard<std::mutex> guard(file_lock_);
    file_.Close();
}

void Log::Write(int level, const char* format, ...) {
    if (!enabled_.load(std::memory_order_relaxed) || !format) return;
    const char* tag = level <= kMaxLevel ? LevelTag(level) : nullptr;
    if (!tag) return;

    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    char time_text[96];
    TimeText(time_text, sizeof time_text);
    const std::string& thread_text = ThreadIdText();
    const size_t time_length = std::strlen(time_text);
    const size_t tag_length = std::strlen(tag);
    const size_t prefix_length = 2 + time_length + thread_text.size() + tag_length;  // "[" time "]" tid tag
    const size_t message_length = std::strlen(message);
    const size_t line_length = prefix_length + message_length + 1;

    // A burst costs the caller an append under a short lock; the writer is
    // woken only by the first line of a batch.
    std::lock_guard<std::mutex> guard(pending_lock_);
    if (!accepting_) return;
    if (pending_.text.size() + line_length + 1 > kMaxPendingBytes) {
        ++pending_.dropped;
        return;
    }
    const bool first = pending_.marks.empty();
    const size_t start = pending_.text.size();
    std::string& text = pending_.text;
    text.push_back('[');
    text.append(time_text, time_length).push_back(']');
    text.append(thread_text).append(tag, tag_length).append(message, message_length).append("\n", 2);
    pending_.marks.push_back({level, start, prefix_length, line_length});
    if (first) pending_changed_.notify_one();
}

void Log::WriterMain() {
    while (WriteOneBatchOnWriterThread()) {
    }
}

bool Log::WriteOneBatchOnWriterThread() {
    {
        std::unique_lock<std::mutex> pending(pending_lock_);
        pending_changed_.wait(pending, [this] { return !pending_.marks.empty() || pending_.dropped || stopping_; });
        if (pending_.marks.empty() && !pending_.dropped) return false;  // stopping, and all is written
    }
    {
        // Taken under the file lock, so that a crash flush that takes the
        // next batch cannot write it before this one.
        std::lock_guard<std::mutex> file(file_lock_);
        {
            std::lock_guard<std::mutex> pending(pending_lock_);
            std::swap(pending_, writing_);
        }
        WriteLinesLocked(writing_);
        if (writing_.dropped) {
            char note[256];
            char time_text[96];
            TimeText(time_text, sizeof time_text);
            const int length = std::snprintf(
                note, sizeof note, "[%s]%s[warning]log: %llu lines dropped, more than %zu bytes waited for the writer\n",
                time_text, ThreadIdText().c_str(), static_cast<unsigned long long>(writing_.dropped), kMaxPendingBytes);
            const LogFile::Piece piece{note, std::min(static_cast<size_t>(std::max(length, 0)), sizeof note - 1)};
            file_.Append(&piece, 1);
        }
    }

    LogCallback general_callback;
    std::map<int, LevelLogCallback> level_callbacks;
    {
        std::lock_guard<std::mutex> guard(callbacks_lock_);
        general_callback = general_callback_;
        level_callbacks = level_callbacks_;
    }
    for (const Batch::Mark& mark : writing_.marks) {
        char* line = writing_.text.data() + mark.start;
        if (auto it = level_callbacks.find(mark.level); it != level_callbacks.end() && it->second) {
            char* end = line + mark.length - 1;  // the newline, cut off for the message
            *end = '\0';
            it->second(line + mark.message_offset, LevelName(mark.level));
            *end = '\n';
        }
        if (general_callback) general_callback(line);
    }
    // A burst's buffer is kept for the next one, unless it grew large.
    constexpr size_t kKeptCapacity = 1 << 20;
    if (writing_.text.capacity() > kKeptCapacity) {
        writing_ = Batch();
    } else {
        writing_.text.clear();
        writing_.marks.clear();
        writing_.dropped = 0;
    }
    return true;
}

// Allocates nothing: the crash flush runs it while the process dies.
void Log::WriteLinesLocked(const Batch& batch) {
    constexpr size_t kChunk = 64;
    LogFile::Piece pieces[kChunk];
    size_t used = 0;
    for (const Batch::Mark& mark : batch.marks) {
        pieces[used++] = {batch.text.data() + mark.start, mark.length};
        if (used == kChunk) {
            file_.Append(pieces, used);  // write errors are not reported anywhere
            used = 0;
        }
    }
    if (used) file_.Append(pieces, used);
}

bool Log::FlushQueuedForCrash(int timeout_ms) {
    const int64_t deadline = Tools::detail::MonotonicMs() + timeout_ms;
    if (!LockBefore(file_lock_, deadline)) return false;
    std::lock_guard<std::mutex> file(file_lock_, std::adopt_lock);
    {
        if (!LockBefore(pending_lock_, deadline)) return false;
        std::lock_guard<std::mutex> pending(pending_lock_, std::adopt_lock);
        // Swapped into storage that lives as long as the log: nothing is
        // allocated or freed here, in case the crash left the heap locked.
        std::swap(pending_, crash_batch_);
    }
    WriteLinesLocked(crash_batch_);
    crash_batch_.marks.clear();
    crash_batch_.text.clear();
    return true;
}

void Log::SetGeneralCallback(LogCallback callback) {
    std::lock_guard<std::mutex> guard(callbacks_lock_);
    general_callback_ = std::move(callback);
}

void Log::SetLevelCallback(int level, LevelLogCallback callback) {
    std::lock_guard<std::mutex> guard(callbacks_lock_);
    level_callbacks_[level] = std::move(callback);
}

// Names carry the UTC+8 start time (base_YYYYMMDD_hhmmss_pid.log), so the
// byte order of the names is their age order.
void Log::RemoveOldFiles(const std::string& directory, const std::string& base_name) {
    namespace fs = std::filesystem;
    std::error_code error;
    std::vector<std::string> names;
    const std::string prefix = base_name + "_";
    for (const auto& entry : fs::directory_iterator(directory, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > prefix.size() + 4 && name.compare(0, prefix.size(), prefix) == 0 &&
            std::isdigit(static_cast<unsigned char>(name[prefix.size()])) &&
            name.compare(name.size() - 4, 4, ".log") == 0 && entry.is_regular_file(error))
            names.push_back(name);
    }
    if (names.size() <= kKeptFiles) return;
    std::sort(names.begin(), names.end());
    const std::string own = fs::path(path_).filename().string();
    size_t excess = names.size() - kKeptFiles;
    for (const std::string& name : names) {
        if (excess == 0) break;
        if (name == own) continue;
        fs::remove(fs::path(directory) / name, error);
        --excess;
    }
}

}  // namespace Application
