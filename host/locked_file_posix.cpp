#include "host/locked_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool SetLock(int fd, short type, bool block) {
    struct flock request = {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 0;  // the whole file
    int result;
    do {
        result = fcntl(fd, block ? F_OFD_SETLKW : F_OFD_SETLK, &request);
    } while (result == -1 && errno == EINTR);
    return result == 0;
}

}  // namespace

LockedFile::~LockedFile() {
    if (isOpen()) unlock();
}

bool LockedFile::open(OpenMode mode) {
    if (mode & QIODevice::Truncate) {
        qWarning("LockedFile::open(): truncate mode not allowed.");
        return false;
    }
    return QFile::open(mode);
}

bool LockedFile::lock(LockMode mode, bool block) {
    if (!isOpen()) {
        qWarning("LockedFile::lock(): file is not opened");
        return false;
    }
    if (mode == NoLock) return unlock();
    if (mode == lock_mode_) return true;
    if (lock_mode_ != NoLock) unlock();
    if (!SetLock(handle(), mode == ReadLock ? F_RDLCK : F_WRLCK, block)) {
        if (errno != EAGAIN && errno != EACCES)
            qWarning("LockedFile::lock(): fcntl: %s", std::strerror(errno));
        return false;
    }
    lock_mode_ = mode;
    return true;
}

bool LockedFile::unlock() {
    if (!isOpen()) {
        qWarning("LockedFile::unlock(): file is not opened");
        return false;
    }
    if (!isLocked()) return true;
    if (!SetLock(handle(), F_UNLCK, false)) return false;
    lock_mode_ = NoLock;
    return true;
}
