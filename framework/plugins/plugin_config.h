#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "Application/IPlugin.h"

namespace Application {

// One element of "plugins", as read from the file.
struct PluginConfigEntry {
    size_t index = 0;        // position in the "plugins" array, from 0
    bool is_object = false;  // false: config is all defaults (type 0)
    PluginConfig config;
};

using PluginConfigCallback = std::function<void(const PluginConfigEntry&)>;

// Reads the plugin configuration at path and calls on_entry once per element
// of "plugins", in array order. Returns false when the file cannot be read,
// is not valid JSON (strict: no comments) or its top level is not an object;
// error then says why. A "plugins" member of another kind than array yields no
// entries, returns true and also describes itself in error. error is left
// empty when there is nothing to report.
bool ParsePluginConfig(const char* path, const PluginConfigCallback& on_entry, std::string& error);

// Parses text already in memory; the same rules, without the file step.
bool ParsePluginConfigText(const std::string& text, const PluginConfigCallback& on_entry, std::string& error);

}  // namespace Application
