#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Tools/memory.h"
#include "Tools/os.h"
#include "tools/os_test_util.h"

namespace {

using namespace Tools;
using Tools::testing::ReadText;
using Tools::testing::TempDir;
using Tools::testing::WriteText;
namespace fs = std::filesystem;

class OsFilesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }
    std::string Path(const std::string& name) const { return dir_ / name; }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_.path())) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    TempDir dir_;
};

TEST_F(OsFilesTest, MkdirsWithMixedSeparators) {
    const std::string path = Path("a\\b/c");
    EXPECT_EQ(os_mkdirs(path.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(Path("a")));
    EXPECT_TRUE(fs::is_directory(Path("a/b")));
    EXPECT_TRUE(fs::is_directory(Path("a/b/c")));
    EXPECT_EQ(os_mkdirs(path.c_str()), 1);
    EXPECT_EQ(os_mkdirs(Path("x/y/").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(Path("x/y")));
    EXPECT_EQ(os_mkdirs(""), -1);
    EXPECT_EQ(os_mkdirs(nullptr), -1);
}

TEST_F(OsFilesTest, MkdirTellsCreatedExistingAndFailed) {
    EXPECT_EQ(os_mkdir(Path("d").c_str()), 0);
    EXPECT_EQ(os_mkdir(Path("d").c_str()), 1);
    WriteText(Path("file"), "x");
    // A file of that name is no directory that "already existed".
    EXPECT_EQ(os_mkdir(Path("file").c_str()), -1);
    EXPECT_EQ(os_mkdirs(Path("file/sub").c_str()), -1);
    EXPECT_EQ(os_mkdir(Path("missing/d").c_str()), -1);
}

TEST_F(OsFilesTest, RmdirRemovesTreeButNotWhatLinksPointTo) {
    const std::string outside = Path("outside");
    fs::create_directories(outside);
    WriteText(outside + "/keep.txt", "keep");
    fs::create_directories(Path("tree/a/b"));
    WriteText(Path("tree/top.txt"), "1");
    WriteText(Path("tree/a/b/deep.txt"), "2");
    fs::create_directory_symlink(outside, Path("tree/a/link"));
    ::chmod(Path("tree/top.txt").c_str(), 0400);

    EXPECT_TRUE(os_rmdir(Path("tree").c_str()));
    EXPECT_FALSE(fs::exists(Path("tree")));
    EXPECT_EQ(ReadText(outside + "/keep.txt"), "keep");
    EXPECT_FALSE(os_rmdir(Path("tree").c_str()));
    // A link to a directory is not a directory to empty.
    fs::create_directory_symlink(outside, Path("alias"));
    EXPECT_FALSE(os_rmdir(Path("alias").c_str()));
    EXPECT_TRUE(fs::exists(outside + "/keep.txt"));
}

TEST_F(OsFilesTest, WholeFileReadsAndWrites) {
    const std::string path = Path("text.txt");
    ASSERT_TRUE(os_quick_write_utf8_file(path.c_str(), "h\xC3\xA9", 3, true));
    EXPECT_EQ(ReadText(path), "\xEF\xBB\xBFh\xC3\xA9");
    char* text = os_quick_read_utf8_file(path.c_str());
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "h\xC3\xA9");
    Free(text);

    size_t size = 99;
    char* bytes = os_quick_read_file(path.c_str(), &size);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(std::memcmp(bytes, "\xEF\xBB\xBFh\xC3\xA9", 6), 0);
    Free(bytes);

    // Empty or only a marker: no text, and the size is left alone.
    ASSERT_TRUE(os_quick_write_utf8_file(path.c_str(), "", 0, true));
    EXPECT_EQ(os_quick_read_utf8_file(path.c_str()), nullptr);
    ASSERT_TRUE(os_quick_write_file(path.c_str(), nullptr, 0));
    size = 99;
    EXPECT_EQ(os_quick_read_file(path.c_str(), &size), nullptr);
    EXPECT_EQ(size, 99u);
    EXPECT_EQ(os_quick_read_file(Path("missing").c_str(), &size), nullptr);
    EXPECT_FALSE(os_quick_write_file(Path("missing/x").c_str(), "x", 1));
    EXPECT_FALSE(os_quick_write_file(nullptr, "x", 1));
}

TEST_F(OsFilesTest, ReadsLargeFileWhole) {
    std::string big(300000, 'x');
    for (size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>('a' + i % 26);
    const std::string path = Path("big");
    ASSERT_TRUE(os_quick_write_file(path.c_str(), big.data(), big.size()));
    FILE* file = os_fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(os_fgetsize(file), static_cast<int64_t>(big.size()));
    ASSERT_EQ(os_fseeki64(file, 1000, SEEK_SET), 0);
    EXPECT_EQ(os_fgetsize(file), static_cast<int64_t>(big.size()));
    EXPECT_EQ(os_ftelli64(file), 1000);  // the position survives the size query
    char* text = nullptr;
    EXPECT_EQ(os_fread_utf8(file, &text), big.size());  // from the start, whatever the position
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), big);
    Free(text);
    std::fclose(file);
}

