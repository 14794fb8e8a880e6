#include "framework/core/app_path.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace Application {
namespace {

namespace fs = std::filesystem;

// The data root is laid out once for the whole test program.
class AppPathTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = new fs::path(fs::temp_directory_path() / ("velmora_app_path_" + std::to_string(getpid())));
        fs::remove_all(*root_);
        fs::create_directories(*root_ / "VelmoraData");
        std::ofstream(*root_ / "VelmoraData" / "testmode.ini") << "\xEF\xBB\xBF[TestMode]\r\nSID=from-test-file\r\n";
        std::ofstream(*root_ / "VelmoraData" / "main_config.ini") << "[SKIN]\r\nIndex=0\r\n";
        setenv("XDG_DATA_HOME", root_->c_str(), 1);
    }
    static void TearDownTestSuite() {
        fs::remove_all(*root_);
        delete root_;
    }
    static fs::path* root_;
};

fs::path* AppPathTest::root_ = nullptr;

TEST_F(AppPathTest, InitCreatesTheRootLogAndCacheDirectories) {
    AppPath paths;
    ASSERT_TRUE(paths.Init());
    EXPECT_EQ(fs::path(paths.GetDataDir()), *root_ / "VelmoraData");
    EXPECT_TRUE(fs::is_directory(*root_ / "VelmoraData" / "logs"));
    EXPECT_TRUE(fs::is_directory(*root_ / "VelmoraData" / "Cache"));
    EXPECT_FALSE(fs::exists(*root_ / "VelmoraData" / "Upload"));  // only on request
}

TEST_F(AppPathTest, DirectoriesAreCreatedOnRequestAndCached) {
    struct Case {
        const char* (AppPath::*get)();
        const char* relative;
    };
    const Case cases[] = {
        {&AppPath::GetLogDir, "VelmoraData/logs"},         {&AppPath::GetCacheDir, "VelmoraData/Cache"},
        {&AppPath::GetUploadDir, "VelmoraData/Upload"},     {&AppPath::GetTempDir, "VelmoraData/Temp"},
        {&AppPath::GetHeadImageDir, "VelmoraData/headimage"}, {&AppPath::GetWidgetSkinDir, "VelmoraData/WidgetSkin"},
        {&AppPath::GetCoursewareDir, "VelmoraData/courseware"}, {&AppPath::GetAbDir, "VelmoraData/ab"},
        {&AppPath::GetVideoBgDir, "VelmoraData/video_bg"},
    };
    AppPath paths;
    for (const Case& c : cases) {
        const char* first = (paths.*c.get)();
        EXPECT_EQ(fs::path(first), *root_ / c.relative) << c.relative;
        EXPECT_TRUE(fs::is_directory(first)) << c.relative;
        fs::remove(first);
        // Cached: the same pointer, and the file system is not consulted again.
        EXPECT_EQ((paths.*c.get)(), first) << c.relative;
        EXPECT_FALSE(fs::exists(first)) << c.relative;
    }
}

TEST_F(AppPathTest, ExecutableDirectoryAndItsAliases) {
    AppPath paths;
    const fs::path exe = fs::read_symlink("/proc/self/exe").parent_path();
    EXPECT_EQ(fs::path(paths.GetExeDir()), exe);
    EXPECT_STREQ(paths.GetAppDir(), paths.GetExeDir());
    EXPECT_STREQ(paths.GetExeDirAlias1(), paths.GetExeDir());
    EXPECT_STREQ(paths.GetExeDirAlias2(), paths.GetExeDir());
    EXPECT_NE(paths.GetExeDirAlias1(), paths.GetExeDirAlias2());  // separate caches
}

TEST_F(AppPathTest, ConfigFilesBelongToTheComponent) {
    AppPath paths;
    ConfigFile* main_config = paths.GetConfig(1);
    ASSERT_NE(main_config, nullptr);
    EXPECT_EQ(paths.GetConfig(1), main_config);
    EXPECT_NE(paths.GetConfig(2), main_config);
    EXPECT_EQ(paths.GetConfig(0), paths.GetConfig(3));
    EXPECT_EQ(paths.GetConfig(0), paths.GetConfig(-1));

    EXPECT_EQ(main_config->GetInt("SKIN", "Index", 1), 0);
    EXPECT_TRUE(main_config->SetInt("SKIN", "Index", 1));
    std::ifstream saved(*root_ / "VelmoraData" / "main_config.ini", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Index=1\r\n"), std::string::npos);

    // recorderConfig.ini does not exist: defaults, and setters refuse.
    ConfigFile* recorder = paths.GetConfig(2);
    EXPECT_EQ(recorder->GetInt("A", "b", 7), 7);
    EXPECT_STREQ(recorder->GetString("A", "b", "d"), "d");
    EXPECT_FALSE(recorder->SetInt("A", "b", 1));
    EXPECT_FALSE(fs::exists(*root_ / "VelmoraData" / "recorderConfig.ini"));

    // Free closes them (ASan's leak check sees the handles go); a component
    // that is gone hands out none.
    paths.Free();
    EXPECT_EQ(paths.GetConfig(1), nullptr);
    EXPECT_EQ(paths.GetConfig(0), nullptr);
    AppPath next;
    ConfigFile* reopened = next.GetConfig(1);
    ASSERT_NE(reopened, nullptr);
    EXPECT_EQ(reopened->GetInt("SKIN", "Index", 7), 1) << "the saved value is read back";
}

TEST_F(AppPathTest, LogDirectoryIsPrivateToTheUser) {
    const fs::path logs = *root_ / "VelmoraData" / "logs";
    fs::create_directories(logs);
    fs::permissions(logs, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    AppPath paths;
    ASSERT_EQ(fs::path(paths.GetLogDir()), logs);
    EXPECT_EQ(fs::status(logs).permissions(), fs::perms::owner_all) << "an older, wider one is narrowed";

    fs::remove_all(logs);
    const mode_t old_mask = ::umask(0);
    AppPath fresh;
    fresh.GetLogDir();
    ::umask(old_mask);
    EXPECT_EQ(fs::status(logs).permissions(), fs::perms::owner_all) << "created for the user only";
}

TEST_F(AppPathTest, SidComesFromTheTestModeFile) {
    AppPath paths;
    const char* sid = paths.GetSID();
    EXPECT_STREQ(sid, "from-test-file");
}

}  // namespace
}  // namespace Application
