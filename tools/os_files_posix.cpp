// Files, whole-file reads and writes, safe replacement and directories.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Tools/memory.h"
#include "Tools/os.h"
#include "tools/os_files_p.h"
#include "tools/posix_fd.h"

namespace Tools {
namespace {

using detail::RetryEintr;
using detail::UniqueFd;

constexpr size_t kMaxReplacePathCharacters = 1023;

// Reads the stream from its start to its end into a new buffer with a spare
// terminator. Null when a read error occurs, so a partly read file is never
// taken for the whole one.
char* ReadWholeStream(FILE* stream, size_t* out_length) {
    *out_length = 0;
    if (!stream) return nullptr;
    std::fseek(stream, 0, SEEK_SET);  // a pipe cannot seek; it is read from where it is
    size_t capacity = 4096;
    const int64_t known = os_fgetsize(stream);
    if (known > 0 && static_cast<uint64_t>(known) < SIZE_MAX / 2) capacity = static_cast<size_t>(known) + 1;
    char* buffer = static_cast<char*>(Malloc(capacity));
    if (!buffer) return nullptr;
    size_t length = 0;
    for (;;) {
        if (length + 1 >= capacity) {
            char* grown = static_cast<char*>(Realloc(buffer, capacity * 2));
            if (!grown) {
                Free(buffer);
                return nullptr;
            }
            buffer = grown;
            capacity *= 2;
        }
        const size_t got = std::fread(buffer + length, 1, capacity - 1 - length, stream);
        length += got;
        if (got == 0) break;
    }
    if (std::ferror(stream)) {
        Free(buffer);
        return nullptr;
    }
    buffer[length] = 0;
    *out_length = length;
    return buffer;
}

bool WriteFile(const char* path, const char* head, size_t head_length, const char* bytes, size_t length) {
    if (!path || (!bytes && length > 0)) return false;
    FILE* file = os_fopen(path, "wb");
    if (!file) return false;
    bool ok = head_length == 0 || std::fwrite(head, 1, head_length, file) == head_length;
    ok = ok && (length == 0 || std::fwrite(bytes, 1, length, file) == length);
    ok = std::fflush(file) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    return ok;
}

size_t CountCharacters(const char* text) {
    size_t count = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        if ((*p & 0xC0) != 0x80) ++count;
    return count;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool SyncDirectory(const std::string& directory) {
    UniqueFd fd(RetryEintr([&] { return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!fd) return false;
    return RetryEintr([&] { return ::fsync(fd.get()); }) == 0 || errno == EINVAL;
}

bool WriteAllFd(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        const ssize_t wrote = RetryEintr([&] { return ::write(fd, bytes, length); });
        if (wrote <= 0) return false;
        bytes += wrote;
        length -= static_cast<size_t>(wrote);
    }
    return true;
}

bool CopyContents(int from, int to) {
    char chunk[65536];
    for (;;) {
        const ssize_t got = RetryEintr([&] { return ::read(from, chunk, sizeof(chunk)); });
        if (got < 0) return false;
        if (got == 0) return true;
        if (!WriteAllFd(to, chunk, static_cast<size_t>(got))) return false;
    }
}

// prefix followed by a part that no other writer in this or another process
// uses at the same time.
std::string UniqueName(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    return prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

// A name beside path that no other writer uses.
std::string UniqueSibling(const std::string& path) { return UniqueName(path + ".tmp"); }

// Copies from into a fresh sibling of to, makes it durable and renames it over
// to, so to is never seen half written.
bool CopyOver(const char* from, const std::string& to) {
    UniqueFd source(RetryEintr([&] { return ::open(from, O_RDONLY | O_CLOEXEC); }));
    struct stat info{};
    if (!source || ::fstat(source.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    const std::string temp = UniqueSibling(to);
    UniqueFd target(RetryEintr(
        [&] { return ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 07777); }));
    if (!target) return false;
    bool ok = CopyContents(source.get(), target.get()) && RetryEintr([&] { return ::fsync(target.get()); }) == 0;
    target.reset();
    ok = ok && ::rename(temp.c_str(), to.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

// The old target stays reachable under backup: a second name for the same
// file when the file system allows links, else a durable copy.
bool KeepBackup(const char* target, const char* backup) {
    const std::string temp = UniqueSibling(backup);
    if (::link(target, temp.c_str()) == 0) {
        if (::rename(temp.c_str(), backup) == 0) return true;
        ::unlink(temp.c_str());
        return false;
    }
    return CopyOver(target, backup);
}

bool RemoveContents(int directory_fd) {
    DIR* directory = ::fdopendir(directory_fd);
    if (!directory) {
        ::close(directory_fd);
        return false;
    }
    while (dirent* entry = ::readdir(directory)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        bool is_directory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info{};
            is_directory = ::fstatat(::dirfd(directory), name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                           S_ISDIR(info.st_mode);
        }
        if (is_directory) {
            // O_NOFOLLOW: a link inside the tree is removed, never followed out of it.
            const int child = ::openat(::dirfd(directory), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child >= 0) RemoveContents(child);
            ::unlinkat(::dirfd(directory), name, AT_REMOVEDIR);
        } else {
            ::unlinkat(::dirfd(directory), name, 0);
        }
    }
    ::closedir(directory);
    return true;
}

int MakeDirectories(std::string& path) {
    const int made = os_mkdir(path.c_str());
    if (made != -1 || errno != ENOENT) return made;
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return -1;
    std::string parent = path.substr(0, slash);
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    if (MakeDirectories(parent) == -1) return -1;
    return os_mkdir(path.c_str());
}

}  // namespace

FILE* os_fopen(const char* path, const char* mode) {
    if (!path || !mode || !*mode) return nullptr;
    // "e" (close-on-exec) goes right after the first letter: the C library
    // reads only the first few mode letters.
    char with_cloexec[64];
    if (std::snprintf(with_cloexec, sizeof(with_cloexec), "%ce%s", mode[0], mode + 1) >=
        static_cast<int>(sizeof(with_cloexec))) {
        errno = EINVAL;
        return nullptr;
    }
    return std::fopen(path, with_cloexec);
}

FILE* os_wfopen(const wchar_t* path, const char* mode) {
    char* utf8 = nullptr;
    os_wcs_to_utf8_ptr(path, 0, &utf8);
    if (!utf8) return nullptr;
    FILE* file = os_fopen(utf8, mode);
    Free(utf8);
    return file;
}

int64_t os_fgetsize(FILE* stream) {
    if (!stream) return -1;
    const off_t position = ::ftello(stream);
    if (position < 0 || ::fseeko(stream, 0, SEEK_END) != 0) return -1;
    const off_t size = ::ftello(stream);
    if (::fseeko(stream, position, SEEK_SET) != 0) return -1;
    return size;
}

int os_fseeki64(FILE* stream, int64_t offset, int origin) {
    return stream ? ::fseeko(stream, static_cast<off_t>(offset), origin) : -1;
}

int64_t os_ftelli64(FILE* stream) { return stream ? ::ftello(stream) : -1; }

size_t os_fread_utf8(FILE* stream, char** out_text) {
    if (!out_text) return 0;
    *out_text = nullptr;
    size_t length = 0;
    char* bytes = ReadWholeStream(stream, &length);
    if (!bytes) return 0;
    size_t skip = 0;
    if (length >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) skip = 3;
    if (length == skip) {
        Free(bytes);
        return 0;
    }
    std::memmove(bytes, bytes + skip, length - skip + 1);
    *out_text = bytes;
    return length - skip;
}

size_t os_fread_mbs(FILE* stream, char** out_text) {
    if (!out_text) return 0;
    *out_text = nullptr;
    size_t length = 0;
    char* bytes = ReadWholeStream(stream, &length);
    if (!bytes) return 0;
    size_t converted = 0;
    if (length > 0) converted = os_mbs_to_utf8_ptr(bytes, length, out_text);
    Free(bytes);
    return converted;
}

char* os_quick_read_file(const char* path, size_t* out_size) {
    FILE* file = os_fopen(path, "rb");
    if (!file) return nullptr;
    size_t length = 0;
    char* bytes = ReadWholeStream(file, &length);
    std::fclose(file);
    if (bytes && length == 0) {
        Free(bytes);
        return nullptr;
    }
    if (bytes && out_size) *out_size = length;
    return bytes;
}

char* os_quick_read_utf8_file(const char* path) {
    FILE* file = os_fopen(path, "rb");
    if (!file) return nullptr;
    char* text = nullptr;
    os_fread_utf8(file, &text);
    std::fclose(file);
    return text;
}

char* os_quick_read_mbs_file(const char* path) {
    FILE* file = os_fopen(path, "rb");
    if (!file) return nullptr;
    char* text = nullptr;
    os_fread_mbs(file, &text);
    std::fclose(file);
    return text;
}

bool os_quick_write_file(const char* path, const char* bytes, size_t length) {
    return WriteFile(path, nullptr, 0, bytes, length);
}

bool os_quick_write_utf8_file(const char* path, const char* text, size_t length, bool marker) {
    return WriteFile(path, "\xEF\xBB\xBF", marker ? 3 : 0, text, length);
}

bool os_quick_write_mbs_file(const char* path, const char* text, size_t length) {
    if (!path) return false;
    char* converted = nullptr;
    size_t converted_length = 0;
    if (text && length > 0) converted_length = os_utf8_to_mbs_ptr(text, length, &converted);
    const bool ok = WriteFile(path, nullptr, 0, converted, converted_length);
    Free(converted);
    return ok;
}

bool os_quick_write_utf8_file_safe(const char* path, const char* text, size_t length, bool marker,
                                   const char* temp_suffix, const char* backup_suffix) {
    if (!path || !*path || !temp_suffix || !*temp_suffix || (!text && length > 0)) return false;
    auto with_suffix = [&](const char* suffix) {
        return std::string(path) + (suffix[0] == '.' ? "" : ".") + suffix;
    };
    std::string backup;
    if (backup_suffix && *backup_suffix) backup = with_suffix(backup_suffix);
    return detail::ReplaceFileContents(path, "\xEF\xBB\xBF", marker ? 3 : 0, text, length, temp_suffix,
                                       backup.empty() ? nullptr : backup.c_str()) == 0;
}

int os_safe_replace(const char* target, const char* from, const char* backup) {
    if (!target || !from || !*target || !*from) return -1;
    const bool keep_backup = backup && *backup;
    if (CountCharacters(target) > kMaxReplacePathCharacters || CountCharacters(from) > kMaxReplacePathCharacters ||
        (keep_backup && CountCharacters(backup) > kMaxReplacePathCharacters))
        return -1;
    {
        // The new content must be on disk before its name replaces the old one.
        UniqueFd source(RetryEintr([&] { return ::open(from, O_RDONLY | O_CLOEXEC); }));
        if (!source) return -1;
        if (RetryEintr([&] { return ::fsync(source.get()); }) != 0 && errno != EINVAL) return -1;
    }
    struct stat existing{};
    if (keep_backup && ::lstat(target, &existing) == 0 && !KeepBackup(target, backup)) return -1;
    if (::rename(from, target) != 0) {
        if (errno != EXDEV || !CopyOver(from, target)) return -1;
        ::unlink(from);
    }
    const std::string directory = DirectoryOf(target);
    SyncDirectory(directory);
    if (keep_backup && DirectoryOf(backup) != directory) SyncDirectory(DirectoryOf(backup));
    return 0;
}

int os_rename(const char* from, const char* to) {
    if (!from || !to) return -1;
    if (::rename(from, to) == 0) return 0;
    if (errno != EXDEV || !CopyOver(from, to)) return -1;
    ::unlink(from);
    return 0;
}

int os_copyfile(const char* from, const char* to) {
    if (!from || !to) return -1;
    UniqueFd source(RetryEintr([&] { return ::open(from, O_RDONLY | O_CLOEXEC); }));
    struct stat info{};
    if (!source || ::fstat(source.get(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    UniqueFd target(
        RetryEintr([&] { return ::open(to, O_WRONLY | O_CREAT | O_CLOEXEC, info.st_mode & 07777); }));
    struct stat target_info{};
    if (!target || ::fstat(target.get(), &target_info) != 0) return -1;
    // Copying a file onto itself would truncate it to nothing.
    if (target_info.st_dev == info.st_dev && target_info.st_ino == info.st_ino) return -1;
    if (RetryEintr([&] { return ::ftruncate(target.get(), 0); }) != 0) return -1;
    if (!CopyContents(source.get(), target.get())) return -1;
    ::fchmod(target.get(), info.st_mode & 07777);
    return 0;
}

int os_mkdir(const char* path) {
    if (!path || !*path) return -1;
    if (::mkdir(path, 0777) == 0) return 0;
    if (errno != EEXIST) return -1;
    struct stat info{};
    if (::stat(path, &info) == 0 && S_ISDIR(info.st_mode)) return 1;
    errno = ENOTDIR;  // a file of that name is not a directory that existed
    return -1;
}

int os_mkdirs(const char* path) {
    if (!path || !*path) return -1;
    std::string normalised(path);
    for (char& c : normalised)
        if (c == '\\') c = '/';
    while (normalised.size() > 1 && normalised.back() == '/') normalised.pop_back();
    return MakeDirectories(normalised);
}

bool os_rmdir(const char* path) {
    if (!path || !*path) return false;
    const int fd = RetryEintr([&] { return ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    if (fd >= 0) RemoveContents(fd);
    return ::rmdir(path) == 0;
}

bool os_pathfile_exist(const char* path) { return path && *path && ::access(path, F_OK) == 0; }

int os_stat(const char* path, struct stat* out) {
    if (!path || !out) return -1;
    return ::stat(path, out) == 0 ? 0 : -1;
}

bool os_path_find_filename(const char* path, char* destination) {
    if (!path || !destination) return false;
    const char* last = nullptr;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') last = p;
    if (!last) return false;
    const char* name = last + 1;
    const char* stop = name;
    while (*stop && *stop != '.') ++stop;
    std::memcpy(destination, name, static_cast<size_t>(stop - name));
    return true;
}

namespace detail {
namespace {

// Temporary files of writers that were killed before their rename: names of
// the form prefix + "-<pid>-<n>" in the directory of prefix whose process is
// gone. A live writer's file is never touched, whoever it belongs to.
void RemoveStaleTemporaries(const std::string& prefix) {
    const std::string directory = DirectoryOf(prefix);
    const size_t slash = prefix.find_last_of('/');
    const std::string start = (slash == std::string::npos ? prefix : prefix.substr(slash + 1)) + "-";
    DIR* listing = ::opendir(directory.c_str());
    if (!listing) return;
    const pid_t self = ::getpid();
    while (dirent* entry = ::readdir(listing)) {
        const char* name = entry->d_name;
        if (std::strncmp(name, start.c_str(), start.size()) != 0) continue;
        char* end = nullptr;
        const long pid = std::strtol(name + start.size(), &end, 10);
        if (pid <= 0 || end == name + start.size() || *end != '-' || !end[1]) continue;
        if (std::strspn(end + 1, "0123456789") != std::strlen(end + 1)) continue;
        if (pid == self || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        ::unlinkat(::dirfd(listing), name, 0);
    }
    ::closedir(listing);
}

}  // namespace

int ReplaceFileContents(const char* path, const char* head, size_t head_length, const char* body,
                        size_t body_length, const char* temp_suffix, const char* backup) {
    if (!path || !*path || (!head && head_length) || (!body && body_length)) return -2;
    std::string suffix = temp_suffix && *temp_suffix ? temp_suffix : ".tmp";
    if (suffix[0] != '.') suffix.insert(suffix.begin(), '.');
    const std::string base = std::string(path) + suffix;

    // The replacement keeps the mode of the file it replaces; a new file gets
    // what fopen would give it.
    struct stat existing{};
    const bool exists = ::stat(path, &existing) == 0 && S_ISREG(existing.st_mode);
    const mode_t mode = exists ? (existing.st_mode & 07777) : 0666;

    std::string temp;
    UniqueFd file;
    for (int attempt = 0; attempt < 100 && !file; ++attempt) {
        // A name left by a killed process of the same pid is simply skipped.
        temp = UniqueName(base);
        file.reset(RetryEintr(
            [&] { return ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode); }));
        if (!file && errno != EEXIST) return -1;
    }
    if (!file) return -1;
    if (exists) ::fchmod(file.get(), mode);  // umask took bits the old file had

    bool ok = WriteAllFd(file.get(), head, head_length) && WriteAllFd(file.get(), body, body_length) &&
              RetryEintr([&] { return ::fsync(file.get()); }) == 0;
    file.reset();
    if (ok && backup && *backup && exists) ok = KeepBackup(path, backup);
    ok = ok && ::rename(temp.c_str(), path) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return -2;
    }
    RemoveStaleTemporaries(base);
    const std::string directory = DirectoryOf(path);
    SyncDirectory(directory);
    if (backup && *backup && DirectoryOf(backup) != directory) SyncDirectory(DirectoryOf(backup));
    return 0;
}

}  // namespace detail

}  // namespace Tools
