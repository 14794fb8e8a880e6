#include "framework/plugins/plugin_crash_record.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

#include "Application/Application.h"
#include "Tools/memory.h"
#include "Tools/os.h"

namespace Application {
namespace {

constexpr std::string_view kHeader = "velmora plugin crash record 1\n";
constexpr char kFileName[] = "plugin_crash_record";
constexpr size_t kPathSize = 1024;

// The host's own writes and ClearPluginCrashRecord from another thread take
// turns on the file.
std::mutex& FileLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

void WriteLog(int level, const std::string& line) {
    if (ILog* log = App() ? App()->GetLog() : nullptr) log->Write(level, "%s", line.c_str());
}

// Text fields are written with a leading '=' (so an empty one is visible)
// and with '%', blanks and control characters as %XX.
std::string EscapeField(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out = "=";
    for (unsigned char c : text) {
        if (c <= ' ' || c == '%' || c == 0x7F) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool UnescapeField(std::string_view field, std::string* out) {
    if (field.empty() || field.front() != '=') return false;
    out->clear();
    for (size_t i = 1; i < field.size(); ++i) {
        if (field[i] != '%') {
            *out += field[i];
            continue;
        }
        if (i + 2 >= field.size()) return false;
        const int high = HexValue(field[i + 1]);
        const int low = HexValue(field[i + 2]);
        if (high < 0 || low < 0) return false;
        *out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

bool ParseNumber(std::string_view text, int64_t* value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string EncodeLine(const char* kind, const PluginCrashRecord::Entry& entry) {
    return std::string(kind) + " " + std::to_string(entry.stamp.size) + " " + std::to_string(entry.stamp.mtime_ns) +
           " " + EscapeField(entry.name) + " " + EscapeField(entry.file) + "\n";
}

// A new file renamed over the old: readers see the old or the new text
// whole. Not synced to the disk: the record has to outlive the host process,
// whose written data the kernel keeps when it dies, and a sync per plugin
// would cost every start-up time on a slow disk. After a power cut a torn
// record only forgets what it held.
bool WriteRecord(const std::string& path, const std::string& text) {
    const std::string temporary = path + "." + std::to_string(Tools::os_current_pid()) + ".tmp";
    if (!Tools::os_quick_write_file(temporary.c_str(), text.data(), text.size())) return false;
    if (std::rename(temporary.c_str(), path.c_str()) == 0) return true;
    const int saved = errno;
    std::remove(temporary.c_str());
    errno = saved;
    return false;
}

// The file's text; empty when there is none, or when it is too large to be ours.
std::string ReadRecord(const std::string& path) {
    size_t size = 0;
    char* bytes = Tools::os_quick_read_file(path.c_str(), &size);
    if (!bytes) return {};
    std::string text;
    if (size <= PluginCrashRecord::kMaxFileBytes)
        text.assign(bytes, size);
    else
        WriteLog(kLogWarning, "crash check: " + path + " is larger than " +
                                  std::to_string(PluginCrashRecord::kMaxFileBytes) + " bytes (the limit); ignored");
    ::Free(bytes);
    return text;
}

}  // namespace

PluginCrashRecord::PluginCrashRecord(std::string path) : path_(std::move(path)) {}

std::string PluginCrashRecord::DefaultPath() {
    std::string root;
    if (IApplication* app = App()) {
        IAppPath* paths = app->GetAppPath();
        const char* data = paths ? paths->GetDataDir() : nullptr;
        if (data) root = data;
    } else {
        char buffer[kPathSize] = {};
        if (Tools::os_get_program_data_path(buffer, sizeof buffer, "VelmoraData") > 0) root = buffer;
    }
    if (root.empty()) return {};
    if (root.back() != '/') root += '/';
    return root + kFileName;
}

PluginCrashRecord::Stamp PluginCrashRecord::StampOf(const std::string& file) {
    Stamp stamp;
    struct stat info {};
    if (file.empty() || ::stat(file.c_str(), &info) != 0) return stamp;
    stamp.size = static_cast<int64_t>(info.st_size);
    stamp.mtime_ns = static_cast<int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    return stamp;
}

std::string PluginCrashRecord::Encode(const std::vector<Entry>& held, const std::vector<Entry>& starting) {
    std::string text(kHeader);
    for (const Entry& entry : held) text += EncodeLine("held", entry);
    for (const Entry& entry : starting) text += EncodeLine("starting", entry);
    return text;
}

void PluginCrashRecord::Decode(const std::string& text, std::vector<Entry>* held, std::vector<Entry>* starting) {
    if (text.compare(0, kHeader.size(), kHeader) != 0) return;
    std::string_view rest(text);
    rest.remove_prefix(kHeader.size());
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        // A line without its end was not written whole.
        if (end == std::string_view::npos) break;
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end + 1);
        std::string_view fields[5];
        size_t count = 0;
        while (count < 5 && !line.empty()) {
            const size_t blank = line.find(' ');
            fields[count++] = line.substr(0, blank);
            line = blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
        }
        if (count != 5 || !line.empty()) continue;
        Entry entry;
        if (!ParseNumber(fields[1], &entry.stamp.size) || !ParseNumber(fields[2], &entry.stamp.mtime_ns) ||
            !UnescapeField(fields[3], &entry.name) || !UnescapeField(fields[4], &entry.file))
            continue;
        if (fields[0] == "held")
            held->push_back(std::move(entry));
        else if (fields[0] == "starting")
            starting->push_back(std::move(entry));
    }
}

std::string PluginCrashRecord::Load() {
    if (path_.empty()) return {};
    std::vector<Entry> starting;
    {
        std::lock_guard<std::mutex> guard(FileLock());
        held_.clear();
        Decode(ReadRecord(path_), &held_, &starting);
    }
    if (starting.empty()) return {};
    // The host died while this plugin was being created or started (the
    // last one: a late start inside another plugin's start is the culprit).
    Entry crashed = std::move(starting.back());
    std::string name = crashed.name;
    Release(name);
    held_.push_back(std::move(crashed));
    starting_written_ = true;
    dirty_ = true;
    return name;
}

const PluginCrashRecord::Entry* PluginCrashRecord::Held(const std::string& name) const {
    for (const Entry& entry : held_)
        if (entry.name == name) return &entry;
    return nullptr;
}

void PluginCrashRecord::Release(const std::string& name) {
    const size_t before = held_.size();
    std::erase_if(held_, [&](const Entry& entry) { return entry.name == name; });
    if (held_.size() != before) dirty_ = true;
}

size_t PluginCrashRecord::ReleaseAll() {
    const size_t count = held_.size();
    if (count) dirty_ = true;
    held_.clear();
    return count;
}

void PluginCrashRecord::Begin(const std::string& name, const std::string& file) {
    if (path_.empty()) return;
    const std::vector<Entry> starting = {{name, file, StampOf(file)}};
    std::lock_guard<std::mutex> guard(FileLock());
    const bool written = WriteRecord(path_, Encode(held_, starting));
    starting_written_ = true;
    dirty_ = !written;
    if (!written && !std::exchange(write_failure_logged_, true))
        WriteLog(kLogWarning, "crash check: cannot write " + path_ + ": " + std::strerror(errno));
}

void PluginCrashRecord::Finish() {
    if (path_.empty() || (!starting_written_ && !dirty_)) return;
    std::lock_guard<std::mutex> guard(FileLock());
    if (WriteRecord(path_, Encode(held_, {}))) {
        starting_written_ = false;
        dirty_ = false;
    } else if (!std::exchange(write_failure_logged_, true)) {
        WriteLog(kLogWarning, "crash check: cannot write " + path_ + ": " + std::strerror(errno));
    }
}

void PluginCrashRecord::BeginLateStart(const std::string& path, const std::string& name, const std::string& file) {
    if (path.empty()) return;
    std::lock_guard<std::mutex> guard(FileLock());
    std::vector<Entry> held, starting;
    Decode(ReadRecord(path), &held, &starting);
    starting.push_back({name, file, StampOf(file)});
    if (!WriteRecord(path, Encode(held, starting)))
        WriteLog(kLogWarning, "crash check: cannot write " + path + ": " + std::strerror(errno));
}

void PluginCrashRecord::FinishLateStart(const std::string& path, const std::string& name) {
    if (path.empty()) return;
    std::lock_guard<std::mutex> guard(FileLock());
    std::vector<Entry> held, starting;
    Decode(ReadRecord(path), &held, &starting);
    const size_t before = starting.size();
    std::erase_if(starting, [&](const Entry& entry) { return entry.name == name; });
    if (starting.size() == before) return;
    if (!WriteRecord(path, Encode(held, starting)))
        WriteLog(kLogWarning, "crash check: cannot write " + path + ": " + std::strerror(errno));
}

bool PluginCrashRecord::ClearHeld(const std::string& path, std::string* error) {
    if (path.empty()) {
        if (error) *error = "there is no data folder for the crash record";
        return false;
    }
    std::lock_guard<std::mutex> guard(FileLock());
    std::vector<Entry> held, starting;
    Decode(ReadRecord(path), &held, &starting);
    if (held.empty() && starting.empty()) return true;
    if (!WriteRecord(path, Encode({}, {}))) {
        if (error) *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace Application
