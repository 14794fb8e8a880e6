// Saving through a temporary file that then replaces the target, so a crash
// leaves either the old or the new file complete.
#include <cstdio>
#include <cstring>

#include "Tools/os.h"
#include "tools/config_p.h"

namespace Tools {

namespace {

// path + "." + suffix, without doubling a "." the suffix already begins with.
void path_with_suffix(dstr* out, const char* path, const char* suffix) {
    dstr_copy(out, path);
    if (suffix[0] != '.') dstr_cat_ch(out, '.');
    dstr_cat(out, suffix);
}

}  // namespace

int config_save_safe(config_data* config, const char* temp_suffix, const char* backup_suffix) {
    if (!config || !config->path || !temp_suffix || !*temp_suffix) return -2;
    std::lock_guard<std::recursive_mutex> lock(config->mutex);
    dstr temp_path;
    dstr_init(&temp_path);
    path_with_suffix(&temp_path, config->path, temp_suffix);

    char* path = config->path;
    config->path = temp_path.text;
    int result = config_save(config);
    config->path = path;

    if (result == 0) {
        dstr backup_path;
        dstr_init(&backup_path);
        if (backup_suffix && *backup_suffix) path_with_suffix(&backup_path, path, backup_suffix);
        if (os_safe_replace(path, temp_path.text, backup_path.text) != 0) result = -2;
        dstr_free(&backup_path);
    } else if (result == -2) {
        // A partly written temporary file is of no use to anyone.
        std::remove(temp_path.text);
    }
    dstr_free(&temp_path);
    return result;
}

}  // namespace Tools
