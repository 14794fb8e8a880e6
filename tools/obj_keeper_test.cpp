#include "Tools/obj_keeper.h"

#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Kept : Tools::ObjKeeper {
    int payload = 0;
};

TEST(ObjKeeperTest, LiveUntilDestroyed) {
    auto* object = new Kept;
    const uintptr_t id = object->getObjID();
    EXPECT_NE(id, 0u);
    EXPECT_TRUE(object->isAlive());
    EXPECT_TRUE(Tools::ObjKeeper::IsAlive(id));
    delete object;
    EXPECT_FALSE(Tools::ObjKeeper::IsAlive(id));
    EXPECT_FALSE(Tools::ObjKeeper::IsAlive(0));
}

// The fault this guards against: a task posted for an object runs after the
// object is gone and a new one was built in the same memory.
TEST(ObjKeeperTest, ATaskOfAnObjectReplacedAtTheSameAddressSeesItDead) {
    alignas(Kept) unsigned char storage[sizeof(Kept)];
    std::vector<std::function<bool()>> posted;
    auto* first = new (storage) Kept;
    posted.push_back([id = first->getObjID()] { return Tools::ObjKeeper::IsAlive(id); });
    first->~Kept();
    auto* second = new (storage) Kept;
    ASSERT_EQ(static_cast<void*>(second), static_cast<void*>(first));
    posted.push_back([id = second->getObjID()] { return Tools::ObjKeeper::IsAlive(id); });
    EXPECT_FALSE(posted[0]()) << "the first object's task took its successor for it";
    EXPECT_TRUE(posted[1]());
    EXPECT_TRUE(second->isAlive());
    second->~Kept();
    EXPECT_FALSE(posted[1]());
}

// Heap reuse, the way it happens after an immediate restart: ids differ even
// where the allocator hands out the same address again.
TEST(ObjKeeperTest, IdsAreNeverReused) {
    std::vector<uintptr_t> ids;
    for (int i = 0; i < 1000; ++i) {
        auto object = std::make_unique<Kept>();
        ids.push_back(object->getObjID());
    }
    for (size_t i = 1; i < ids.size(); ++i) EXPECT_GT(ids[i], ids[i - 1]);
    for (uintptr_t id : ids) EXPECT_FALSE(Tools::ObjKeeper::IsAlive(id));
}

TEST(ObjKeeperTest, CopiesAreNotRegistered) {
    Kept original;
    const uintptr_t original_id = original.getObjID();
    {
        Kept copy(original);
        EXPECT_FALSE(copy.isAlive());
        EXPECT_EQ(copy.getObjID(), 0u);
        Kept assigned;
        const uintptr_t assigned_id = assigned.getObjID();
        assigned = original;
        EXPECT_TRUE(assigned.isAlive());
        EXPECT_EQ(assigned.getObjID(), assigned_id) << "assignment changes nothing";
    }
    EXPECT_TRUE(original.isAlive());
    EXPECT_EQ(original.getObjID(), original_id);
    EXPECT_NE(Kept().getObjID(), original.getObjID());
}

TEST(ObjKeeperTest, ConcurrentCreateAndCheck) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                auto object = std::make_unique<Kept>();
                const uintptr_t id = object->getObjID();
                if (!object->isAlive()) ++failures;
                object.reset();
                if (Tools::ObjKeeper::IsAlive(id)) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
