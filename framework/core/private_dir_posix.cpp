#include "framework/core/private_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "Tools/os.h"

namespace Application {

bool MakePrivateDirectory(const char* path) {
    if (!path || !*path) return false;
    std::string normalised(path);
    for (char& c : normalised)
        if (c == '\\') c = '/';
    while (normalised.size() > 1 && normalised.back() == '/') normalised.pop_back();
    if (::mkdir(normalised.c_str(), 0700) != 0) {
        if (errno == ENOENT) {
            const size_t slash = normalised.find_last_of('/');
            if (slash != std::string::npos && slash > 0) Tools::os_mkdirs(normalised.substr(0, slash).c_str());
            ::mkdir(normalised.c_str(), 0700);
        }
    }
    struct stat info {};
    if (::lstat(normalised.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return false;
    // One an older version made 0755 is narrowed.
    return (info.st_mode & 077) == 0 || ::chmod(normalised.c_str(), 0700) == 0;
}

}  // namespace Application
