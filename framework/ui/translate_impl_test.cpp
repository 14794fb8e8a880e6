#include "framework/ui/translate_impl.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

namespace Application {
namespace {

struct Entry {
    const char* key;
    const char* value;  // null: absent
};

struct MergeCase {
    const char* name;
    std::string text;
    std::vector<Entry> expected;
};

void PrintTo(const MergeCase& c, std::ostream* os) { *os << c.name; }

class TranslateMergeTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(TranslateMergeTest, BuildsTheTable) {
    TranslateImpl table;
    table.Merge(GetParam().text);
    for (const Entry& e : GetParam().expected) {
        const char* found = table.Lookup(e.key);
        if (!e.value) {
            EXPECT_EQ(found, nullptr) << e.key;
        } else {
            ASSERT_NE(found, nullptr) << e.key;
            EXPECT_STREQ(found, e.value) << e.key;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TranslateMergeTest,
    ::testing::Values(
        MergeCase{"FirstEqualsSplits", "a=b=c", {{"a", "b=c"}}},
        MergeCase{"EmptyValueIgnored", "k=\nx=1", {{"k", nullptr}, {"x", "1"}}},
        MergeCase{"EmptyKeyIgnored", "=v\n", {{"", nullptr}}},
        MergeCase{"NoEqualsIgnored", "plain\ny=2", {{"plain", nullptr}, {"y", "2"}}},
        MergeCase{"BlanksKept", " a = b ", {{" a ", " b "}, {"a", nullptr}}},
        MergeCase{"LineEndsLF", "a=1\nb=2\n", {{"a", "1"}, {"b", "2"}}},
        MergeCase{"LineEndsCRLF", "a=1\r\nb=2\r\n", {{"a", "1"}, {"b", "2"}}},
        MergeCase{"LineEndsCR", "a=1\rb=2", {{"a", "1"}, {"b", "2"}}},
        MergeCase{"BlankLinesBetween", "\n\r\na=1\n\n\r\rb=2", {{"a", "1"}, {"b", "2"}}},
        MergeCase{"LaterKeyWins", "a=1\na=2", {{"a", "2"}}},
        MergeCase{"StopsAtNul", std::string("a=1\0b=2", 7), {{"a", "1"}, {"b", "2"}}},
        // Invalid UTF-8 in one line leaves the other keys intact.
        MergeCase{"InvalidUtf8IsolatedToItsLine", "bad\xff\xfe=\xc3\nok=fine", {{"bad\xff\xfe", "\xc3"}, {"ok", "fine"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TranslateTest, LaterLoadsOverrideEarlierOnes) {
    TranslateImpl table;
    table.LoadText("Open=Open\nQuit=Quit\n");
    table.LoadText("Quit=Exit\n");
    EXPECT_STREQ(table.Lookup("Open"), "Open");
    EXPECT_STREQ(table.Lookup("Quit"), "Exit");
    EXPECT_EQ(table.Lookup("Missing"), nullptr);
    EXPECT_EQ(table.Lookup(nullptr), nullptr);
    table.LoadText(nullptr);
    EXPECT_STREQ(table.Lookup("Quit"), "Exit");
}

TEST(TranslateTest, UnreadableFileChangesNothing) {
    TranslateImpl table;
    table.LoadText("a=1");
    table.LoadFile("/nonexistent/velmora/lang.txt");
    table.LoadFile(nullptr);
    EXPECT_STREQ(table.Lookup("a"), "1");
}

// A language file as shipped: byte-order mark, CR LF, one line with bytes
// that are not UTF-8 and one without '='. The marker is not part of the
// first key, and the broken lines cost only themselves.
TEST(TranslateTest, LoadFileReadsMarkedFileAndSkipsBrokenLines) {
    char pattern[] = "/tmp/velmora-lang-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/lang.txt";
    {
        std::ofstream out(path, std::ios::binary);
        out << "\xEF\xBB\xBFOpen=Ouvrir\r\nbad\xC3\x28key=\xFF\xFE\r\nno separator here\r\nQuit=Quitter\r\n";
    }
    TranslateImpl table;
    table.LoadText("Quit=Quit\nKeep=Kept\n");
    table.LoadFile(path.c_str());
    std::filesystem::remove_all(pattern);
    EXPECT_STREQ(table.Lookup("Open"), "Ouvrir");
    EXPECT_STREQ(table.Lookup("Quit"), "Quitter");
    EXPECT_STREQ(table.Lookup("Keep"), "Kept");
    EXPECT_EQ(table.Lookup("no separator here"), nullptr);
    EXPECT_EQ(table.Lookup("\xEF\xBB\xBFOpen"), nullptr);
}

}  // namespace
}  // namespace Application
