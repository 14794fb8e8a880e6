#include "host/reporter_bridge.h"

#include <string>

#include <gtest/gtest.h>

namespace {

std::string Le32(uint32_t value) {
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return out;
}

std::string Le64(uint64_t value) { return Le32(static_cast<uint32_t>(value)) + Le32(static_cast<uint32_t>(value >> 32)); }

TEST(ReporterBridgeTest, LogRecordLayout) {
    const std::string record = ReporterBridge::LogRecord(1670814115, "disk full", "WARNING");
    EXPECT_EQ(record, Le64(1670814115) + Le32(9) + "disk full" + Le32(7) + "WARNING" + std::string(1, '\0'));
}

TEST(ReporterBridgeTest, CrashEventLayout) {
    const std::string record = ReporterBridge::EventRecord(1670814115123ull, "DM1002", "{}", 1);
    EXPECT_EQ(record, Le64(1670814115123ull) + Le32(6) + "DM1002" + Le32(2) + "{}" + Le32(1) + std::string(1, '\0'));
}

// Without a framework or a reporter plugin everything is dropped quietly.
TEST(ReporterBridgeTest, WithoutAReporterNothingBreaks) {
    ReporterBridge& bridge = ReporterBridge::Instance();
    bridge.Start();
    for (int i = 0; i < 1100; ++i) bridge.ReportLog("early", "INFO");  // kept, bounded
    bridge.ReportCrash();
    bridge.BackupLocalLog(true);
    const char payload[] = {3, 0, 0, 0, 'a', 'b', 'c'};
    bridge.OnPluginConnected(payload, sizeof payload);  // another plugin's name
    bridge.OnPluginConnected(payload, 5);               // too short for its text
    bridge.OnPluginConnected(nullptr, 0);
    SUCCEED();
}

}  // namespace
