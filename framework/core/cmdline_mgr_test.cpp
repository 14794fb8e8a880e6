#include "framework/core/cmdline_mgr.h"

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace Application {
namespace {

struct Expectation {
    std::string name;
    bool present;
    std::string value;
};

struct ParseCase {
    std::vector<std::string> args;
    std::vector<Expectation> expected;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    for (const auto& arg : c.args) *os << '[' << arg << ']';
}

class CmdLineParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(CmdLineParseTest, RecordsSwitches) {
    const ParseCase& c = GetParam();
    std::vector<char*> argv;
    std::vector<std::string> storage = c.args;
    for (auto& arg : storage) argv.push_back(arg.data());
    CmdLineMgrT table;
    table.Parse(static_cast<int>(argv.size()), argv.data());
    for (const Expectation& e : c.expected) {
        EXPECT_EQ(table.Has(e.name.c_str()), e.present) << e.name;
        if (!e.present) continue;
        char buffer[256] = {};
        EXPECT_EQ(table.GetValue(e.name.c_str(), buffer, sizeof buffer), 0);
        EXPECT_EQ(std::string(buffer), e.value) << e.name;
        EXPECT_EQ(table.GetValue(e.name.c_str(), nullptr, 0), static_cast<int>(e.value.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CmdLineParseTest,
    ::testing::Values(
        ParseCase{{"prog", "-pid=4242"}, {{"pid", true, "4242"}}},
        ParseCase{{"prog", "-removeTranslator"}, {{"removeTranslator", false, ""}}},
        ParseCase{{"prog", "-name="}, {{"name", true, ""}}},
        ParseCase{{"prog", "/x=1"}, {{"x", true, "1"}}},
        ParseCase{{"prog", "-a=b-c"}, {{"a", true, "b-c"}, {"c", false, ""}}},
        ParseCase{{"-plugin_config=/tmp/ci-clone/my-config.json"}, {{"plugin_config", true, "/tmp/ci-clone/my-config.json"}}},
        ParseCase{{"-offset=-5"}, {{"offset", true, "-5"}}},
        ParseCase{{"prog", "-a=1 -b=2"}, {{"a", true, "1"}, {"b", true, "2"}}},
        ParseCase{{"prog", "-a=1", "-a=2"}, {{"a", true, "2"}}},
        ParseCase{{"-ipc_cmd_info=ipcid=305419896&ip=127.0.0.1&port=5000"},
                  {{"ipc_cmd_info", true, "ipcid=305419896&ip=127.0.0.1&port=5000"}}},
        ParseCase{{"-"}, {{"", false, ""}}},
        ParseCase{{"plain", "x=y"}, {{"x", false, ""}}},
        ParseCase{{"--k=v"}, {{"-k", true, "v"}}}));

TEST(CmdLineMgrTest, GetValueEdges) {
    CmdLineMgrT table;
    table.ParseArgument("-long=abcde");
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(table.GetValue("long", buffer, 3), 0);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(buffer[3], 'x');  // nothing written past the given size

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(table.GetValue("missing", buffer, sizeof buffer), 0);
    EXPECT_EQ(table.GetValue(nullptr, buffer, sizeof buffer), 0);
    EXPECT_EQ(table.GetValue("", buffer, sizeof buffer), 0);
    EXPECT_EQ(table.GetValue("long", buffer, 0), 0);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_FALSE(table.Has(nullptr));

    // An empty name is recorded but cannot be read back by value.
    table.ParseArgument("-=v");
    EXPECT_TRUE(table.Has(""));
    EXPECT_EQ(table.GetValue("", nullptr, 0), 0);
}

TEST(CmdLineMgrTest, ProcessTableIsOneObject) {
    EXPECT_EQ(ProcessCmdLineMgr(), ProcessCmdLineMgr());
}

}  // namespace
}  // namespace Application
