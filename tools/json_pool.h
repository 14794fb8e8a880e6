#pragma once

// Storage for JSON value blocks (a value together with its reference
// counts). A parse makes and a release frees tens of thousands of such small
// blocks at once, which general-purpose malloc serves slowly; here each
// thread keeps free blocks by size and hands them back and forth in batches.
// Blocks may be freed on any thread. Memory given to the pool stays with it
// for reuse by later values; it is not returned to the system.

#include <cstddef>
#include <memory>
#include <new>

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
inline constexpr std::size_t kPoolLargest = 64;  // larger blocks come from operator new

// size: 1 to kPoolLargest. Blocks are aligned to kPoolGranule.
void* pool_allocate(std::size_t size);
void pool_deallocate(void* block, std::size_t size) noexcept;

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

}  // namespace Tools::json
