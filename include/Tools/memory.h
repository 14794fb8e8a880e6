#pragma once

#include <cstddef>

#include <Application/Export.h>

// The library's allocator. Objects that cross the library boundary (plugins,
// creators, components) are allocated here and released here, so memory
// never changes allocator.
extern "C" {
APP_API void* Malloc(size_t size);
APP_API void Free(void* block);
APP_API void* Realloc(void* block, size_t size);
APP_API void* Memdup(const void* source, size_t size);
}
