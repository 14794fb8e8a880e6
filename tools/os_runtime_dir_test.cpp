#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "Tools/os.h"
#include "tools/os_runtime_dir_p.h"
#include "tools/os_test_util.h"
#include "tools/other_user_test_util.h"

namespace Tools {
namespace {

namespace fs = std::filesystem;
using detail::FindRuntimeDir;
using detail::PrepareRuntimeDir;
using testing::ScopedEnv;
using testing::TempDir;

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

uid_t OwnerOf(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_uid : static_cast<uid_t>(-1);
}

// Every test has a session directory and a temporary directory of its own;
// neither the real /tmp nor the real session is touched.
class RuntimeDirTest : public ::testing::Test {
protected:
    RuntimeDirTest()
        : session_(temp_ / "session"), tmp_(temp_ / "tmp"), fallback_(tmp_ + "/velmora-" + std::to_string(geteuid())) {
        fs::create_directory(session_);
        fs::permissions(session_, fs::perms::owner_all);
        fs::create_directory(tmp_);
        // Like /tmp: everyone may create, nobody may remove what is not theirs.
        fs::permissions(tmp_, fs::perms::all | fs::perms::sticky_bit);
        // The other user must reach tmp_ through the test's own directory.
        fs::permissions(temp_.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    }

    TempDir temp_;
    std::string session_;
    std::string tmp_;
    std::string fallback_;
    ScopedEnv tmpdir_{"TMPDIR", tmp_};
};

TEST_F(RuntimeDirTest, SessionDirectoryIsUsedAndItsPlaceMadePrivate) {
    ScopedEnv xdg("XDG_RUNTIME_DIR", session_);
    EXPECT_EQ(FindRuntimeDir(false).path, "") << "nothing of ours yet";
    const detail::RuntimeDirResult found = FindRuntimeDir(true);
    EXPECT_EQ(found.path, session_ + "/velmora");
    EXPECT_EQ(found.problem, "");
    EXPECT_EQ(ModeOf(found.path), 0700u);
    EXPECT_FALSE(fs::exists(fallback_));
    EXPECT_EQ(FindRuntimeDir(false).path, found.path);

    char buffer[512];
    EXPECT_EQ(os_get_runtime_dir(buffer, sizeof buffer), static_cast<int>(found.path.size()));
    EXPECT_EQ(buffer, found.path);
    EXPECT_EQ(os_get_runtime_dir(buffer, found.path.size()), -1) << "a cut path could name another place";
    EXPECT_STREQ(buffer, "");
}

// Places that are not a private directory of ours are refused as they are
// and the next candidate is used.
struct RefusedCase {
    const char* name;
    std::function<std::optional<std::string>(const std::string& session)> xdg;  // value of XDG_RUNTIME_DIR
    std::function<void(const std::string& place)> spoil;                       // applied to session/velmora
    const char* reason;
};

class RefusedSessionPlaceTest : public RuntimeDirTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedSessionPlaceTest, FallbackIsUsedAndTheRefusedPlaceIsLeftAlone) {
    const RefusedCase& c = GetParam();
    const std::string place = session_ + "/velmora";
    if (c.spoil) c.spoil(place);
    const mode_t mode_before = ModeOf(place);
    ScopedEnv xdg("XDG_RUNTIME_DIR", c.xdg(session_));

