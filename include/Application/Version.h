#pragma once

// What the loaded framework library was built as, for a program that wants to
// say so (`Velmora --version`) or to tell a library of another build apart.
// Any thread; no application object needed.

#include <cstdint>

#include <Application/Export.h>

namespace Application {

// The library's version, "major.minor.patch" ("2.21.0"); a static text.
APP_API const char* LibraryVersion();

// The plugin interface version the library was built with (kPluginAbiVersion
// of its own build); differs from a plugin's or program's header when they
// were built against another release.
APP_API int32_t LibraryPluginAbiVersion();

}  // namespace Application
