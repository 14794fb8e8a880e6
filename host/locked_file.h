#pragma once

#include <QFile>

// A file with read and write locks that work across processes. The locks are
// open-file-description locks, so the kernel drops them when the holding
// process dies, however it dies.
class LockedFile : public QFile {
public:
    enum LockMode { NoLock = 0, ReadLock, WriteLock };

    LockedFile() = default;
    explicit LockedFile(const QString& name) : QFile(name) {}
    ~LockedFile() override;

    // Refuses truncation: another process may hold a lock on this file.
    bool open(OpenMode mode) override;
    bool lock(LockMode mode, bool block = true);
    bool unlock();
    bool isLocked() const { return lock_mode_ != NoLock; }
    LockMode lockMode() const { return lock_mode_; }

private:
    LockMode lock_mode_ = NoLock;
};
