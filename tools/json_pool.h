#pragma once

// Storage for JSON value blocks (a value together with its reference
// counts) and for the element buffers of small arrays and objects. A parse
// makes and a release frees tens of thousands of such small blocks at once,
// which general-purpose malloc serves slowly; here each thread keeps free
// blocks by size and hands them back and forth in batches.
// Blocks may be freed on any thread. Memory given to the pool stays with it
// for reuse by later values; it is not returned to the system.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <iterator>
#include <new>
#include <type_traits>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

namespace Tools::json {

// Under the address sanitizer values come from operator new, so that its
// quarantine and leak check see every value; the pool itself stays in use
// (and checked) by its own tests.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kPoolForValues = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kPoolForValues = false;
#else
inline constexpr bool kPoolForValues = true;
#endif
#else
inline constexpr bool kPoolForValues = true;
#endif

inline constexpr std::size_t kPoolGranule = 16;
inline constexpr std::size_t kPoolLargest = 512;  // larger blocks come from operator new

namespace pool_detail {

// Block sizes: every granule up to 64 bytes (values), then steps of about
// half a power of two (element buffers).
inline constexpr std::size_t kClassSizes[] = {16, 32, 48, 64, 96, 128, 192, 256, 384, 512};
inline constexpr std::size_t kClasses = std::size(kClassSizes);
static_assert(kClassSizes[kClasses - 1] == kPoolLargest);

// The class of each size, by granules.
inline constexpr auto kClassOfGranules = [] {
    std::array<unsigned char, kPoolLargest / kPoolGranule + 1> table{};
    std::size_t c = 0;
    for (std::size_t g = 1; g < table.size(); ++g) {
        while (kClassSizes[c] < g * kPoolGranule) ++c;
        table[g] = static_cast<unsigned char>(c);
    }
    return table;
}();

// Blocks moved between a thread and the shared depot at once, and carved
// from one fresh slab: 256 small ones, or 16 KB of larger ones.
inline constexpr auto kBatchOf = [] {
    std::array<std::size_t, kClasses> table{};
    for (std::size_t c = 0; c < kClasses; ++c) table[c] = std::min<std::size_t>(256, 16384 / kClassSizes[c]);
    return table;
}();

constexpr std::size_t class_of(std::size_t size) { return kClassOfGranules[(size + kPoolGranule - 1) / kPoolGranule]; }

// A free block holds the link to the next one. Free blocks are poisoned for
// the address sanitizer, so a use after free is still caught until the
// block is handed out again.
struct Block {
    Block* next;
};

struct List {
    Block* head;
    std::size_t count;
};

inline void poison(void* block, std::size_t size) noexcept { ASAN_POISON_MEMORY_REGION(block, size); }
inline void unpoison(void* block, std::size_t size) noexcept { ASAN_UNPOISON_MEMORY_REGION(block, size); }

// Two lists per size: blocks are taken from and freed to `current`; a full
// `current` becomes `spare`, and only a second full list goes to the depot,
// so that a thread alternating around a batch boundary does not lock.
struct ThreadCache {
    List current[kClasses];
    List spare[kClasses];
    bool ready;    // armed and not retired: frees may take the quick path
    bool armed;    // the reaper will hand the lists back when the thread ends
    bool retired;  // the thread is ending: blocks go straight to the depot
};

// Plain data with constant initialisation: no guard on the quick paths, and
// still usable after the reaper ran.
extern constinit thread_local ThreadCache t_cache;

void* allocate_slow(std::size_t c);
void deallocate_slow(void* block, std::size_t c) noexcept;

}  // namespace pool_detail

// size: 1 to kPoolLargest. Blocks are aligned to kPoolGranule. The quick
// paths are inline: a parse takes and a release gives back one block per
// value and per container.
inline void* pool_allocate(std::size_t size) {
    using namespace pool_detail;
    const std::size_t c = class_of(size);
    List& current = t_cache.current[c];
    if (Block* block = current.head) {
        unpoison(block, kClassSizes[c]);
        current.head = block->next;
        --current.count;
        return block;
    }
    return allocate_slow(c);
}

inline void pool_deallocate(void* pointer, std::size_t size) noexcept {
    using namespace pool_detail;
    const std::size_t c = class_of(size);
    ThreadCache& cache = t_cache;
    List& current = cache.current[c];
    if (cache.ready && current.count < kBatchOf[c]) {
        Block* block = static_cast<Block*>(pointer);
        block->next = current.head;
        poison(block, kClassSizes[c]);
        current.head = block;
        ++current.count;
        return;
    }
    deallocate_slow(pointer, c);
}

// For std::allocate_shared: one block at a time from the pool.
template <typename T>
struct PoolAllocator {
    using value_type = T;

    PoolAllocator() noexcept = default;
    template <typename U>
    PoolAllocator(const PoolAllocator<U>&) noexcept {}

    static constexpr bool pooled(std::size_t n) {
        return kPoolForValues && n == 1 && sizeof(T) <= kPoolLargest && alignof(T) <= kPoolGranule;
    }

    T* allocate(std::size_t n) {
        if (pooled(n)) return static_cast<T*>(pool_allocate(sizeof(T)));
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* block, std::size_t n) noexcept {
        if (pooled(n)) {
            pool_deallocate(block, sizeof(T));
        } else {
            std::allocator<T>().deallocate(block, n);
        }
    }

    template <typename U>
    bool operator==(const PoolAllocator<U>&) const noexcept {
        return true;
    }
};

// For the buffers of std::vector<Json> and of object members: buffers of
// up to kPoolLargest bytes from the pool, larger ones from operator new.
template <typename T>
struct BufferAllocator {
    using value_type = T;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using propagate_on_container_move_assignment = std::true_type;
    using is_always_equal = std::true_type;

    static constexpr bool pooled(std::size_t n) {
        return kPoolForValues && alignof(T) <= kPoolGranule && n != 0 && n <= kPoolLargest / sizeof(T);
    }

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) throw std::bad_array_new_length();
        if (pooled(n)) return static_cast<T*>(pool_allocate(n * sizeof(T)));
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* block, std::size_t n) noexcept {
        if (pooled(n)) {
            pool_deallocate(block, n * sizeof(T));
        } else {
            ::operator delete(block);
        }
    }
};

}  // namespace Tools::json
