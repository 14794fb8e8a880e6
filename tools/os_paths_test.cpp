#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "Tools/os.h"
#include "tools/os_test_util.h"

namespace {

using namespace Tools;
using Tools::testing::ScopedEnv;
using Tools::testing::TempDir;
using Tools::testing::WriteText;
namespace fs = std::filesystem;

std::string SelfPath() { return fs::read_symlink("/proc/self/exe").string(); }

TEST(ExecutablePathTest, WholePathOrError) {
    const std::string self = SelfPath();
    char out[4096];
    EXPECT_EQ(os_get_executable_file(out, sizeof(out)), static_cast<int>(self.size()));
    EXPECT_EQ(out, self);
    // Exactly fitting and one byte short: a cut path would name another file.
    EXPECT_EQ(os_get_executable_file(out, self.size() + 1), static_cast<int>(self.size()));
    std::memset(out, '#', sizeof(out));
    EXPECT_EQ(os_get_executable_file(out, self.size()), -1);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], '#');

    const std::string directory = fs::path(self).parent_path().string();
    EXPECT_EQ(os_get_executable_path(out, sizeof(out), nullptr), static_cast<int>(directory.size()));
    EXPECT_EQ(out, directory);
    const std::string plugin = directory + "/plugins/demo";
    EXPECT_EQ(os_get_executable_path(out, sizeof(out), "plugins\\demo"), static_cast<int>(plugin.size()));
    EXPECT_EQ(out, plugin);
    EXPECT_EQ(os_get_executable_path(out, plugin.size(), "plugins\\demo"), -1);
    EXPECT_STREQ(out, "");
}

class UserFoldersTest : public ::testing::Test {
protected:
    TempDir home_;
    ScopedEnv home_env_{"HOME", home_.path()};
};

TEST_F(UserFoldersTest, ProgramDataFollowsXdgDataHome) {
    char out[1024];
    {
        ScopedEnv data("XDG_DATA_HOME", home_ / "data");
        const std::string expected = home_ / "data/VelmoraData";
        EXPECT_EQ(os_get_program_data_path(out, sizeof(out), "VelmoraData"), static_cast<int>(expected.size()));
        EXPECT_EQ(out, expected);
        EXPECT_EQ(os_get_program_data_path(out, sizeof(out), ""), static_cast<int>((home_ / "data").size()));
        EXPECT_EQ(out, home_ / "data");
        EXPECT_EQ(os_get_program_data_path(out, expected.size(), "VelmoraData"), -1);
        EXPECT_STREQ(out, "");
    }
    for (std::optional<std::string> value : {std::optional<std::string>{}, std::optional<std::string>{"relative/x"}}) {
        ScopedEnv data("XDG_DATA_HOME", value);
        const std::string expected = home_ / ".local/share/VelmoraData";
        EXPECT_EQ(os_get_program_data_path(out, sizeof(out), "VelmoraData"), static_cast<int>(expected.size()));
        EXPECT_EQ(out, expected);
    }
}

TEST_F(UserFoldersTest, DownloadsFromUserDirs) {
    char out[1024];
    ScopedEnv config("XDG_CONFIG_HOME", home_ / "cfg");
    EXPECT_GT(os_get_downloads_path(out, sizeof(out)), 0);
    EXPECT_EQ(out, home_ / "Downloads");

    fs::create_directories(home_ / "cfg");
    WriteText(home_ / "cfg/user-dirs.dirs",
              "# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n  XDG_DOWNLOAD_DIR=\"$HOME/My \\\"Files\\\"\"\n");
    EXPECT_GT(os_get_downloads_path(out, sizeof(out)), 0);
    EXPECT_EQ(out, home_ / "My \"Files\"");

    WriteText(home_ / "cfg/user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"/srv/incoming\"\n");
    EXPECT_EQ(os_get_downloads_path(out, sizeof(out)), 13);
    EXPECT_STREQ(out, "/srv/incoming");
    EXPECT_EQ(os_get_downloads_path(out, 13), -1);
    EXPECT_STREQ(out, "");
}

}  // namespace