    const detail::RuntimeDirResult found = FindRuntimeDir(true);
    EXPECT_EQ(found.path, fallback_);
    EXPECT_NE(found.problem.find(c.reason), std::string::npos) << found.problem;
    EXPECT_EQ(ModeOf(fallback_), 0700u);
    EXPECT_EQ(ModeOf(place), mode_before) << "never repaired";
}

INSTANTIATE_TEST_SUITE_P(
    Places, RefusedSessionPlaceTest,
    ::testing::Values(
        RefusedCase{"RelativeSessionPath", [](const std::string&) { return std::string("run/user"); }, nullptr,
                    "not an absolute path"},
        RefusedCase{"MissingSession", [](const std::string& s) { return s + "/gone"; }, nullptr, "/gone"},
        RefusedCase{"SessionWritableByOthers",
                    [](const std::string& s) {
                        fs::permissions(s, fs::perms::all);
                        return s;
                    },
                    nullptr, "writable by other users"},
        RefusedCase{"PlaceOpenToOthers", [](const std::string& s) { return s; },
                    [](const std::string& place) {
                        fs::create_directory(place);
                        fs::permissions(place, fs::perms::owner_all | fs::perms::group_read |
                                                   fs::perms::group_exec | fs::perms::others_read |
                                                   fs::perms::others_exec);
                    },
                    "open to other users (mode 0755)"},
        RefusedCase{"PlaceIsALink", [](const std::string& s) { return s; },
                    [](const std::string& place) {
                        fs::create_directory(place + "-real");
                        fs::permissions(place + "-real", fs::perms::owner_all);
                        fs::create_directory_symlink(place + "-real", place);
                    },
                    "is not a directory"},
        RefusedCase{"PlaceIsAFile", [](const std::string& s) { return s; },
                    [](const std::string& place) { std::ofstream(place) << "x"; }, "is not a directory"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RuntimeDirTest, UnsetSessionUsesThePrivateFallback) {
    ScopedEnv xdg("XDG_RUNTIME_DIR", std::nullopt);
    const detail::RuntimeDirResult found = FindRuntimeDir(true);
    EXPECT_EQ(found.path, fallback_);
    EXPECT_EQ(found.problem, "");
    EXPECT_EQ(ModeOf(fallback_), 0700u);
    EXPECT_EQ(OwnerOf(fallback_), geteuid());
}

TEST_F(RuntimeDirTest, FallbackOpenToOthersIsRefusedNotRepaired) {
    ScopedEnv xdg("XDG_RUNTIME_DIR", std::nullopt);
    fs::create_directory(fallback_);
    fs::permissions(fallback_, fs::perms::all);
    const detail::RuntimeDirResult found = FindRuntimeDir(true);
    EXPECT_EQ(found.path, "");
    EXPECT_NE(found.problem.find(fallback_ + " is open to other users"), std::string::npos) << found.problem;
    EXPECT_EQ(ModeOf(fallback_), 0777u);
    char buffer[256] = "junk";
    EXPECT_EQ(os_get_runtime_dir(buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "");
}

// Another user who made the fallback first: the library refuses it, and the
// host's preparation moves to a private directory and says why.
class TakenFallbackTest : public RuntimeDirTest {
protected:
    void SetUp() override {
        if (!testing::CanActAsOtherUser()) GTEST_SKIP() << "acting as another user needs root";
        const std::string fallback = fallback_;
        ASSERT_TRUE(testing::RunAsOtherUser([fallback] { return ::mkdir(fallback.c_str(), 0777) == 0; }));
        ASSERT_EQ(OwnerOf(fallback_), testing::kOtherUser);
    }
};

TEST_F(TakenFallbackTest, LibraryRefusesItAndHostPreparationMovesAside) {
    ScopedEnv xdg("XDG_RUNTIME_DIR", std::nullopt);
    const detail::RuntimeDirResult found = FindRuntimeDir(true);
    EXPECT_EQ(found.path, "");
    EXPECT_NE(found.problem.find(fallback_ + " belongs to another user (uid 65534)"), std::string::npos)
        << found.problem;

    char path[512], notice[1024];
    ASSERT_EQ(os_prepare_runtime_dir(path, sizeof path, notice, sizeof notice), 1);
    const std::string prepared = path;
    const std::string parent = fs::path(prepared).parent_path().string();
    EXPECT_EQ(parent.rfind(fallback_ + "-", 0), 0u) << prepared;
    EXPECT_EQ(fs::path(prepared).filename(), "velmora");
    EXPECT_EQ(ModeOf(parent), 0700u);
    EXPECT_EQ(ModeOf(prepared), 0700u);
    EXPECT_NE(std::string(notice).find(fallback_ + " belongs to another user"), std::string::npos) << notice;
    EXPECT_NE(std::string(notice).find(prepared), std::string::npos) << notice;
    EXPECT_EQ(std::string(getenv("XDG_RUNTIME_DIR")), parent) << "children find the same place";
    EXPECT_EQ(FindRuntimeDir(true).path, prepared);
    EXPECT_EQ(OwnerOf(fallback_), testing::kOtherUser) << "the taken place is left as it is";
    EXPECT_TRUE(fs::is_empty(fallback_));

    // A later start without the variable finds the same private directory.
    ::unsetenv("XDG_RUNTIME_DIR");
    ASSERT_EQ(os_prepare_runtime_dir(path, sizeof path, notice, sizeof notice), 1);
    EXPECT_EQ(std::string(path), prepared);
}

TEST_F(TakenFallbackTest, PrivateLookalikeOfAnotherUserIsNotTaken) {
    ScopedEnv xdg("XDG_RUNTIME_DIR", std::nullopt);
    const std::string lookalike = fallback_ + "-AAAAAA";
    ASSERT_TRUE(testing::RunAsOtherUser([lookalike] { return ::mkdir(lookalike.c_str(), 0700) == 0; }));
    char path[512], notice[1024];
    ASSERT_EQ(os_prepare_runtime_dir(path, sizeof path, notice, sizeof notice), 1);
    EXPECT_EQ(std::string(path).rfind(lookalike, 0), std::string::npos) << path;
    EXPECT_EQ(OwnerOf(fs::path(path).parent_path().string()), geteuid());
}

TEST_F(RuntimeDirTest, NoSafePlaceAtAllIsAReasonNotASilentSuccess) {
    if (!testing::CanActAsOtherUser()) GTEST_SKIP() << "root ignores permissions; the test acts as another user";
    ScopedEnv xdg("XDG_RUNTIME_DIR", std::nullopt);
    // The other user can neither make its fallback nor a private directory here.
    fs::permissions(tmp_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    EXPECT_TRUE(testing::RunAsOtherUser([] {
        char path[512] = "junk", notice[1024] = "";
        return os_prepare_runtime_dir(path, sizeof path, notice, sizeof notice) == -1 && path[0] == '\0' &&
               std::string(notice).find("cannot create") != std::string::npos;
    }));
}

}  // namespace
}  // namespace Tools
