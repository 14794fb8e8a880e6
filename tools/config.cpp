#include "tools/config_p.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Tools/lexer.h"
#include "Tools/os.h"
#include "tools/os_files_p.h"

namespace Tools {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr size_t kNotFound = static_cast<size_t>(-1);
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

char* copy_text(const char* text) {
    if (!text) text = "";
    return static_cast<char*>(Memdup(text, std::strlen(text) + 1));
}

char* copy_bytes(const char* bytes, size_t n) {
    char* copy = static_cast<char*>(Malloc(n + 1));
    std::memcpy(copy, bytes, n);
    copy[n] = 0;
    return copy;
}

template <typename T>
bool make_room(T*& array, size_t count, size_t& capacity) {
    if (count < capacity) return true;
    const size_t grown = capacity ? capacity * 2 : 4;
    auto* moved = static_cast<T*>(Realloc(array, grown * sizeof(T)));
    if (!moved) return false;
    array = moved;
    capacity = grown;
    return true;
}

// Lists shorter than this are walked; the table would cost more than it saves.
constexpr size_t kIndexThreshold = 8;

inline char fold_ascii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

size_t folded_hash(const char* name) {
    uint64_t hash = 14695981039346656037ull;
    for (const char* p = name ? name : ""; *p; ++p) {
        hash ^= static_cast<unsigned char>(fold_ascii(*p));
        hash *= 1099511628211ull;
    }
    return static_cast<size_t>(hash ^ (hash >> 29));
}

// NameAt: position -> name, for the list the index belongs to.
template <typename NameAt>
void index_insert(config_name_index* index, size_t position, NameAt name_at) {
    const char* name = name_at(position);
    const size_t mask = index->capacity - 1;
    for (size_t slot = folded_hash(name) & mask;; slot = (slot + 1) & mask) {
        const uint32_t held = index->slots[slot];
        if (!held) {
            index->slots[slot] = static_cast<uint32_t>(position + 1);
            ++index->used;
            return;
        }
        if (astrcmpi(name_at(held - 1), name) == 0) return;  // an earlier position keeps the name
    }
}

void index_clear(config_name_index* index) {
    Free(index->slots);
    *index = config_name_index{};
}

template <typename NameAt>
void index_rebuild(config_name_index* index, size_t count, NameAt name_at) {
    index_clear(index);
    if (count < kIndexThreshold || count >= UINT32_MAX / 4) return;
    size_t capacity = 16;
    while (capacity < count * 4) capacity *= 2;
    auto* slots = static_cast<uint32_t*>(Malloc(capacity * sizeof(uint32_t)));
    if (!slots) return;  // lookups fall back to walking
    std::memset(slots, 0, capacity * sizeof(uint32_t));
    index->slots = slots;
    index->capacity = capacity;
    for (size_t i = 0; i < count; ++i) index_insert(index, i, name_at);
}

// After appending the element at position count - 1.
template <typename NameAt>
void index_added(config_name_index* index, size_t count, NameAt name_at) {
    if (!index->slots || (index->used + 1) * 2 > index->capacity) {
        if (count >= kIndexThreshold) index_rebuild(index, count, name_at);
        return;
    }
    index_insert(index, count - 1, name_at);
}

template <typename NameAt>
size_t index_find(const config_name_index* index, size_t count, const char* name, NameAt name_at) {
    if (!index->slots) {
        for (size_t i = 0; i < count; ++i) {
            if (astrcmpi(name_at(i), name) == 0) return i;
        }
        return kNotFound;
    }
    const size_t mask = index->capacity - 1;
    for (size_t slot = folded_hash(name) & mask;; slot = (slot + 1) & mask) {
        const uint32_t held = index->slots[slot];
        if (!held) return kNotFound;
        if (astrcmpi(name_at(held - 1), name) == 0) return held - 1;
    }
}

auto item_names(const config_section* section) {
    return [section](size_t i) -> const char* { return section->items[i].name; };
}

auto section_names(const config_layer* layer) {
    return [layer](size_t i) -> const char* { return layer->sections[i].name; };
}

void free_section(config_section* section) {
    for (size_t i = 0; i < section->count; ++i) {
        Free(section->items[i].name);
        Free(section->items[i].value);
    }
    Free(section->items);
    Free(section->name);
    index_clear(&section->index);
}

// Takes ownership of name.
config_section* add_section(config_layer* layer, char* name) {
    if (!make_room(layer->sections, layer->count, layer->capacity)) {
        Free(name);
        return nullptr;
    }
    config_section* section = &layer->sections[layer->count++];
    *section = config_section{name, nullptr, 0, 0, {}};
    index_added(&layer->index, layer->count, section_names(layer));
    return section;
}

// Takes ownership of name and value.
void add_item(config_section* section, char* name, char* value) {
    if (!make_room(section->items, section->count, section->capacity)) {
        Free(name);
        Free(value);
        return;
    }
    section->items[section->count++] = config_item{name, value};
    index_added(&section->index, section->count, item_names(section));
}

size_t find_section(const config_layer* layer, const char* name, size_t from = 0) {
    if (from == 0) return index_find(&layer->index, layer->count, name, section_names(layer));
    for (size_t i = from; i < layer->count; ++i) {
        if (astrcmpi(layer->sections[i].name, name) == 0) return i;
    }
    return kNotFound;
}

size_t find_item(const config_section* section, const char* key) {
    return index_find(&section->index, section->count, key, item_names(section));
}

// First entry of key in the first section of that name that holds it.
config_item* lookup(const config_layer* layer, const char* section, const char* key) {
    for (size_t s = find_section(layer, section); s != kNotFound; s = find_section(layer, section, s + 1)) {
        const size_t i = find_item(&layer->sections[s], key);
        if (i != kNotFound) return &layer->sections[s].items[i];
    }
    return nullptr;
}

// Takes ownership of value.
void set_value(config_data* config, config_layer* layer, const char* section, const char* key, char* value) {
    Lock lock(config->mutex);
    const size_t s = find_section(layer, section);
    config_section* target = nullptr;
    if (s != kNotFound) {
        target = &layer->sections[s];
        const size_t i = find_item(target, key);
        if (i != kNotFound) {
            Free(target->items[i].value);
            target->items[i].value = value;
            return;
        }
    } else {
        target = add_section(layer, copy_text(section));
        if (!target) {
            Free(value);
            return;
        }
    }
    add_item(target, copy_text(key), value);
}

int64_t read_int(const char* text) {
    if (!text || !*text) return 0;
    if (text[0] == '0' && text[1] == 'x') return std::strtoll(text + 2, nullptr, 16);
    return std::strtoll(text, nullptr, 10);
}

uint64_t read_uint(const char* text) {
    if (!text || !*text) return 0;
    if (text[0] == '0' && text[1] == 'x') return std::strtoull(text + 2, nullptr, 16);
    return std::strtoull(text, nullptr, 10);
}

bool read_bool(const char* text) {
    if (!text || !*text) return false;
    if (astrcmpi(text, "true") == 0) return true;
    return read_uint(text) != 0;
}

double read_double(const char* text) {
    if (!text || !*text) return 0.0;
    return os_strtod(text);
}

char* format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
char* format_text(const char* format, ...) {
    char buffer[64];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return copy_text(buffer);
}

char* format_user_double(double value) {
    char buffer[64];
    if (os_dtostr(value, buffer, sizeof buffer) < 0) std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return copy_text(buffer);
}

inline char* bool_text(bool value) { return copy_text(value ? "true" : "false"); }

config_data* create_handle(const char* path) {
    void* memory = Malloc(sizeof(config_data));
    if (!memory) return nullptr;
    auto* config = new (memory) config_data;
    config->path = path ? copy_text(path) : nullptr;
    config->user = config_layer{nullptr, 0, 0, {}};
    config->defaults = config_layer{nullptr, 0, 0, {}};
    return config;
}

// Reads the file at path into layer; false when it cannot be opened.
bool read_file_into(const char* path, config_layer* layer) {
    FILE* file = os_fopen(path, "rb");
    if (!file) return false;
    char* text = nullptr;
    os_fread_utf8(file, &text);
    std::fclose(file);
    config_detail::parse_text(text, layer);
    Free(text);
    return true;
}

}  // namespace