TEST_F(OsFilesTest, StreamsAreCloseOnExec) {
    FILE* file = os_fopen(Path("f").c_str(), "w+");
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(::fcntl(fileno(file), F_GETFD) & FD_CLOEXEC);
    std::fclose(file);
    EXPECT_EQ(os_fopen(Path("missing").c_str(), "rb"), nullptr);
    EXPECT_EQ(os_fopen(nullptr, "rb"), nullptr);

    const std::wstring wide = L"\u4E2D.txt";
    char* utf8 = nullptr;
    os_wcs_to_utf8_ptr(wide.c_str(), 0, &utf8);
    FILE* named = os_wfopen((std::wstring(dir_.path().begin(), dir_.path().end()) + L"/" + wide).c_str(), "wb");
    ASSERT_NE(named, nullptr);
    std::fclose(named);
    EXPECT_TRUE(fs::exists(Path(utf8)));
    Free(utf8);
}

TEST_F(OsFilesTest, SafeWriteKeepsBackupOnlyWhenAsked) {
    const std::string path = Path("config.ini");
    WriteText(path, "old");
    ASSERT_TRUE(os_quick_write_utf8_file_safe(path.c_str(), "new", 3, false, "tmp", ".bak"));
    EXPECT_EQ(ReadText(path), "new");
    EXPECT_EQ(ReadText(path + ".bak"), "old");
    ASSERT_TRUE(os_quick_write_utf8_file_safe(path.c_str(), "newer", 5, true, ".tmp", nullptr));
    EXPECT_EQ(ReadText(path), "\xEF\xBB\xBFnewer");
    EXPECT_EQ(ReadText(path + ".bak"), "old");
    EXPECT_EQ(Names(), (std::vector<std::string>{"config.ini", "config.ini.bak"}));

    EXPECT_FALSE(os_quick_write_utf8_file_safe(path.c_str(), "x", 1, false, "", nullptr));
    EXPECT_FALSE(os_quick_write_utf8_file_safe(path.c_str(), "x", 1, false, nullptr, nullptr));
    EXPECT_FALSE(os_quick_write_utf8_file_safe(Path("no/dir").c_str(), "x", 1, false, "tmp", nullptr));
    EXPECT_EQ(ReadText(path), "\xEF\xBB\xBFnewer");
}

