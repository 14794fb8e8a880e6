#pragma once

// The one safe replacement of the Tools layer: every whole-file write that
// replaces a file (INI files, os_quick_write_utf8_file_safe) goes through it.

#include <cstddef>

namespace Tools::detail {

// Replaces the file at path by head followed by body: both go to a new file
// beside it, under a name no other writer (thread or process) uses, opened
// exclusively; that file is written, fsynced and renamed over path, and the
// directory is fsynced. A crash at any point leaves the old or the new file
// complete, and two writers never mix: the last rename wins. With backup
// (may be null or empty), the old file stays reachable there. temp_suffix
// starts the temporary name ("" means ".tmp"). The new file keeps the mode
// of the one it replaces.
// 0 done; -1 the temporary file cannot be created (no such directory, no
// permission); -2 writing, syncing, keeping the backup or renaming failed.
// The temporary file never outlives a failure of this process; those of
// writers that were killed (their process is gone) are removed by the next
// successful replacement of the same file.
int ReplaceFileContents(const char* path, const char* head, size_t head_length, const char* body,
                        size_t body_length, const char* temp_suffix, const char* backup);

}  // namespace Tools::detail
