#include <net/if.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Tools/os.h"
#include "tools/os_system_p.h"
#include "tools/os_test_util.h"

namespace {

using namespace Tools;
using Tools::testing::TempDir;
using Tools::testing::WriteText;
namespace fs = std::filesystem;

TEST(ProcessIdTest, IsOwnPid) { EXPECT_EQ(os_current_pid(), static_cast<uint32_t>(::getpid())); }

struct LanguageCase {
    const char* language;
    const char* lc_all;
    const char* lc_messages;
    const char* lang;
    bool chinese;
};

class ChineseLanguageTest : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(ChineseLanguageTest, FirstSetVariableDecides) {
    const LanguageCase& c = GetParam();
    EXPECT_EQ(detail::IsChineseLanguage(c.language, c.lc_all, c.lc_messages, c.lang), c.chinese);
}

INSTANTIATE_TEST_SUITE_P(
    Variables, ChineseLanguageTest,
    ::testing::Values(LanguageCase{nullptr, nullptr, nullptr, "zh_CN.UTF-8", true},
                      LanguageCase{nullptr, nullptr, nullptr, "en_US.UTF-8", false},
                      LanguageCase{"zh_TW:en", nullptr, nullptr, "en_US.UTF-8", true},
                      LanguageCase{"en:zh_CN", nullptr, nullptr, "zh_CN.UTF-8", false},
                      LanguageCase{"", "", "zh_HK.UTF-8", "de_DE.UTF-8", true},
                      LanguageCase{nullptr, "C", nullptr, "zh_CN.UTF-8", false},
                      LanguageCase{nullptr, nullptr, nullptr, nullptr, false}));

TEST(ChineseLanguageTest, ReadsTheEnvironment) {
    Tools::testing::ScopedEnv language("LANGUAGE", std::nullopt), all("LC_ALL", std::nullopt),
        messages("LC_MESSAGES", std::nullopt), lang("LANG", std::string("zh_SG.UTF-8"));
    EXPECT_TRUE(os_is_ch_lang());
}

struct Interface {
    const char* name;
    const char* operstate;
    unsigned flags;
};

struct NetCase {
    const char* label;
    std::vector<Interface> interfaces;
    bool proxy;
    const char* type;
};

class NetworkTypeTest : public ::testing::TestWithParam<NetCase> {};

TEST_P(NetworkTypeTest, FirstMatchingKind) {
    TempDir sys;
    for (const Interface& i : GetParam().interfaces) {
        fs::create_directories(sys / i.name);
        WriteText(sys / (std::string(i.name) + "/operstate"), std::string(i.operstate) + "\n");
        char flags[16];
        std::snprintf(flags, sizeof(flags), "0x%x\n", i.flags);
        WriteText(sys / (std::string(i.name) + "/flags"), flags);
    }
    EXPECT_STREQ(detail::NetworkType(sys.path().c_str(), GetParam().proxy), GetParam().type);
}

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

INSTANTIATE_TEST_SUITE_P(
    Trees, NetworkTypeTest,
    ::testing::Values(NetCase{"nothing", {}, false, "other"},
                      NetCase{"loopback_only", {{"lo", "unknown", kUp | IFF_LOOPBACK}}, false, "other"},
                      NetCase{"wired", {{"lo", "unknown", kUp | IFF_LOOPBACK}, {"eth0", "up", kUp}}, false, "wired"},
                      NetCase{"wired_and_proxy", {{"enp1s0", "up", kUp}}, true, "wired"},
                      NetCase{"down_with_proxy", {{"eth0", "down", 0}}, true, "Proxy"},
                      NetCase{"dial_up_first", {{"eth0", "up", kUp}, {"ppp0", "unknown", kUp}}, false, "RasDialUp"},
                      NetCase{"ppp_down", {{"ppp0", "down", 0}}, false, "other"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(NetworkTypeTest, RealSystemGivesAKnownText) {
    const std::string type = os_nettype_string();
    EXPECT_TRUE(type == "wired" || type == "RasDialUp" || type == "Proxy" || type == "other") << type;
}

}  // namespace
