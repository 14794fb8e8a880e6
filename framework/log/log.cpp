#include "framework/log/log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdarg>
#include <filesystem>
#include <system_error>
#include <vector>

#include "Tools/os.h"

namespace Application {
namespace {

constexpr size_t kPathBufferSize = 1024;

unsigned CurrentThreadId() { return static_cast<unsigned>(syscall(SYS_gettid)); }

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
            char prefix[kPathBufferSize];
            char suffix[64];
            std::snprintf(prefix, sizeof prefix, "%s_", base_name);
            std::snprintf(suffix, sizeof suffix, "_%u.log", Tools::os_current_pid());
            char file_name[kPathBufferSize] = {};
            Tools::GenerateTimeDateFilename(file_name, sizeof file_name, SharedTimeMs() / 1000, prefix, suffix);
            const std::string path = directory + "/" + file_name;
            file_ = Tools::os_fopen(path.c_str(), "w+");
            if (file_) {
                path_ = path;
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

    std::string line;
    line.reserve(std::strlen(message) + 64);
    line.append("[").append(time_text).append("][").append(std::to_string(CurrentThreadId())).append("]");
    line.append(tag).append(message).append("\n");
    writer_.Post([this, level, text = std::string(message), line = std::move(line)] {
        WriteOnWriterThread(level, text, line);
    }, false);
}

void Log::WriteOnWriterThread(int level, const std::string& message, const std::string& line) {
    LevelLogCallback level_callback;
    LogCallback general_callback;
    {
        std::lock_guard<std::mutex> guard(callbacks_lock_);
        auto it = level_callbacks_.find(level);
        if (it != level_callbacks_.end()) level_callback = it->second;
        general_callback = general_callback_;
    }
    if (level_callback) level_callback(message.c_str(), LevelName(level));
    if (file_) {
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fflush(file_);
    }
    if (general_callback) general_callback(line.c_str());
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