int config_open(config_data** out, const char* path, config_open_type type) {
    if (!out) return -2;
    config_data* config = create_handle(path);
    *out = config;
    if (!config || !path) return -2;
    FILE* file = os_fopen(path, "rb");
    if (!file && type == CONFIG_OPEN_ALWAYS) file = os_fopen(path, "w+");
    if (!file) return -1;
    char* text = nullptr;
    os_fread_utf8(file, &text);
    std::fclose(file);
    config_detail::parse_text(text, &config->user);
    Free(text);
    return 0;
}

int config_open_string(config_data** out, const char* text) {
    if (!out) return -2;
    config_data* config = create_handle(nullptr);
    *out = config;
    if (!config) return -2;
    config_detail::parse_text(text, &config->user);
    return 0;
}

int config_open_defaults(config_data* config, const char* path) {
    if (!config) return -2;
    config_layer read{nullptr, 0, 0, {}};
    if (!read_file_into(path, &read)) return -1;
    Lock lock(config->mutex);
    for (size_t i = 0; i < read.count; ++i) {
        config_section* section = add_section(&config->defaults, read.sections[i].name);
        if (!section) {
            read.sections[i].name = nullptr;
            free_section(&read.sections[i]);
            continue;
        }
        *section = read.sections[i];
    }
    Free(read.sections);
    index_clear(&read.index);
    return 0;
}

