// Process id, wall clock, language and network type.

#include <dirent.h>
#include <net/if.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "Tools/os.h"
#include "tools/os_system_p.h"

namespace Tools {
namespace {

bool ReadSmallFile(const std::string& path, char* buffer, size_t size) {
    FILE* file = os_fopen(path.c_str(), "r");
    if (!file) return false;
    size_t got = std::fread(buffer, 1, size - 1, file);
    std::fclose(file);
    while (got > 0 && (buffer[got - 1] == '\n' || buffer[got - 1] == ' ')) --got;
    buffer[got] = 0;
    return true;
}

}  // namespace

namespace detail {

bool IsChineseLanguage(const char* language, const char* lc_all, const char* lc_messages, const char* lang) {
    std::string first;
    if (language && *language) {
        first = language;
        first = first.substr(0, first.find(':'));
    }
    const char* candidates[] = {first.c_str(), lc_all, lc_messages, lang};
    for (const char* value : candidates)
        if (value && *value) return std::strncmp(value, "zh", 2) == 0;
    return false;
}

const char* NetworkType(const char* sys_class_net, bool proxy_set) {
    bool dial_up = false, wired = false;
    if (DIR* directory = ::opendir(sys_class_net)) {
        while (dirent* entry = ::readdir(directory)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            const std::string base = std::string(sys_class_net) + "/" + name;
            char text[64];
            unsigned long flags = 0;
            if (ReadSmallFile(base + "/flags", text, sizeof(text))) flags = std::strtoul(text, nullptr, 0);
            if (flags & IFF_LOOPBACK) continue;
            if (!ReadSmallFile(base + "/operstate", text, sizeof(text))) continue;
            // Point-to-point links often report "unknown" while they carry traffic.
            const bool up = std::strcmp(text, "up") == 0 ||
                            (std::strcmp(text, "unknown") == 0 && (flags & IFF_UP) && (flags & IFF_RUNNING));
            if (!up) continue;
            if (name.compare(0, 3, "ppp") == 0)
                dial_up = true;
            else if (std::strcmp(text, "up") == 0)
                wired = true;
        }
        ::closedir(directory);
    }
    if (dial_up) return "RasDialUp";
    if (wired) return "wired";
    if (proxy_set) return "Proxy";
    return "other";
}

}  // namespace detail

uint32_t os_current_pid() { return static_cast<uint32_t>(::getpid()); }

void os_close_current_process() { ::_exit(0); }

uint64_t os_gettime_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec / 1000000);
}

bool os_is_ch_lang() {
    return detail::IsChineseLanguage(std::getenv("LANGUAGE"), std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                                     std::getenv("LANG"));
}

const char* os_nettype_string() {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    const bool proxy = set("http_proxy") || set("https_proxy") || set("HTTP_PROXY") || set("HTTPS_PROXY");
    return detail::NetworkType("/sys/class/net", proxy);
}

}  // namespace Tools
