#include "host/temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "host/test_support/child_process.h"

namespace {

namespace fs = std::filesystem;

class ClearDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        root_ = temp_.path() + "/Temp";
        outside_ = temp_.path() + "/outside";
        fs::create_directories(root_);
        fs::create_directories(outside_);
    }

    static void MakeFile(const fs::path& path, const std::string& content = "data") {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << content;
    }

    static std::set<std::string> Entries(const fs::path& directory) {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename().string());
        return names;
    }

    static bool Clear(const fs::path& path, bool remove_if_empty) {
        return ClearDirectory(QString::fromStdString(path.string()), remove_if_empty);
    }

    test_support::TempDir temp_;
    fs::path root_;
    fs::path outside_;
};

TEST_F(ClearDirectoryTest, EmptiesTheTreeAndKeepsNonEmptySubdirectories) {
    MakeFile(root_ / "a.txt");
    MakeFile(root_ / ".hidden");
    MakeFile(root_ / "read-only.txt");
    fs::permissions(root_ / "read-only.txt", fs::perms::owner_read);
    fs::create_directories(root_ / "empty");
    MakeFile(root_ / "full/x.txt");
    fs::create_directories(root_ / "full/empty-inside");
    MakeFile(root_ / "full/nested/y.txt");
    fs::permissions(root_ / "full/nested/y.txt", fs::perms::none);
    ASSERT_EQ(mkfifo((root_ / "fifo").c_str(), 0600), 0);

    ASSERT_TRUE(Clear(root_, false));

    ASSERT_TRUE(fs::is_directory(root_)) << "the directory itself is never removed";
    EXPECT_EQ(Entries(root_), std::set<std::string>{"full"});
    EXPECT_EQ(Entries(root_ / "full"), std::set<std::string>{"nested"});
    EXPECT_TRUE(Entries(root_ / "full/nested").empty());
}

// Directories kept because they held entries go at the following runs.
TEST_F(ClearDirectoryTest, KeptDirectoriesGoOnceFoundEmpty) {
    MakeFile(root_ / "a/b/c.txt");
    ASSERT_TRUE(Clear(root_, false));
    EXPECT_EQ(Entries(root_ / "a"), std::set<std::string>{"b"});
    ASSERT_TRUE(Clear(root_, false));
    EXPECT_TRUE(Entries(root_ / "a").empty());
    ASSERT_TRUE(Clear(root_, false));
    EXPECT_TRUE(Entries(root_).empty());
}

TEST_F(ClearDirectoryTest, DeletesSymbolicLinksWithoutFollowingThem) {
    MakeFile(outside_ / "target.txt", "keep me");
    fs::permissions(outside_ / "target.txt", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    MakeFile(outside_ / "dir/keep.txt", "keep me too");
    fs::create_symlink(outside_ / "target.txt", root_ / "file-link");
    fs::create_directory_symlink(outside_ / "dir", root_ / "dir-link");
    fs::create_symlink(outside_ / "missing", root_ / "dangling-link");

    ASSERT_TRUE(Clear(root_, false));

    EXPECT_TRUE(Entries(root_).empty());
    std::ifstream target(outside_ / "target.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(target), {}), "keep me");
    EXPECT_EQ(fs::status(outside_ / "target.txt").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
        << "the link's target keeps its permissions";
    EXPECT_TRUE(fs::exists(outside_ / "dir/keep.txt")) << "a linked directory is not emptied";
}

TEST_F(ClearDirectoryTest, MissingDirectoryIsSuccess) {
    EXPECT_TRUE(Clear(root_ / "missing", false));
    EXPECT_FALSE(fs::exists(root_ / "missing"));
}

TEST_F(ClearDirectoryTest, EmptyDirectoryIsRemovedOnlyWhenAsked) {
    EXPECT_TRUE(Clear(root_, false));
    EXPECT_TRUE(fs::is_directory(root_));
    EXPECT_TRUE(Clear(root_, true));
    EXPECT_FALSE(fs::exists(root_));
}

// An empty path must not be taken for the working directory.
TEST_F(ClearDirectoryTest, EmptyPathTouchesNothing) {
    MakeFile(root_ / "precious.txt");
    const fs::path previous = fs::current_path();
    fs::current_path(root_);
    const bool result = ClearDirectory(QString(), false);
    fs::current_path(previous);
    EXPECT_FALSE(result);
    EXPECT_TRUE(fs::exists(root_ / "precious.txt"));
}

TEST_F(ClearDirectoryTest, ReportsEntriesThatCannotBeDeleted) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    MakeFile(root_ / "locked/file.txt");
    MakeFile(root_ / "other.txt");
    fs::permissions(root_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(Clear(root_, false));
    EXPECT_FALSE(fs::exists(root_ / "other.txt")) << "a failure does not stop the rest";
    fs::permissions(root_ / "locked", fs::perms::owner_all);
}

}  // namespace