void config_reopen(config_data* config) {
    if (!config || !config->path) return;
    config_layer fresh{nullptr, 0, 0, {}};
    if (!read_file_into(config->path, &fresh)) return;
    config_layer old;
    {
        Lock lock(config->mutex);
        old = config->user;
        config->user = fresh;
    }
    config_detail::free_layer(&old);
}

int config_save(config_data* config) {
    if (!config || !config->path) return -2;
    Lock lock(config->mutex);
    dstr text;
    dstr_init(&text);
    const bool every_name = config_detail::build_text(&config->user, &text);
    const size_t length = text.length;
    const int replaced =
        detail::ReplaceFileContents(config->path, kByteOrderMark, 3, text.text, length, nullptr, nullptr);
    dstr_free(&text);
    if (replaced != 0) return replaced;
    // An empty layer leaves only the mark: nothing the caller set was stored.
    return every_name && length ? 0 : -2;
}

void config_close(config_data* config) {
    if (!config) return;
    config_detail::free_layer(&config->user);
    config_detail::free_layer(&config->defaults);
    Free(config->path);
    config->~config_data();
    Free(config);
}

size_t config_num_sections(config_data* config) {
    if (!config) return 0;
    Lock lock(config->mutex);
    return config->user.count;
}

const char* config_get_section(config_data* config, size_t index) {
    if (!config) return nullptr;
    Lock lock(config->mutex);
    return index < config->user.count ? config->user.sections[index].name : nullptr;
}

const char* config_get_string(config_data* config, const char* section, const char* key, const char* def) {
    if (!config) return def;
    Lock lock(config->mutex);
    if (const config_item* item = lookup(&config->user, section, key)) return item->value;
    if (const config_item* item = lookup(&config->defaults, section, key)) return item->value;
    return def;
}

int64_t config_get_int(config_data* config, const char* section, const char* key, int64_t def) {
    if (!config) return def;
    config_set_default_int(config, section, key, def);
    Lock lock(config->mutex);
    return read_int(config_get_string(config, section, key, ""));
}

