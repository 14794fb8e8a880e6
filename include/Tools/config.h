#pragma once

#include <cstddef>
#include <cstdint>

#include <Application/Export.h>

namespace Tools {

// An INI handle with a user layer (read from and saved to one file) and a
// default layer (filled by the program, never written). Opaque; created only
// by the open functions and destroyed only by config_close. Each handle has a
// recursive lock; text returned by getters points into the handle and must be
// copied before another thread may change that entry.
struct config_data;

enum config_open_type : int {
    CONFIG_OPEN_EXISTING = 0,  // the file must exist
    CONFIG_OPEN_ALWAYS = 1,    // a missing file is created empty
};

// Result codes: 0 success, -1 cannot open (for a save: the file's directory
// cannot take a new file), -2 other failure.
//
// Saving writes EF BB BF and CR LF line ends, always through a safe
// replacement: the text goes to a new file beside the target under a name of
// its own (the temporary suffix of config_save_safe starts that name), which
// is written, fsynced and renamed over the target, and the directory is
// fsynced. A crash at any moment leaves the old or the new file complete, and
// two writers, threads or processes, never leave a mix of their texts.
//
// Values: CR and LF are written as "\r" and "\n", which reading turns back. A
// run of backslashes that would stand before such an escape, or before a
// literal "r" or "n", is written doubled, and reading halves it again, so
// every value reads back exactly; other backslashes are written as they are.
//
// Names: a section name or key that reading could not give back unchanged
// (an empty name, "]" or a line end in a section name; a key that is empty,
// starts with a blank, "#" or "[", or holds a line end or a later "=") is left
// out of the file, with the rest written as usual, and the save returns -2.
// A user layer with nothing in it writes only EF BB BF (config_save) or
// nothing at all (config_save_safe), and returns -2.
APP_API int config_open(config_data** out, const char* path, config_open_type type);
APP_API int config_open_string(config_data** out, const char* text);
APP_API int config_open_defaults(config_data* config, const char* path);
APP_API void config_reopen(config_data* config);
APP_API int config_save(config_data* config);
APP_API int config_save_safe(config_data* config, const char* temp_suffix, const char* backup_suffix);
APP_API void config_close(config_data* config);

APP_API size_t config_num_sections(config_data* config);
APP_API const char* config_get_section(config_data* config, size_t index);

APP_API const char* config_get_string(config_data* config, const char* section, const char* key,
                                      const char* def);
APP_API int64_t config_get_int(config_data* config, const char* section, const char* key, int64_t def);
APP_API uint64_t config_get_uint(config_data* config, const char* section, const char* key, uint64_t def);
APP_API bool config_get_bool(config_data* config, const char* section, const char* key, bool def);
APP_API double config_get_double(config_data* config, const char* section, const char* key, double def);

APP_API const char* config_get_default_string(config_data* config, const char* section, const char* key);
APP_API int64_t config_get_default_int(config_data* config, const char* section, const char* key);
APP_API uint64_t config_get_default_uint(config_data* config, const char* section, const char* key);
APP_API bool config_get_default_bool(config_data* config, const char* section, const char* key);
APP_API double config_get_default_double(config_data* config, const char* section, const char* key);

APP_API void config_set_string(config_data* config, const char* section, const char* key, const char* value);
APP_API void config_set_int(config_data* config, const char* section, const char* key, int64_t value);
APP_API void config_set_uint(config_data* config, const char* section, const char* key, uint64_t value);
APP_API void config_set_bool(config_data* config, const char* section, const char* key, bool value);
APP_API void config_set_double(config_data* config, const char* section, const char* key, double value);

APP_API void config_set_default_string(config_data* config, const char* section, const char* key,
                                       const char* value);
APP_API void config_set_default_int(config_data* config, const char* section, const char* key, int64_t value);
APP_API void config_set_default_uint(config_data* config, const char* section, const char* key,
                                     uint64_t value);
APP_API void config_set_default_bool(config_data* config, const char* section, const char* key, bool value);
APP_API void config_set_default_double(config_data* config, const char* section, const char* key,
                                       double value);

APP_API bool config_has_user_value(config_data* config, const char* section, const char* key);
APP_API bool config_has_default_value(config_data* config, const char* section, const char* key);
APP_API bool config_remove_value(config_data* config, const char* section, const char* key);
APP_API bool config_remove_section(config_data* config, const char* section);

}  // namespace Tools
