#include "host/temp_dir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

bool ClearDirectory(const QString& path, bool remove_if_empty) {
    // QDir would take an empty path for the working directory.
    if (path.isEmpty()) return false;
    QDir dir(path);
    if (!dir.exists()) return true;
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    if (entries.isEmpty() && remove_if_empty) {
        dir.removeRecursively();
        return true;
    }
    bool ok = true;
    for (const QFileInfo& entry : entries) {
        if (entry.isSymLink() || entry.isFile() || !entry.isDir()) {
            // A read-only file would refuse deletion; give the owner write access first.
            if (!entry.isSymLink()) QFile::setPermissions(entry.absoluteFilePath(), QFileDevice::WriteOwner);
            if (!QFile::remove(entry.absoluteFilePath())) ok = false;
        } else if (!ClearDirectory(entry.absoluteFilePath(), true)) {
            ok = false;
        }
    }
    return ok;
}