uint64_t config_get_uint(config_data* config, const char* section, const char* key, uint64_t def) {
    if (!config) return def;
    config_set_default_uint(config, section, key, def);
    Lock lock(config->mutex);
    return read_uint(config_get_string(config, section, key, ""));
}

bool config_get_bool(config_data* config, const char* section, const char* key, bool def) {
    if (!config) return def;
    config_set_default_bool(config, section, key, def);
    Lock lock(config->mutex);
    return read_bool(config_get_string(config, section, key, ""));
}

double config_get_double(config_data* config, const char* section, const char* key, double def) {
    if (!config) return def;
    config_set_default_double(config, section, key, def);
    Lock lock(config->mutex);
    return read_double(config_get_string(config, section, key, ""));
}

const char* config_get_default_string(config_data* config, const char* section, const char* key) {
    if (!config) return nullptr;
    Lock lock(config->mutex);
    const config_item* item = lookup(&config->defaults, section, key);
    return item ? item->value : nullptr;
}

int64_t config_get_default_int(config_data* config, const char* section, const char* key) {
    if (!config) return 0;
    Lock lock(config->mutex);
    return read_int(config_get_default_string(config, section, key));
}

uint64_t config_get_default_uint(config_data* config, const char* section, const char* key) {
    if (!config) return 0;
    Lock lock(config->mutex);
    return read_uint(config_get_default_string(config, section, key));
}

bool config_get_default_bool(config_data* config, const char* section, const char* key) {
    if (!config) return false;
    Lock lock(config->mutex);
    return read_bool(config_get_default_string(config, section, key));
}

double config_get_default_double(config_data* config, const char* section, const char* key) {
    if (!config) return 0.0;
    Lock lock(config->mutex);
    return read_double(config_get_default_string(config, section, key));
}

void config_set_string(config_data* config, const char* section, const char* key, const char* value) {
    if (config) set_value(config, &config->user, section, key, copy_text(value));
}

void config_set_int(config_data* config, const char* section, const char* key, int64_t value) {
    if (config) set_value(config, &config->user, section, key, format_text("%" PRId64, value));
}

void config_set_uint(config_data* config, const char* section, const char* key, uint64_t value) {
    if (config) set_value(config, &config->user, section, key, format_text("%" PRIu64, value));
}

void config_set_bool(config_data* config, const char* section, const char* key, bool value) {
    if (config) set_value(config, &config->user, section, key, bool_text(value));
}

void config_set_double(config_data* config, const char* section, const char* key, double value) {
    if (config) set_value(config, &config->user, section, key, format_user_double(value));
}

void config_set_default_string(config_data* config, const char* section, const char* key, const char* value) {
    if (config) set_value(config, &config->defaults, section, key, copy_text(value));
}

void config_set_default_int(config_data* config, const char* section, const char* key, int64_t value) {
    if (config) set_value(config, &config->defaults, section, key, format_text("%" PRId64, value));
}

void config_set_default_uint(config_data* config, const char* section, const char* key, uint64_t value) {
    if (config) set_value(config, &config->defaults, section, key, format_text("%" PRIu64, value));
}

void config_set_default_bool(config_data* config, const char* section, const char* key, bool value) {
    if (config) set_value(config, &config->defaults, section, key, bool_text(value));
}

void config_set_default_double(config_data* config, const char* section, const char* key, double value) {
    if (config) set_value(config, &config->defaults, section, key, format_text("%g", value));
}

bool config_has_user_value(config_data* config, const char* section, const char* key) {
    if (!config) return false;
    Lock lock(config->mutex);
    return lookup(&config->user, section, key) != nullptr;
}

bool config_has_default_value(config_data* config, const char* section, const char* key) {
    if (!config) return false;
    Lock lock(config->mutex);
    return lookup(&config->defaults, section, key) != nullptr;
}

