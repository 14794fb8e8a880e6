#include "framework/tasks/time_mgr.h"

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Tools/os.h"

namespace Application {
namespace {

std::string LittleEndian(uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

std::string Entry(int32_t id, uint64_t time_ms) {
    return LittleEndian(static_cast<uint32_t>(id), 4) + LittleEndian(time_ms, 8);
}

uint64_t ReadLittleEndian(const std::string& bytes, size_t offset, int width) {
    uint64_t value = 0;
    for (int i = 0; i < width; ++i)
        value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes.at(offset + i))) << (8 * i);
    return value;
}

// A clock set to `target` reads target plus at most the time that passed.
void ExpectReads(ITime* clock, uint64_t target, uint64_t since) {
    const uint64_t read = clock->GetTimeMs();
    EXPECT_GE(read, target);
    EXPECT_LE(read, target + (Tools::os_gettime_ms() - since));
}

// A clock never set reads the wall clock.
void ExpectUnset(ITime* clock) {
    const uint64_t before = Tools::os_gettime_ms();
    const uint64_t read = clock->GetTimeMs();
    EXPECT_GE(read, before);
    EXPECT_LE(read, Tools::os_gettime_ms());
}

TEST(TimeMgrTest, ClocksAreDistinctAndIdClocksAreKeptUntilFree) {
    TimeMgr mgr;
    ASSERT_TRUE(mgr.Init());
    ITime* process = mgr.GetProcessTime();
    ITime* shared = mgr.GetSharedTime();
    ITime* seven = mgr.GetTimeById(7);
    EXPECT_NE(process, shared);
    EXPECT_NE(seven, shared);
    EXPECT_EQ(mgr.GetTimeById(7), seven);
    EXPECT_NE(mgr.GetTimeById(-7), seven);

    const uint64_t since = Tools::os_gettime_ms();
    seven->SetTimeMs(1'000);
    ExpectReads(mgr.GetTimeById(7), 1'000, since);
    ExpectUnset(shared);
    ExpectUnset(process);

    shared->SetTimeMs(0);
    ExpectReads(shared, 0, since);
    mgr.Free();
    ExpectReads(mgr.GetSharedTime(), 0, since);  // the shared clock outlives Free
    ExpectUnset(mgr.GetTimeById(7));
}

TEST(TimeMgrTest, SaveStateLayout) {
    TimeMgr mgr;
    const uint64_t since = Tools::os_gettime_ms();
    mgr.GetSharedTime()->SetTimeMs(5'000'000);
    mgr.GetTimeById(9)->SetTimeMs(900);
    mgr.GetTimeById(-2)->SetTimeMs(200);
    mgr.GetProcessTime()->SetTimeMs(1);
    const std::string state = mgr.SaveState();
    const uint64_t elapsed = Tools::os_gettime_ms() - since;

    ASSERT_EQ(state.size(), 8u + 4u + 2u * 12u);
    EXPECT_GE(ReadLittleEndian(state, 0, 8), 5'000'000u);
    EXPECT_LE(ReadLittleEndian(state, 0, 8), 5'000'000u + elapsed);
    EXPECT_EQ(ReadLittleEndian(state, 8, 4), 2u);
    EXPECT_EQ(static_cast<int32_t>(ReadLittleEndian(state, 12, 4)), -2) << "ascending id order";
    EXPECT_LE(ReadLittleEndian(state, 16, 8) - 200, elapsed);
    EXPECT_EQ(ReadLittleEndian(state, 24, 4), 9u);
    EXPECT_LE(ReadLittleEndian(state, 28, 8) - 900, elapsed);
}

TEST(TimeMgrTest, StateRoundTripsBetweenProcesses) {
    TimeMgr host;
    TimeMgr plugin;
    const uint64_t since = Tools::os_gettime_ms();
    host.GetSharedTime()->SetTimeMs(77'000);
    host.GetTimeById(1)->SetTimeMs(11'000);
    host.GetTimeById(2)->SetTimeMs(22'000);
    plugin.LoadState(host.SaveState());
    ExpectReads(plugin.GetSharedTime(), 77'000, since);
    ExpectReads(plugin.GetTimeById(1), 11'000, since);
    ExpectReads(plugin.GetTimeById(2), 22'000, since);
    ExpectUnset(plugin.GetProcessTime());
}

struct PayloadCase {
    const char* title;
    std::string payload;
    bool sets_shared;
    std::vector<int> ids_set;  // each id i is set to i * 1000
};

class LoadStateTest : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(LoadStateTest, AppliesCompleteFieldsOnly) {
    TimeMgr mgr;
    const uint64_t since = Tools::os_gettime_ms();
    mgr.LoadState(GetParam().payload);
    if (GetParam().sets_shared) {
        ExpectReads(mgr.GetSharedTime(), 123'456, since);
    } else {
        ExpectUnset(mgr.GetSharedTime());
    }
    // SaveState shows which id clocks exist.
    const std::string state = mgr.SaveState();
    ASSERT_EQ(ReadLittleEndian(state, 8, 4), GetParam().ids_set.size());
    for (size_t i = 0; i < GetParam().ids_set.size(); ++i) {
        const int id = GetParam().ids_set[i];
        EXPECT_EQ(static_cast<int32_t>(ReadLittleEndian(state, 12 + 12 * i, 4)), id);
        ExpectReads(mgr.GetTimeById(id), static_cast<uint64_t>(id) * 1000, since);
    }
}

const std::string kShared = LittleEndian(123'456, 8);

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadStateTest,
    ::testing::Values(
        PayloadCase{"Empty", "", false, {}},
        PayloadCase{"ShorterThanSharedClock", kShared.substr(0, 7), false, {}},
        PayloadCase{"SharedClockOnly", kShared, true, {}},
        PayloadCase{"TruncatedCount", kShared + LittleEndian(1, 3), true, {}},
        PayloadCase{"CountZero", kShared + LittleEndian(0, 4) + Entry(4, 4000), true, {}},
        PayloadCase{"TwoOfThreeComplete",
                    kShared + LittleEndian(3, 4) + Entry(3, 3000) + Entry(5, 5000) + Entry(6, 6000).substr(0, 11),
                    true, {3, 5}},
        PayloadCase{"HugeCount", kShared + LittleEndian(0xFFFFFFFFu, 4) + Entry(8, 8000), true, {8}},
        PayloadCase{"ExtraBytesIgnored", kShared + LittleEndian(1, 4) + Entry(2, 2000) + Entry(9, 9000), true,
                    {2}}),
    [](const ::testing::TestParamInfo<PayloadCase>& info) { return std::string(info.param.title); });

TEST(TimeMgrTest, LoadStateRacesWithGetTimeById) {
    TimeMgr host;
    for (int id = 0; id < 50; ++id) host.GetTimeById(id)->SetTimeMs(static_cast<uint64_t>(id) * 1000);
    const std::string state = host.SaveState();
    TimeMgr plugin;
    std::thread loader([&] {
        for (int i = 0; i < 50; ++i) plugin.LoadState(state);
    });
    for (int i = 0; i < 2000; ++i) plugin.GetTimeById(i % 60)->GetTimeMs();
    loader.join();
    EXPECT_EQ(ReadLittleEndian(plugin.SaveState(), 8, 4), 60u);
}

}  // namespace
}  // namespace Application
