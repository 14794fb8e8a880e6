// INI reader: whatever the bytes, reading stays inside the input, what a save
// writes reads back as the same sections, keys and values, and any value set
// reads back unchanged after a save.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Tools/config.h"
#include "tools/config_p.h"

namespace {

std::string Dump(const Tools::config_layer& layer) {
    std::string out;
    for (size_t s = 0; s < layer.count; ++s) {
        const Tools::config_section& section = layer.sections[s];
        out += std::to_string(std::strlen(section.name)) + ":" + section.name + "{";
        for (size_t i = 0; i < section.count; ++i) {
            const Tools::config_item& item = section.items[i];
            out += std::to_string(std::strlen(item.name)) + ":" + item.name;
            out += std::to_string(std::strlen(item.value)) + ":" + item.value;
        }
        out += "}";
    }
    return out;
}

const char* WalkLookup(const Tools::config_layer& layer, const char* section, const char* key) {
    for (size_t s = 0; s < layer.count; ++s) {
        if (Tools::astrcmpi(layer.sections[s].name, section) != 0) continue;
        for (size_t i = 0; i < layer.sections[s].count; ++i) {
            if (Tools::astrcmpi(layer.sections[s].items[i].name, key) == 0) return layer.sections[s].items[i].value;
        }
    }
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reader sees terminated text, as a file read gives it.
    const std::string text(reinterpret_cast<const char*>(data), size);
    Tools::config_data* first = nullptr;
    if (Tools::config_open_string(&first, text.c_str()) != 0) std::abort();

    Tools::dstr saved;
    Tools::dstr_init(&saved);
    Tools::config_detail::build_text(&first->user, &saved);
    const std::string file = "\xEF\xBB\xBF" + std::string(saved.text ? saved.text : "", saved.length);
    Tools::dstr_free(&saved);

    Tools::config_data* second = nullptr;
    if (Tools::config_open_string(&second, file.c_str()) != 0) std::abort();
    if (Dump(first->user) != Dump(second->user)) std::abort();

    // Every entry is found where walking the layer finds it first.
    for (size_t s = 0; s < first->user.count; ++s) {
        const Tools::config_section& section = first->user.sections[s];
        for (size_t i = 0; i < section.count; ++i) {
            if (Tools::config_get_string(first, section.name, section.items[i].name, nullptr) !=
                WalkLookup(first->user, section.name, section.items[i].name)) {
                std::abort();
            }
        }
    }

    // Lookups and typed reads over what was found.
    if (first->user.count && first->user.sections[0].count) {
        const char* section = first->user.sections[0].name;
        const char* key = first->user.sections[0].items[0].name;
        if (!Tools::config_has_user_value(first, section, key)) std::abort();
        (void)Tools::config_get_int(first, section, key, 1);
        (void)Tools::config_get_uint(first, section, key, 1);
        (void)Tools::config_get_bool(first, section, key, true);
        (void)Tools::config_get_double(first, section, key, 1.5);
        if (!Tools::config_remove_value(first, section, key)) std::abort();
        (void)Tools::config_remove_section(first, section);
    }
    Tools::config_close(first);
    Tools::config_close(second);

    // The input itself (up to a zero byte) as one value survives a save and
    // a new read, whatever its backslashes and line ends.
    Tools::config_data* set = nullptr;
    if (Tools::config_open_string(&set, "") != 0) std::abort();
    Tools::config_set_string(set, "S", "k", text.c_str());
    Tools::dstr_init(&saved);
    Tools::config_detail::build_text(&set->user, &saved);
    const std::string set_file = std::string(saved.text ? saved.text : "", saved.length);
    Tools::dstr_free(&saved);
    Tools::config_data* reread = nullptr;
    if (Tools::config_open_string(&reread, set_file.c_str()) != 0) std::abort();
    const char* value = Tools::config_get_string(reread, "S", "k", nullptr);
    if (!value || std::strcmp(value, text.c_str()) != 0) std::abort();
    Tools::config_close(set);
    Tools::config_close(reread);
    return 0;
}
