#include "framework/log/log.h"

#include <sys/syscall.h>
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
    char executable[kPathBufferSize] = {};
    char base_name[kPathBufferSize] = {};
    if (Tools::os_get_executable_file(executable, sizeof executable) > 0 &&
        Tools::os_path_find_filename(executable, base_name) && base_name[0]) {
        IAppPath* paths = App() ? App()->GetAppPath() : nullptr;
        const std::string directory = !directory_for_testing_.empty() ? directory_for_testing_
                                      : paths                           ? paths->GetLogDir()
                                                                        : "";
        if (!directory.empty()) {
            const std::string prefix = std::string(base_name) + "_";
            const std::string suffix = "_" + std::to_string(Tools::os_current_pid()) + ".log";
            char file_name[kPathBufferSize] = {};
            Tools::GenerateTimeDateFilename(file_name, sizeof file_name, SharedTimeMs() / 1000, prefix.c_str(),
                                            suffix.c_str());
            const std::string path = directory + "/" + file_name;
            file_ = Tools::os_fopen(path.c_str(), "w+");
            if (file_) {
                path_ = path;
                std::lock_guard<std::mutex> guard(pending_lock_);
                pending_ = Batch();
                batch_posted_ = false;
                enabled_ = true;
                RemoveOldFiles(directory, base_name);
            }
        }
    }
    return writer_.Start();
}

void Log::Free() {
    if (!enabled_.exchange(false)) return;
    writer_.Stop(/*drain=*/true);  // every line already queued still lands
    {
        // Lines of a Write that raced with the stop had their task dropped.
        std::lock_guard<std::mutex> guard(pending_lock_);
        pending_ = Batch();
        batch_posted_ = false;
    }
    {
        std::lock_guard<std::mutex> guard(callbacks_lock_);
        level_callbacks_.clear();
    }
    if (file_) std::fclose(file_);
    file_ = nullptr;
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
    if (IApplication* app = App(); app && app->GetTimeMgr() && app->GetTimeMgr()->GetSharedTime())
        app->GetTimeMgr()->GetSharedTime()->GetTimeString(time_text, sizeof time_text);
    else
        Tools::UTCToPekingString(Tools::os_gettime_ms(), time_text, sizeof time_text);

    const std::string& thread_text = ThreadIdText();
    const size_t time_length = std::strlen(time_text);
    const size_t tag_length = std::strlen(tag);
    const size_t prefix_length = 2 + time_length + thread_text.size() + tag_length;  // "[" time "]" tid tag
    const size_t message_length = std::strlen(message);

    // One task per batch rather than per line: a burst costs the caller an
    // append under a short lock, and wakes the writer once.
    bool post = false;
    {
        std::lock_guard<std::mutex> guard(pending_lock_);
        const size_t start = pending_.text.size();
        std::string& text = pending_.text;
        text.push_back('[');
        text.append(time_text, time_length).push_back(']');
        text.append(thread_text).append(tag, tag_length).append(message, message_length).append("\n", 2);
        pending_.marks.push_back({level, start, prefix_length, prefix_length + message_length + 1});
        post = !std::exchange(batch_posted_, true);
    }
    if (post) writer_.Post([this] { WriteBatchOnWriterThread(); }, false);
}

void Log::WriteBatchOnWriterThread() {
    {
        std::lock_guard<std::mutex> guard(pending_lock_);
        std::swap(pending_, writing_);
        batch_posted_ = false;
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
        if (file_) std::fwrite(line, 1, mark.length, file_);
        if (general_callback) general_callback(line);
    }
    if (file_) std::fflush(file_);
    // A burst's buffer is kept for the next one, unless it grew large.
    constexpr size_t kKeptCapacity = 1 << 20;
    if (writing_.text.capacity() > kKeptCapacity) {
        writing_ = Batch();
    } else {
        writing_.text.clear();
        writing_.marks.clear();
    }
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
