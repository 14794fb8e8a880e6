#include "Tools/obj_keeper.h"

#include <atomic>
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
    EXPECT_TRUE(object->isAlive());
    EXPECT_TRUE(Tools::ObjKeeper::IsAlive(id));
    delete object;
    EXPECT_FALSE(Tools::ObjKeeper::IsAlive(id));

    // Asking the dead object itself reads only its address.
    alignas(Kept) unsigned char storage[sizeof(Kept)];
    auto* in_place = new (storage) Kept;
    in_place->~Kept();
    EXPECT_FALSE(in_place->isAlive());
}

TEST(ObjKeeperTest, ReconstructedAtSameAddressIsAliveAgain) {
    alignas(Kept) unsigned char storage[sizeof(Kept)];
    auto* first = new (storage) Kept;
    first->~Kept();
    EXPECT_FALSE(first->isAlive());
    auto* second = new (storage) Kept;
    EXPECT_TRUE(second->isAlive());
    second->~Kept();
}

TEST(ObjKeeperTest, CopiesAreNotRegistered) {
    Kept original;
    {
        Kept copy(original);
        EXPECT_FALSE(copy.isAlive());
        Kept assigned;
        assigned = original;
        EXPECT_TRUE(assigned.isAlive());
    }
    EXPECT_TRUE(original.isAlive());
    EXPECT_NE(Kept().getObjID(), original.getObjID());
}

TEST(ObjKeeperTest, ConcurrentCreateAndCheck) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                auto object = std::make_unique<Kept>();
                if (!object->isAlive()) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
