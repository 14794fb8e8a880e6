#include "framework/plugins/plugin_config.h"

#include <cerrno>
#include <cstring>

#include "Tools/memory.h"
#include "Tools/os.h"
#include "tools/json.h"

namespace Application {
namespace {

using Tools::json::Json;

PluginConfig ReadEntry(const Json& entry, const std::string& default_process) {
    PluginConfig config;
    config.type = entry.member("type").as_int();
    config.file = entry.member("file").as_string();
    config.name = entry.member("name").as_string();
    config.cmdline = entry.member("cmdline").as_string();
    config.plugin_process = entry.member("plugin_process").as_string();
    if (config.plugin_process.empty()) config.plugin_process = default_process;
    config.ensure_process = entry.member("ensure_process").as_bool();
    config.load_delay = entry.member("load_delay").as_bool();
    // A "startup_info" of another kind reads as an empty object here.
    const Json& startup = entry.member("startup_info");
    config.msg_id = startup.member("msg_id").as_int();
    config.msg_mod = startup.member("msg_mod").as_string();
    return config;
}

}  // namespace

bool ParsePluginConfigText(const std::string& text, const PluginConfigCallback& on_entry, std::string& error) {
    error.clear();
    std::string parse_error;
    Json root = Json::parse(text, parse_error, Tools::json::ParseMode::strict);
    if (root.kind() != Json::OBJECT) {
        error = parse_error.empty() ? std::string("the top level is not an object")
                                    : "not valid JSON: " + parse_error;
        return false;
    }
    const std::string& default_process = root.member("plugin_process").as_string();
    const Json& plugins = root.member("plugins");
    if (plugins.kind() != Json::ARRAY) {
        if (plugins.kind() != Json::NUL) error = "\"plugins\" is not an array, no plugin created";
        return true;
    }
    const auto& elements = plugins.as_array();
    for (size_t i = 0; i < elements.size(); ++i) {
        PluginConfigEntry entry;
        entry.index = i;
        entry.is_object = elements[i].kind() == Json::OBJECT;
        if (entry.is_object) entry.config = ReadEntry(elements[i], default_process);
        on_entry(entry);
    }
    return true;
}

bool ParsePluginConfig(const char* path, const PluginConfigCallback& on_entry, std::string& error) {
    error.clear();
    if (!path || !*path) {
        error = "cannot read the file: no path";
        return false;
    }
    errno = 0;
    char* text = Tools::os_quick_read_utf8_file(path);
    if (!text) {
        const int saved = errno;
        error = std::string("cannot read the file: ") + (saved ? std::strerror(saved) : "unknown error");
        return false;
    }
    std::string content(text);
    ::Free(text);
    // Files this system writes start with a byte-order mark.
    if (content.rfind("\xEF\xBB\xBF", 0) == 0) content.erase(0, 3);
    return ParsePluginConfigText(content, on_entry, error);
}

}  // namespace Application
