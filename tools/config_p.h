#pragma once

// Internals of the INI handle, shared by the config sources and their tests.

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "Tools/config.h"
#include "Tools/dstr.h"

namespace Tools {

// Open-addressing table from a case-folded name to the first position that
// holds it (stored as position + 1; 0 marks a free slot). Built only once a
// list is long enough for a linear walk to hurt; absent slots mean "walk".
struct config_name_index {
    uint32_t* slots = nullptr;
    size_t capacity = 0;
    size_t used = 0;
};

struct config_item {
    char* name;
    char* value;  // never absent; "" for an empty value
};

struct config_section {
    char* name;
    config_item* items;
    size_t count;
    size_t capacity;
    config_name_index index;
};

struct config_layer {
    config_section* sections;
    size_t count;
    size_t capacity;
    config_name_index index;
};

struct config_data {
    char* path;  // absent for a handle made from text
    config_layer user;
    config_layer defaults;
    std::recursive_mutex mutex;
};

namespace config_detail {

// Appends the sections read from text (zero-terminated) to layer.
void parse_text(const char* text, config_layer* layer);

// The file form of the layer, without the byte-order mark. Names and keys
// that could not be read back as they are (see config.cpp) are left out;
// false when that happened.
bool build_text(const config_layer* layer, dstr* out);

void free_layer(config_layer* layer);

}  // namespace config_detail

}  // namespace Tools
