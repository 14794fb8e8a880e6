#include "Tools/memory.h"

#include <cstdlib>
#include <cstring>

extern "C" {

void* Malloc(size_t size) { return std::malloc(size); }

void Free(void* block) { std::free(block); }

void* Realloc(void* block, size_t size) { return std::realloc(block, size); }

void* Memdup(const void* source, size_t size) {
    void* copy = std::malloc(size ? size : 1);
    if (copy && source && size) std::memcpy(copy, source, size);
    return copy;
}

}
