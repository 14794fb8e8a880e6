#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Tools/os.h"
#include "tools/os_runtime_dir_p.h"
#include "tools/posix_fd.h"

namespace Tools {
namespace detail {
namespace {

constexpr size_t kRandomSuffixLength = 6;  // the XXXXXX of mkdtemp

std::string TempBase() {
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir && tmpdir[0] == '/') {
        std::string base = tmpdir;
        while (base.size() > 1 && base.back() == '/') base.pop_back();
        return base;
    }
    return "/tmp";
}

std::string UserSuffix() { return std::to_string(::geteuid()); }

std::string FallbackDir() { return TempBase() + "/velmora-" + UserSuffix(); }

std::string PrivateDirPrefix() { return "velmora-" + UserSuffix() + "-"; }

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Empty when the session directory may hold ours: a directory of ours that
// others cannot write to, unless it is sticky (then they cannot remove or
// rename what we put there).
std::string CheckSessionDirectory(const char* xdg) {
    const std::string name = std::string("XDG_RUNTIME_DIR=") + xdg;
    if (xdg[0] != '/') return name + " is not an absolute path";
    struct stat info {};
    if (::stat(xdg, &info) != 0) return name + ": " + std::strerror(errno);
    if (!S_ISDIR(info.st_mode)) return name + " is not a directory";
    if (info.st_uid != ::geteuid()) return name + " belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    if ((info.st_mode & 022) != 0 && (info.st_mode & S_ISVTX) == 0)
        return name + " is writable by other users (mode " + ModeText(info.st_mode) + ")";
    return {};
}

bool Missing(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) != 0 && errno == ENOENT;
}

using DirStream = std::unique_ptr<DIR, int (*)(DIR*)>;

// Private directories <tmp>/velmora-<uid>-XXXXXX of ours, sorted by name.
std::vector<std::string> OwnPrivateDirs(const std::string& base) {
    std::vector<std::string> found;
    DirStream stream(::opendir(base.c_str()), &::closedir);
    if (!stream) return found;
    const std::string prefix = PrivateDirPrefix();
    while (dirent* entry = ::readdir(stream.get())) {
        const std::string name = entry->d_name;
        if (name.size() != prefix.size() + kRandomSuffixLength || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string path = base + "/" + name;
        if (CheckPrivateDirectory(path, false).empty()) found.push_back(path);
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The first private directory of ours, made when there is none. Two hosts
// starting at once may both make one; both then settle on the first by name.
std::string OwnPrivateDir(std::string* error) {
    const std::string base = TempBase();
    std::vector<std::string> existing = OwnPrivateDirs(base);
    if (!existing.empty()) return existing.front();
    std::string pattern = base + "/" + PrivateDirPrefix() + std::string(kRandomSuffixLength, 'X');
    if (!::mkdtemp(pattern.data())) {
        *error = "cannot create a private directory in " + base + ": " + std::strerror(errno);
        return {};
    }
    existing = OwnPrivateDirs(base);
    if (existing.empty()) {
        *error = "the private directory " + pattern + " was changed by someone else";
        return {};
    }
    if (existing.front() != pattern) ::rmdir(pattern.c_str());
    return existing.front();
}

}  // namespace

std::string CheckPrivateDirectory(const std::string& path, bool create) {
    if (create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return "cannot create " + path + ": " + std::strerror(errno);
    // Opened without following a link, and checked through the descriptor,
    // so what is checked is what is there.
    UniqueFd dir(RetryEintr([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!dir) {
        if (errno == ELOOP || errno == ENOTDIR) return path + " is not a directory";
        return path + ": " + std::strerror(errno);
    }
    struct stat info {};
    if (::fstat(dir.get(), &info) != 0) return path + ": " + std::strerror(errno);
    if (info.st_uid != ::geteuid()) return path + " belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    if ((info.st_mode & 077) != 0) return path + " is open to other users (mode " + ModeText(info.st_mode) + ")";
    return {};
}

RuntimeDirResult FindRuntimeDir(bool create) {
    RuntimeDirResult result;
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && xdg[0]) {
        std::string problem = CheckSessionDirectory(xdg);
        if (problem.empty()) {
            const std::string path = std::string(xdg) + "/velmora";
            problem = CheckPrivateDirectory(path, create);
            if (problem.empty()) {
                result.path = path;
                return result;
            }
            if (!create && Missing(path)) return result;
        }
        result.problem = problem;
    }
    const std::string fallback = FallbackDir();
    std::string problem = CheckPrivateDirectory(fallback, create);
    if (problem.empty()) {
        result.path = fallback;
        return result;
    }
    if (!create && Missing(fallback)) return result;
    result.problem += (result.problem.empty() ? "" : "; ") + problem;
    return result;
}

RuntimeDirResult PrepareRuntimeDir() {
    RuntimeDirResult found = FindRuntimeDir(true);
    if (!found.path.empty()) {
        if (!found.problem.empty()) found.problem += "; using " + found.path;
        return found;
    }
    std::string error;
    const std::string own = OwnPrivateDir(&error);
    if (own.empty()) return {std::string(), found.problem + "; " + error};
    ::setenv("XDG_RUNTIME_DIR", own.c_str(), 1);
    RuntimeDirResult chosen = FindRuntimeDir(true);
    if (chosen.path.empty()) return {std::string(), found.problem + "; " + chosen.problem};
    chosen.problem = found.problem + "; using the private directory " + chosen.path + " instead";
    return chosen;
}

}  // namespace detail

namespace {

int CopyOut(const std::string& text, char* destination, size_t size) {
    if (!destination || size == 0) return static_cast<int>(text.size());
    const size_t length = std::min(text.size(), size - 1);
    std::memcpy(destination, text.data(), length);
    destination[length] = '\0';
    return static_cast<int>(length);
}

}  // namespace

int os_get_runtime_dir(char* destination, size_t size) {
    const detail::RuntimeDirResult found = detail::FindRuntimeDir(true);
    if (found.path.empty() || (destination && size <= found.path.size())) {
        CopyOut(std::string(), destination, size);
        return -1;
    }
    return CopyOut(found.path, destination, size);
}

int os_prepare_runtime_dir(char* destination, size_t size, char* notice, size_t notice_size) {
    const detail::RuntimeDirResult prepared = detail::PrepareRuntimeDir();
    CopyOut(prepared.problem, notice, notice_size);
    if (prepared.path.empty() || (destination && size <= prepared.path.size())) {
        CopyOut(std::string(), destination, size);
        return -1;
    }
    CopyOut(prepared.path, destination, size);
    return prepared.problem.empty() ? 0 : 1;
}

}  // namespace Tools