TEST_F(OsFilesTest, SafeReplaceCases) {
    const std::string target = Path("t"), from = Path("f"), backup = Path("b");
    // A missing target is simply created.
    WriteText(from, "first");
    EXPECT_EQ(os_safe_replace(target.c_str(), from.c_str(), backup.c_str()), 0);
    EXPECT_EQ(ReadText(target), "first");
    EXPECT_FALSE(fs::exists(from));
    EXPECT_FALSE(fs::exists(backup));
    // An old backup is replaced by the old target.
    WriteText(backup, "stale");
    WriteText(from, "second");
    EXPECT_EQ(os_safe_replace(target.c_str(), from.c_str(), backup.c_str()), 0);
    EXPECT_EQ(ReadText(target), "second");
    EXPECT_EQ(ReadText(backup), "first");
    // Without a backup path no backup is kept, an empty path included.
    WriteText(from, "third");
    EXPECT_EQ(os_safe_replace(target.c_str(), from.c_str(), ""), 0);
    EXPECT_EQ(ReadText(target), "third");
    EXPECT_EQ(ReadText(backup), "first");
    EXPECT_EQ(Names(), (std::vector<std::string>{"b", "t"}));

    EXPECT_EQ(os_safe_replace(target.c_str(), from.c_str(), nullptr), -1);  // from is gone
    EXPECT_EQ(ReadText(target), "third");
    EXPECT_EQ(os_safe_replace(nullptr, from.c_str(), nullptr), -1);
    EXPECT_EQ(os_safe_replace(target.c_str(), nullptr, nullptr), -1);
    WriteText(from, "x");
    const std::string long_target = Path(std::string(1024, 'n'));
    EXPECT_EQ(os_safe_replace(long_target.c_str(), from.c_str(), nullptr), -1);
    EXPECT_EQ(ReadText(from), "x");
}

TEST_F(OsFilesTest, RenameAndCopy) {
    const std::string a = Path("a"), b = Path("b"), c = Path("c");
    WriteText(a, "alpha");
    ::chmod(a.c_str(), 0751);
    WriteText(b, "a longer old content");
    EXPECT_EQ(os_copyfile(a.c_str(), b.c_str()), 0);
    EXPECT_EQ(ReadText(b), "alpha");
    struct stat info{};
    ASSERT_EQ(os_stat(b.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0751u);
    EXPECT_EQ(info.st_size, 5);
    // Copying a file onto itself must not empty it.
    EXPECT_EQ(os_copyfile(a.c_str(), a.c_str()), -1);
    EXPECT_EQ(ReadText(a), "alpha");
    EXPECT_EQ(os_copyfile(Path("missing").c_str(), c.c_str()), -1);
    EXPECT_EQ(os_copyfile(dir_.path().c_str(), c.c_str()), -1);

    EXPECT_EQ(os_rename(a.c_str(), b.c_str()), 0);
    EXPECT_FALSE(os_pathfile_exist(a.c_str()));
    EXPECT_TRUE(os_pathfile_exist(b.c_str()));
    EXPECT_TRUE(os_pathfile_exist(dir_.path().c_str()));
    EXPECT_EQ(os_rename(a.c_str(), c.c_str()), -1);
    EXPECT_EQ(os_stat(a.c_str(), &info), -1);
    EXPECT_EQ(os_stat(nullptr, &info), -1);
}

TEST_F(OsFilesTest, MultiByteFilesInTheCurrentLocale) {
    const std::string path = Path("m.txt");
    ASSERT_TRUE(os_quick_write_mbs_file(path.c_str(), "plain", 5));
    EXPECT_EQ(ReadText(path), "plain");
    char* text = os_quick_read_mbs_file(path.c_str());
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "plain");
    Free(text);
    EXPECT_FALSE(os_quick_write_mbs_file(Path("no/dir").c_str(), "x", 1));
}

struct FilenameCase {
    const char* path;
    bool found;
    const char* name;
};

class FindFilenameTest : public ::testing::TestWithParam<FilenameCase> {};

TEST_P(FindFilenameTest, NameUpToFirstDot) {
    char out[64] = {};
    EXPECT_EQ(os_path_find_filename(GetParam().path, out), GetParam().found);
    EXPECT_STREQ(out, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Paths, FindFilenameTest,
                         ::testing::Values(FilenameCase{"C:\\dir\\name.ext.bak", true, "name"},
                                           FilenameCase{"/usr/lib/libfoo.so", true, "libfoo"},
                                           FilenameCase{"a/b\\plugin", true, "plugin"},
                                           FilenameCase{"dir/.hidden", true, ""},
                                           FilenameCase{"noslash.txt", false, ""}));

}  // namespace
