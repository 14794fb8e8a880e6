// Saving with a backup of the old file: the same safe replacement as
// config_save, with the caller's suffix starting the temporary name.
#include "Tools/os.h"
#include "tools/config_p.h"
#include "tools/os_files_p.h"

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
    dstr text;
    dstr_init(&text);
    const bool every_name = config_detail::build_text(&config->user, &text);
    int result = -2;
    // An empty layer holds nothing worth replacing the file (and its backup) with.
    if (text.length) {
        dstr backup_path;
        dstr_init(&backup_path);
        if (backup_suffix && *backup_suffix) path_with_suffix(&backup_path, config->path, backup_suffix);
        result = detail::ReplaceFileContents(config->path, "\xEF\xBB\xBF", 3, text.text, text.length, temp_suffix,
                                             backup_path.text);
        dstr_free(&backup_path);
        if (result == 0 && !every_name) result = -2;
    }
    dstr_free(&text);
    return result;
}

}  // namespace Tools
