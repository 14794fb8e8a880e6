#pragma once

#include <string>

#include "Application/IPlugin.h"

namespace Application {

// Where the plugin manager finds the file of a configuration entry, resolved
// the way its loader resolves it. Empty when there is no file (built-in) or
// the executable's folder cannot be determined.

// Type 2: the configured file as it is when it exists, else beside the
// executable; what the plugin manager hands to the loader.
std::string LibraryPathForLoader(const std::string& file);
// The same with "/" separators and ".so" completed, as the loader opens it.
std::string ResolveLibraryFile(const std::string& file);
// Type 3: plugin_process beside the executable (".exe" dropped when only the
// name without it exists).
std::string ResolveProcessFile(const std::string& plugin_process);
// By the entry's type.
std::string ResolvePluginFile(const PluginConfig& config);

}  // namespace Application
