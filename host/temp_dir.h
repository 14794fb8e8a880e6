#pragma once

#include <QString>

// Empties a directory: files and links are deleted, subdirectories emptied
// recursively and removed when they were empty on arrival. The directory
// itself is removed only when remove_if_empty is set and it was empty.
// Symbolic links are deleted, never followed. Returns true when nothing
// failed; a missing directory counts as success, an empty path as failure.
bool ClearDirectory(const QString& path, bool remove_if_empty);
