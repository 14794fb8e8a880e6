// Where the program, the per-user data and the downloads live.

#include <limits.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Tools/os.h"

namespace Tools {
namespace {

// Copies the whole text or nothing: a cut path could name another file.
int CopyOut(const std::string& text, char* destination, size_t size) {
    if (!destination || size == 0) return -1;
    if (text.size() >= size) {
        destination[0] = 0;
        return -1;
    }
    std::memcpy(destination, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
}

bool AbsoluteEnvironment(const char* name, std::string* out) {
    const char* value = std::getenv(name);
    if (!value || value[0] != '/') return false;
    *out = value;
    return true;
}

bool HomeDirectory(std::string* out) {
    if (AbsoluteEnvironment("HOME", out)) return true;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir || found->pw_dir[0] != '/')
        return false;
    *out = found->pw_dir;
    return true;
}

std::string Slashed(const char* text) {
    std::string result(text);
    for (char& c : result)
        if (c == '\\') c = '/';
    return result;
}

void AppendComponent(std::string& path, const char* more) {
    if (!more || !*more) return;
    std::string component = Slashed(more);
    size_t start = 0;
    while (start < component.size() && component[start] == '/') ++start;
    if (path.empty() || path.back() != '/') path += '/';
    path.append(component, start, std::string::npos);
}

bool ExecutableFile(std::string* out) {
    char buffer[PATH_MAX + 1];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof(buffer));
    if (length <= 0 || static_cast<size_t>(length) >= sizeof(buffer)) return false;
    out->assign(buffer, static_cast<size_t>(length));
    return true;
}

// The value of XDG_DOWNLOAD_DIR in a user-dirs.dirs file: a quoted text that
// is either absolute or starts with $HOME, backslash escaping one character.
bool ReadDownloadDir(const std::string& file, const std::string& home, std::string* out) {
    FILE* stream = os_fopen(file.c_str(), "r");
    if (!stream) return false;
    char line[4096];
    bool found = false;
    while (!found && std::fgets(line, sizeof(line), stream)) {
        const char* p = line;
        while (*p == ' ' || *p == '\t') ++p;
        static const char kKey[] = "XDG_DOWNLOAD_DIR=\"";
        if (std::strncmp(p, kKey, sizeof(kKey) - 1) != 0) continue;
        p += sizeof(kKey) - 1;
        std::string value;
        if (std::strncmp(p, "$HOME", 5) == 0) {
            value = home;
            p += 5;
        } else if (*p != '/') {
            continue;
        }
        bool closed = false;
        for (; *p; ++p) {
            if (*p == '\\' && p[1]) {
                value += *++p;
            } else if (*p == '"') {
                closed = true;
                break;
            } else {
                value += *p;
            }
        }
        if (closed && !value.empty()) {
            *out = value;
            found = true;
        }
    }
    std::fclose(stream);
    return found;
}

}  // namespace

int os_get_executable_file(char* destination, size_t size) {
    std::string path;
    if (!ExecutableFile(&path)) {
        if (destination && size > 0) destination[0] = 0;
        return -1;
    }
    return CopyOut(path, destination, size);
}

int os_get_executable_path(char* destination, size_t size, const char* more) {
    std::string path;
    if (!ExecutableFile(&path)) {
        if (destination && size > 0) destination[0] = 0;
        return -1;
    }
    const size_t slash = path.find_last_of('/');
    path.resize(slash == 0 ? 1 : slash);
    AppendComponent(path, more);
    return CopyOut(path, destination, size);
}

int os_get_program_data_path(char* destination, size_t size, const char* sub) {
    std::string base;
    if (!AbsoluteEnvironment("XDG_DATA_HOME", &base)) {
        if (!HomeDirectory(&base)) {
            if (destination && size > 0) destination[0] = 0;
            return -1;
        }
        base += "/.local/share";
    }
    AppendComponent(base, sub);
    return CopyOut(base, destination, size);
}

int os_get_downloads_path(char* destination, size_t size) {
    std::string home;
    if (!HomeDirectory(&home)) {
        if (destination && size > 0) destination[0] = 0;
        return -1;
    }
    std::string config;
    if (!AbsoluteEnvironment("XDG_CONFIG_HOME", &config)) config = home + "/.config";
    std::string downloads;
    if (!ReadDownloadDir(config + "/user-dirs.dirs", home, &downloads)) downloads = home + "/Downloads";
    return CopyOut(downloads, destination, size);
}

}  // namespace Tools
