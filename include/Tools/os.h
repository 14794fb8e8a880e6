#pragma once

// Files, processes, libraries, semaphores, encodings, numbers and time over
// the operating system. Paths and texts are UTF-8; "\" is accepted wherever
// a path is turned into "/". Memory returned here comes from Malloc and is
// released with Free. The functions keep no state and may be called from any
// thread. Buffer-taking functions never write past the given size and always
// terminate when size > 0.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/stat.h>

#include <Application/Export.h>

namespace Tools {

// Files and paths.
APP_API FILE* os_fopen(const char* path, const char* mode);
APP_API FILE* os_wfopen(const wchar_t* path, const char* mode);
APP_API int64_t os_fgetsize(FILE* stream);
APP_API int os_fseeki64(FILE* stream, int64_t offset, int origin);
APP_API int64_t os_ftelli64(FILE* stream);
// Whole-stream reads from the start; out_text is null when nothing remains.
// Both return the length of out_text.
APP_API size_t os_fread_utf8(FILE* stream, char** out_text);
APP_API size_t os_fread_mbs(FILE* stream, char** out_text);
APP_API char* os_quick_read_file(const char* path, size_t* out_size);
APP_API char* os_quick_read_utf8_file(const char* path);
APP_API char* os_quick_read_mbs_file(const char* path);
APP_API bool os_quick_write_file(const char* path, const char* bytes, size_t length);
APP_API bool os_quick_write_utf8_file(const char* path, const char* text, size_t length, bool marker);
APP_API bool os_quick_write_mbs_file(const char* path, const char* text, size_t length);
APP_API bool os_quick_write_utf8_file_safe(const char* path, const char* text, size_t length, bool marker,
                                           const char* temp_suffix, const char* backup_suffix);
// Replaces target by from; the old target survives under backup when given.
// A crash at any point leaves either the old or the new target complete.
APP_API int os_safe_replace(const char* target, const char* from, const char* backup);
APP_API int os_rename(const char* from, const char* to);
APP_API int os_copyfile(const char* from, const char* to);
// 0 created, 1 already existed, -1 other failure.
APP_API int os_mkdir(const char* path);
APP_API int os_mkdirs(const char* path);
APP_API bool os_rmdir(const char* path);
APP_API bool os_pathfile_exist(const char* path);
// 0, or -1 with errno set.
APP_API int os_stat(const char* path, struct stat* out);
// Copies the name after the last separator up to its first ".", unterminated:
// destination must be zeroed and hold strlen(path) + 1 bytes.
APP_API bool os_path_find_filename(const char* path, char* destination);
// The path getters return the length, or -1 with an empty destination when
// the whole path does not fit: a cut path could name another file.
APP_API int os_get_executable_file(char* destination, size_t size);
APP_API int os_get_executable_path(char* destination, size_t size, const char* more);
APP_API int os_get_program_data_path(char* destination, size_t size, const char* sub);
APP_API int os_get_downloads_path(char* destination, size_t size);

// Processes. A started child is always reaped, whoever forgets its handle.
struct os_process;
using os_process_t = os_process*;
// The child gets program as its first argument, then command_line split at
// blanks (double quotes group, \" is a quote); only descriptors 0-2 are
// inherited. error_text (at least 64 bytes) receives errno on failure.
APP_API os_process_t os_create_process(const char* program, const char* command_line, char* error_text);
APP_API int os_copy_process(const char* from, const char* to);
APP_API os_process_t os_open_process(uint32_t process_id);
APP_API bool os_process_exists(os_process_t process);
APP_API void os_close_process(os_process_t process);
APP_API uint32_t os_process_id(os_process_t process);
// A descriptor that becomes readable when the process ends (its pidfd), or -1.
APP_API int os_process_wait_fd(os_process_t process);
// How an ended process ended: its exit code, or the signal that killed it
// (0 when it exited). False while it runs or when unknown.
APP_API bool os_process_exit_status(os_process_t process, int* exit_code, int* signal_number);
APP_API uint32_t os_current_pid();
[[noreturn]] APP_API void os_close_current_process();

// Libraries. The loader's reason for the last failure on this thread stays
// readable through os_dlerror.
APP_API void* os_dlopen(const char* path);
APP_API void* os_dlsym(void* library, const char* name);
APP_API void os_dlclose(void* library);
APP_API const char* os_dlerror();

// Named semaphores, private to the user.
struct os_sem;
using os_sem_t = os_sem*;
APP_API os_sem_t SemCreate(int initial_count, int maximum_count, const char* name);
APP_API os_sem_t SemOpen(const char* name);
APP_API bool SemWait(os_sem_t semaphore, int milliseconds);
APP_API void SemRelease(os_sem_t semaphore, int count);
APP_API void SemClose(os_sem_t semaphore, const char* name);

// The user's private runtime directory for sockets, locks and shared blocks:
// $XDG_RUNTIME_DIR/velmora, else $TMPDIR/velmora-<uid> (TMPDIR defaults to
// /tmp), made 0700 when missing. A place that is not a directory of the user
// closed to everyone else is refused, never repaired. Returns the length, or
// -1 with an empty destination when no place can be had or it does not fit.
APP_API int os_get_runtime_dir(char* destination, size_t size);
// For the program that starts the others, before it starts any thread: as
// os_get_runtime_dir, but when both places are refused it takes a private
// directory of its own (found from an earlier start or made with mkdtemp)
// and points XDG_RUNTIME_DIR at it for itself and its children. Returns 0
// (the usual place), 1 (notice names the refused place and the one used) or
// -1 (no safe place; notice says why).
APP_API int os_prepare_runtime_dir(char* destination, size_t size, char* notice, size_t notice_size);

// Encodings: utf8, wide text (wchar_t) and the locale's multi-byte text.
APP_API size_t os_utf8_to_wcs(const char* source, size_t source_length, wchar_t* destination, size_t size);
APP_API size_t os_wcs_to_utf8(const wchar_t* source, size_t source_length, char* destination, size_t size);
APP_API size_t os_mbs_to_wcs(const char* source, size_t source_length, wchar_t* destination, size_t size);
APP_API size_t os_wcs_to_mbs(const wchar_t* source, size_t source_length, char* destination, size_t size);
APP_API size_t os_mbs_to_utf8(const char* source, size_t source_length, char* destination, size_t size);
APP_API size_t os_utf8_to_mbs(const char* source, size_t source_length, char* destination, size_t size);
APP_API size_t os_utf8_to_wcs_ptr(const char* source, size_t source_length, wchar_t** out);
APP_API size_t os_wcs_to_utf8_ptr(const wchar_t* source, size_t source_length, char** out);
APP_API size_t os_mbs_to_wcs_ptr(const char* source, size_t source_length, wchar_t** out);
APP_API size_t os_wcs_to_mbs_ptr(const wchar_t* source, size_t source_length, char** out);
APP_API size_t os_mbs_to_utf8_ptr(const char* source, size_t source_length, char** out);
APP_API size_t os_utf8_to_mbs_ptr(const char* source, size_t source_length, char** out);

// Numbers as text, independent of the locale's decimal point.
APP_API int os_dtostr(double value, char* destination, size_t size);
APP_API double os_strtod(const char* text);

// Time. UTC+8 texts are fixed arithmetic, never the time-zone database.
APP_API uint64_t os_gettime_ms();
APP_API void UTCToPekingString(uint64_t milliseconds, char* destination, size_t size);
APP_API void GenerateTimeDateFilename(char* destination, size_t size, uint64_t seconds, const char* prefix,
                                      const char* suffix);

// System information.
APP_API bool os_is_ch_lang();
APP_API const char* os_nettype_string();

}  // namespace Tools
