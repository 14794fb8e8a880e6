#include "tools/json_pool.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <vector>

namespace Tools::json::pool_detail {
namespace {

void push(List& list, Block* block, std::size_t size) noexcept {
    block->next = list.head;
    poison(block, size);
    list.head = block;
    ++list.count;
}

Block* pop(List& list, std::size_t size) noexcept {
    Block* block = list.head;
    unpoison(block, size);
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

}  // namespace

constinit thread_local ThreadCache t_cache{};

namespace {

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
        t_cache.ready = false;
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
    const std::size_t size = kClassSizes[c];
    const std::size_t count = kBatchOf[c];
    Depot& d = depot();
    {
        std::lock_guard lock(d.mutex);
        if (!d.batches[c].empty()) {
            List list = d.batches[c].back();
            d.batches[c].pop_back();
            return list;
        }
    }
    char* slab = static_cast<char*>(std::malloc(size * count));
    if (!slab) throw std::bad_alloc();
    {
        std::lock_guard lock(d.mutex);
        d.slabs.push_back(slab);
    }
    List list{};
    for (std::size_t i = count; i-- > 0;) push(list, reinterpret_cast<Block*>(slab + i * size), size);
    return list;
}

// Before a thread's first block: the reaper will hand its lists back when
// the thread ends.
void arm(ThreadCache& cache) {
    if (cache.armed) return;
    t_reaper.arm();
    cache.armed = true;
    cache.ready = true;
}

}  // namespace

void* allocate_slow(std::size_t c) {
    const std::size_t rounded = kClassSizes[c];
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
    arm(cache);
    current = take_batch(c);
    return pop(current, rounded);
}

void deallocate_slow(void* pointer, std::size_t c) noexcept {
    const std::size_t rounded = kClassSizes[c];
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
    // A thread may only ever free blocks; what it holds must still go back
    // when it ends.
    arm(cache);
    List& current = cache.current[c];
    if (current.count >= kBatchOf[c]) {
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

}  // namespace Tools::json::pool_detail
