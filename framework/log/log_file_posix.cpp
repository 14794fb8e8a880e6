#include "framework/log/log_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

namespace Application {
namespace {

using Tools::detail::RetryEintr;

// iovec entries handed to one writev; IOV_MAX is at least 1024 on Linux.
constexpr size_t kPiecesPerCall = 64;
static_assert(kPiecesPerCall <= IOV_MAX, "writev takes at most IOV_MAX pieces");

}  // namespace

bool LogFile::Open(const std::string& path) {
    // The log holds connection switches and whatever plugins write: no one
    // else may read it. fchmod as well, in case the file existed wider.
    Tools::detail::UniqueFd fd(RetryEintr([&] {
        return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    }));
    if (!fd) return false;
    ::fchmod(fd.get(), 0600);
    fd_ = std::move(fd);
    return true;
}

bool LogFile::Append(const Piece* pieces, size_t count) {
    if (!fd_) return false;
    iovec vector[kPiecesPerCall];
    for (size_t next = 0; next < count;) {
        const size_t used = std::min(count - next, kPiecesPerCall);
        for (size_t i = 0; i < used; ++i)
            vector[i] = {const_cast<char*>(pieces[next + i].data), pieces[next + i].length};
        size_t first = 0;
        while (first < used) {
            const ssize_t wrote =
                RetryEintr([&] { return ::writev(fd_.get(), vector + first, static_cast<int>(used - first)); });
            if (wrote <= 0) return false;
            // A short write (a full disk, a signal mid-way) resumes where it stopped.
            size_t left = static_cast<size_t>(wrote);
            while (first < used && left >= vector[first].iov_len) left -= vector[first++].iov_len;
            if (first < used) {
                vector[first].iov_base = static_cast<char*>(vector[first].iov_base) + left;
                vector[first].iov_len -= left;
            }
        }
        next += used;
    }
    return true;
}

}  // namespace Application
