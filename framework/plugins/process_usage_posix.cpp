#include "framework/plugins/process_usage.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "tools/posix_fd.h"

namespace Application {
namespace {

// Reads a small /proc file whole; its lines are far shorter than this.
bool ReadSmallFile(const std::string& path, char* buffer, size_t size, size_t* length) {
    Tools::detail::UniqueFd fd(Tools::detail::RetryEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd.valid()) return false;
    size_t used = 0;
    while (used < size) {
        const ssize_t got = Tools::detail::RetryEintr([&] { return ::read(fd.get(), buffer + used, size - used); });
        if (got < 0) return false;
        if (got == 0) break;
        used += static_cast<size_t>(got);
    }
    *length = used;
    return used > 0;
}

// The fields after the command name, which may itself hold blanks and parentheses.
bool StatFields(std::string_view text, std::string_view fields[], size_t count) {
    const size_t close = text.rfind(')');
    if (close == std::string_view::npos) return false;
    std::string_view rest = text.substr(close + 1);
    size_t found = 0;
    while (found < count) {
        const size_t start = rest.find_first_not_of(" \n");
        if (start == std::string_view::npos) return false;
        rest.remove_prefix(start);
        const size_t end = std::min(rest.find_first_of(" \n"), rest.size());
        fields[found++] = rest.substr(0, end);
        rest.remove_prefix(end);
    }
    return true;
}

bool ToNumber(std::string_view text, uint64_t* value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

bool ReadProcessUsage(int32_t pid, ProcessUsage* usage) {
    if (pid <= 0 || !usage) return false;
    const std::string dir = "/proc/" + std::to_string(pid);
    char buffer[4096];
    size_t length = 0;
    if (!ReadSmallFile(dir + "/stat", buffer, sizeof buffer, &length)) return false;
    // Fields 3 onwards; utime and stime are 14 and 15, starttime 22 (clock ticks).
    std::string_view fields[20];
    if (!StatFields(std::string_view(buffer, length), fields, 20)) return false;
    uint64_t utime = 0, stime = 0, start = 0;
    if (!ToNumber(fields[11], &utime) || !ToNumber(fields[12], &stime) || !ToNumber(fields[19], &start)) return false;
    const long ticks = ::sysconf(_SC_CLK_TCK);
    if (ticks <= 0) return false;
    const auto to_us = [ticks](uint64_t value) { return static_cast<int64_t>(value * 1'000'000 / static_cast<uint64_t>(ticks)); };
    usage->cpu_us = to_us(utime + stime);
    timespec boot{};
    if (::clock_gettime(CLOCK_BOOTTIME, &boot) == 0) {
        const int64_t since_boot_us = int64_t{boot.tv_sec} * 1'000'000 + boot.tv_nsec / 1000;
        usage->lifetime_us = std::max<int64_t>(since_boot_us - to_us(start), 0);
    }
    // statm: size, resident, ... in pages.
    if (!ReadSmallFile(dir + "/statm", buffer, sizeof buffer, &length)) return false;
    std::string_view statm(buffer, length);
    const size_t first = statm.find(' ');
    if (first == std::string_view::npos) return false;
    statm.remove_prefix(first + 1);
    uint64_t pages = 0;
    if (!ToNumber(statm.substr(0, statm.find(' ')), &pages)) return false;
    const long page_size = ::sysconf(_SC_PAGESIZE);
    usage->rss_bytes = pages * static_cast<uint64_t>(page_size > 0 ? page_size : 4096);
    return true;
}

}  // namespace Application