bool config_remove_value(config_data* config, const char* section, const char* key) {
    if (!config) return false;
    Lock lock(config->mutex);
    config_layer* layer = &config->user;
    for (size_t s = find_section(layer, section); s != kNotFound; s = find_section(layer, section, s + 1)) {
        config_section* target = &layer->sections[s];
        const size_t i = find_item(target, key);
        if (i == kNotFound) continue;
        Free(target->items[i].name);
        Free(target->items[i].value);
        std::memmove(target->items + i, target->items + i + 1, (target->count - i - 1) * sizeof(config_item));
        --target->count;
        index_rebuild(&target->index, target->count, item_names(target));
        return true;
    }
    return false;
}

bool config_remove_section(config_data* config, const char* section) {
    if (!config) return false;
    Lock lock(config->mutex);
    config_layer* layer = &config->user;
    const size_t s = find_section(layer, section);
    if (s == kNotFound) return false;
    free_section(&layer->sections[s]);
    std::memmove(layer->sections + s, layer->sections + s + 1, (layer->count - s - 1) * sizeof(config_section));
    --layer->count;
    index_rebuild(&layer->index, layer->count, section_names(layer));
    return true;
}

namespace config_detail {

namespace {

inline bool is_line_end(char c) { return c == '\r' || c == '\n'; }

inline bool is_token(const base_token& token, char c) {
    return token.type == BASETOKEN_OTHER && token.text.text[0] == c;
}

inline bool is_line_end_token(const base_token& token) {
    return token.type == BASETOKEN_WHITESPACE && is_line_end(token.text.text[0]);
}

// Consumes tokens up to and including the next line end; returns where the
// line's content ends (the line end itself, or the end of the text).
const char* skip_line(lexer* lex) {
    base_token token;
    while (lexer_getbasetoken(lex, &token, PARSE_WHITESPACE)) {
        if (is_line_end_token(token)) return token.text.text;
    }
    return lex->offset;
}

// A value as written by append_escaped. A backslash followed by "r" or "n"
// gives CR or LF. Where a run of backslashes stands before "r" or "n", its
// pairs are escaped backslashes: an odd run ends in the CR or LF escape, an
// even one leaves the letter as it is. Every other backslash stays, so text
// that never had a backslash before "r" or "n" reads as it always did.
char* unescape_value(const char* begin, const char* end) {
    char* value = static_cast<char*>(Malloc(static_cast<size_t>(end - begin) + 1));
    char* out = value;
    for (const char* p = begin; p < end;) {
        if (*p != '\\') {
            *out++ = *p++;
            continue;
        }
        const char* run = p;
        while (p < end && *p == '\\') ++p;
        size_t length = static_cast<size_t>(p - run);
        if (p == end || (*p != 'r' && *p != 'n')) {
            std::memset(out, '\\', length);
            out += length;
            continue;
        }
        std::memset(out, '\\', length / 2);
        out += length / 2;
        if (length % 2) {
            *out++ = *p == 'r' ? '\r' : '\n';
        } else {
            *out++ = *p;
        }
        ++p;
    }
    *out = 0;
    return value;
}

// Section names must come back from "[name]" unchanged: not empty (that ends
// reading), no "]" and no line end.
bool writable_section_name(const char* name) {
    return name && *name && !std::strpbrk(name, "]\r\n");
}

// Keys must come back from "key=value" unchanged: not empty, not starting
// with a blank, "#" or "[", no line end, and no "=" after the first character.
bool writable_key(const char* key) {
    if (!key || !*key || std::strchr(" \t#[", key[0])) return false;
    if (std::strpbrk(key, "\r\n")) return false;
    return !std::strchr(key + 1, '=');
}

// CR and LF become "\r" and "\n"; a run of backslashes that would stand
// before such an escape or before a literal "r" or "n" is doubled, so that
// unescape_value gives the value back exactly. Other backslashes are written
// as they are, as they always were.
void append_escaped(dstr* out, const char* value) {
    const char* p = value;
    while (*p) {
        const char* run = p;
        while (*p && *p != '\\' && *p != '\r' && *p != '\n') ++p;
        dstr_ncat(out, run, static_cast<size_t>(p - run));
        if (*p == '\\') {
            run = p;
            while (*p == '\\') ++p;
            size_t length = static_cast<size_t>(p - run);
            dstr_ncat(out, run, length);
            if (*p == 'r' || *p == 'n' || *p == '\r' || *p == '\n') dstr_ncat(out, run, length);
        } else if (*p) {
            dstr_ncat(out, *p == '\r' ? "\\r" : "\\n", 2);
            ++p;
        }
    }
}

}  // namespace

void parse_text(const char* text, config_layer* layer) {
    if (!text) return;
    if (std::strncmp(text, "\xEF\xBB\xBF", 3) == 0) text += 3;
    lexer lex;
    lexer_start(&lex, text);
    config_section* section = nullptr;
    base_token token;
    while (lexer_getbasetoken(&lex, &token, PARSE_WHITESPACE)) {
        if (token.type == BASETOKEN_WHITESPACE) continue;
        if (is_token(token, '[')) {
            const char* name_begin = lex.offset;
            const char* name_end = nullptr;
            while (lexer_getbasetoken(&lex, &token, PARSE_WHITESPACE)) {
                if (is_token(token, ']') || is_line_end_token(token)) {
                    name_end = token.text.text;
                    break;
                }
            }
            if (!name_end) name_end = lex.offset;
            if (name_end == name_begin) return;  // "[]" ends reading
            section = add_section(layer, copy_bytes(name_begin, static_cast<size_t>(name_end - name_begin)));
            if (!section) return;
            continue;  // what follows "]" reads as a line of its own
        }
        if (!section || is_token(token, '#')) {
            skip_line(&lex);
            continue;
        }
        // The first character belongs to the key even when it is "=".
        const char* key_begin = token.text.text;
        const char* equals = nullptr;
        bool line_ended = false;
        while (lexer_getbasetoken(&lex, &token, PARSE_WHITESPACE)) {
            if (is_token(token, '=')) {
                equals = token.text.text;
                break;
            }
            if (is_line_end_token(token)) {
                line_ended = true;
                break;
            }
        }
        if (equals) {
            const char* value_end = skip_line(&lex);
            add_item(section, copy_bytes(key_begin, static_cast<size_t>(equals - key_begin)),
                     unescape_value(equals + 1, value_end));
        } else if (!line_ended) {
            add_item(section, copy_bytes(key_begin, static_cast<size_t>(lex.offset - key_begin)), copy_text(""));
        }
    }
}

bool build_text(const config_layer* layer, dstr* out) {
    bool every_name = true;
    bool first = true;
    for (size_t s = 0; s < layer->count; ++s) {
        const config_section& section = layer->sections[s];
        if (!writable_section_name(section.name)) {
            every_name = false;
            continue;
        }
        if (!first) dstr_ncat(out, "\r\n", 2);
        first = false;
        dstr_cat_ch(out, '[');
        dstr_cat(out, section.name);
        dstr_ncat(out, "]\r\n", 3);
        for (size_t i = 0; i < section.count; ++i) {
            const config_item& item = section.items[i];
            if (!writable_key(item.name)) {
                every_name = false;
                continue;
            }
            dstr_cat(out, item.name);
            dstr_cat_ch(out, '=');
            append_escaped(out, item.value);
            dstr_ncat(out, "\r\n", 2);
        }
    }
    return every_name;
}

void free_layer(config_layer* layer) {
    for (size_t i = 0; i < layer->count; ++i) free_section(&layer->sections[i]);
    Free(layer->sections);
    index_clear(&layer->index);
    *layer = config_layer{nullptr, 0, 0, {}};
}

}  // namespace config_detail

}  // namespace Tools
