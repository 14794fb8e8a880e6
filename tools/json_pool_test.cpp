#include "tools/json_pool.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tools/json.h"

namespace {

using Tools::json::Json;
using Tools::json::kPoolGranule;
using Tools::json::kPoolLargest;
using Tools::json::pool_allocate;
using Tools::json::pool_deallocate;

struct Live {
    unsigned char* block;
    std::size_t size;
    unsigned char mark;
};

// Every live block is aligned, writable over its whole size and overlaps no
// other: each holds its own mark until it is freed.
void expect_intact(const std::vector<Live>& live) {
    for (const Live& l : live) {
        ASSERT_EQ(reinterpret_cast<uintptr_t>(l.block) % kPoolGranule, 0u);
        for (std::size_t i = 0; i < l.size; ++i) ASSERT_EQ(l.block[i], l.mark) << "block of " << l.size;
    }
}

TEST(JsonPoolTest, BlocksOfEverySizeStayApartAndAreReused) {
    std::vector<Live> live;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 3000; ++i) {
            std::size_t size = 1 + static_cast<std::size_t>(i) % kPoolLargest;
            auto* block = static_cast<unsigned char*>(pool_allocate(size));
            unsigned char mark = static_cast<unsigned char>(i * 7 + round);
            std::memset(block, mark, size);
            live.push_back({block, size, mark});
        }
        expect_intact(live);
        // Free every other block, so that freed and live blocks interleave.
        std::vector<Live> kept;
        for (std::size_t i = 0; i < live.size(); ++i) {
            if (i % 2) {
                pool_deallocate(live[i].block, live[i].size);
            } else {
                kept.push_back(live[i]);
            }
        }
        live.swap(kept);
    }
    expect_intact(live);
    for (const Live& l : live) pool_deallocate(l.block, l.size);
}

// Blocks made on one thread and freed on another, by threads that end while
// holding free blocks: whatever the threads hand around stays intact.
TEST(JsonPoolTest, BlocksCrossThreadsAndOutliveTheirThreads) {
    constexpr int kProducers = 3;
    constexpr int kPerProducer = 20000;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Live> queue;
    int finished = 0;
    std::atomic<long> damaged{0};

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            std::vector<Live> own;
            for (int i = 0; i < kPerProducer; ++i) {
                std::size_t size = 1 + static_cast<std::size_t>(i + p) % kPoolLargest;
                auto* block = static_cast<unsigned char*>(pool_allocate(size));
                unsigned char mark = static_cast<unsigned char>(i + 31 * p);
                std::memset(block, mark, size);
                if (i % 5 == 0) {
                    own.push_back({block, size, mark});  // freed here, later
                    continue;
                }
                std::lock_guard lock(mutex);
                queue.push_back({block, size, mark});
                ready.notify_one();
            }
            for (const Live& l : own) pool_deallocate(l.block, l.size);
            std::lock_guard lock(mutex);
            ++finished;
            ready.notify_all();
        });
    }
    std::thread consumer([&] {
        for (;;) {
            std::unique_lock lock(mutex);
            ready.wait(lock, [&] { return !queue.empty() || finished == kProducers; });
            if (queue.empty()) return;
            Live l = queue.front();
            queue.pop_front();
            lock.unlock();
            for (std::size_t i = 0; i < l.size; ++i) {
                if (l.block[i] != l.mark) ++damaged;
            }
            pool_deallocate(l.block, l.size);
        }
    });
    for (auto& t : producers) t.join();
    consumer.join();
    EXPECT_EQ(damaged.load(), 0);

    // The blocks those threads left behind serve this one.
    std::vector<Live> live;
    for (int i = 0; i < 5000; ++i) {
        std::size_t size = 1 + static_cast<std::size_t>(i) % kPoolLargest;
        auto* block = static_cast<unsigned char*>(pool_allocate(size));
        std::memset(block, 0x5A, size);
        live.push_back({block, size, 0x5A});
    }
    expect_intact(live);
    for (const Live& l : live) pool_deallocate(l.block, l.size);
}

// Documents parsed on some threads and released on others.
TEST(JsonPoolTest, ValuesReleasedOnOtherThreads) {
    std::mutex mutex;
    std::vector<Json> handed;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                std::string text = "{\"n\": " + std::to_string(i) + ", \"t\": \"thread " + std::to_string(t) +
                                   " with a text longer than fifteen bytes\", \"a\": [1.5, 2, {\"x\": null}]}";
                std::string error;
                Json value = Json::parse(text, error);
                if (value.member("n").as_int() != i) ++wrong;
                std::vector<Json> theirs;
                {
                    std::lock_guard lock(mutex);
                    handed.push_back(value);
                    if (handed.size() > 50) theirs.swap(handed);
                }
                for (const Json& v : theirs) {
                    if (v.member("a").element(2).member("x").kind() != Json::NUL) ++wrong;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    for (const Json& v : handed) EXPECT_EQ(v.member("a").element(0).as_double(), 1.5);
}

}  // namespace
