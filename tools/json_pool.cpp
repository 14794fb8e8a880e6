#include "tools/json_pool.h"

#include <pthread.h>

#include <cstdlib>
#include <mutex>
#include <vector>

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
namespace {

constexpr std::size_t kClasses = kPoolLargest / kPoolGranule;
// Blocks moved between a thread and the shared depot at once; also the
// number of blocks carved from one fresh slab.
constexpr std::size_t kBatch = 256;

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

void push(List& list, Block* block, std::size_t size) noexcept {
    block->next = list.head;
    ASAN_POISON_MEMORY_REGION(block, size);
    list.head = block;
    ++list.count;
}

Block* pop(List& list, std::size_t size) noexcept {
    Block* block = list.head;
    ASAN_UNPOISON_MEMORY_REGION(block, size);
    list.head = block->next;
    --list.count;
    return block;
}

// Full batches that threads gave back, and every slab ever carved. Never
// destroyed: values may still be freed while the process exits.
struct Depot {
    std::mutex mutex;
    std::vector<List> batches[kClasses];
    std::vector<void*> slabs;
};

Depot& depot() {
    static Depot* const instance = [] {
        Depot* created = new Depot;
        // A forked child must not inherit the lock held by a thread it lacks.
        ::pthread_atfork([] { depot().mutex.lock(); }, [] { depot().mutex.unlock(); },
                         [] { depot().mutex.unlock(); });
        return created;
    }();
    return *instance;
}

// Two lists per size: blocks are taken from and freed to `current`; a full
// `current` becomes `spare`, and only a second full list goes to the depot,
// so that a thread alternating around a batch boundary does not lock.
struct ThreadCache {
    List current[kClasses];
    List spare[kClasses];
    bool armed;    // the reaper will hand the lists back when the thread ends
    bool retired;  // the thread is ending: blocks go straight to the depot
};

// Plain data with constant initialisation: no guard on the fast paths, and
// still usable after the reaper ran.
constinit thread_local ThreadCache t_cache{};

void give_back(List& list, std::size_t c) {
    if (list.count == 0) return;
    Depot& d = depot();
    std::lock_guard lock(d.mutex);
    d.batches[c].push_back(list);
    list = List{};
}

struct Reaper {
    void arm() noexcept {}
    ~Reaper() {
        t_cache.retired = true;
        try {
            for (std::size_t c = 0; c < kClasses; ++c) {
                give_back(t_cache.current[c], c);
                give_back(t_cache.spare[c], c);
            }
        } catch (...) {
            // Out of memory for the depot's lists: those blocks stay unused.
        }
    }
};
thread_local Reaper t_reaper;

// A batch from the depot, or a fresh slab carved into one.
List take_batch(std::size_t c) {
    const std::size_t size = (c + 1) * kPoolGranule;
    Depot& d = depot();
    {
        std::lock_guard lock(d.mutex);
        if (!d.batches[c].empty()) {
            List list = d.batches[c].back();
            d.batches[c].pop_back();
            return list;
        }
    }
    char* slab = static_cast<char*>(std::malloc(size * kBatch));
    if (!slab) throw std::bad_alloc();
    {
        std::lock_guard lock(d.mutex);
        d.slabs.push_back(slab);
    }
    List list{};
    for (std::size_t i = kBatch; i-- > 0;) push(list, reinterpret_cast<Block*>(slab + i * size), size);
    return list;
}

std::size_t class_of(std::size_t size) { return (size + kPoolGranule - 1) / kPoolGranule - 1; }

}  // namespace

void* pool_allocate(std::size_t size) {
    const std::size_t c = class_of(size);
    const std::size_t rounded = (c + 1) * kPoolGranule;
    ThreadCache& cache = t_cache;
    List& current = cache.current[c];
    if (current.head) return pop(current, rounded);
    if (cache.spare[c].head) {
        current = cache.spare[c];
        cache.spare[c] = List{};
        return pop(current, rounded);
    }
    if (cache.retired) {
        // Take one block and return the rest at once.
        List list = take_batch(c);
        Block* block = pop(list, rounded);
        give_back(list, c);
        return block;
    }
    if (!cache.armed) {
        t_reaper.arm();
        cache.armed = true;
    }
    current = take_batch(c);
    return pop(current, rounded);
}

void pool_deallocate(void* pointer, std::size_t size) noexcept {
    const std::size_t c = class_of(size);
    const std::size_t rounded = (c + 1) * kPoolGranule;
    Block* block = static_cast<Block*>(pointer);
    ThreadCache& cache = t_cache;
    if (cache.retired) {
        List single{};
        push(single, block, rounded);
        try {
            give_back(single, c);
        } catch (...) {
            // Out of memory for the depot's list: the block stays unused.
        }
        return;
    }
    if (!cache.armed) {
        // A thread may only ever free blocks; what it holds must still go
        // back when it ends.
        t_reaper.arm();
        cache.armed = true;
    }
    List& current = cache.current[c];
    if (current.count >= kBatch) {
        List& spare = cache.spare[c];
        if (spare.count != 0) {
            // When the depot cannot take the list (out of memory), the
            // thread keeps it, beyond its usual bound.
            try {
                give_back(spare, c);
            } catch (...) {
            }
        }
        if (spare.count == 0) {
            spare = current;
            current = List{};
        }
    }
    push(current, block, rounded);
}

}  // namespace Tools::json
