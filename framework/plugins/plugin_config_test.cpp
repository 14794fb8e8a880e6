#include "framework/plugins/plugin_config.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace Application {
namespace {

std::vector<PluginConfigEntry> Parse(const std::string& text, bool* ok = nullptr, std::string* error = nullptr) {
    std::vector<PluginConfigEntry> entries;
    std::string message;
    const bool result = ParsePluginConfigText(text, [&](const PluginConfigEntry& e) { entries.push_back(e); }, message);
    if (ok) *ok = result;
    if (error) *error = message;
    return entries;
}

struct EntryCase {
    const char* label;
    const char* document;  // the whole file
    PluginConfig expected;
};

void PrintTo(const EntryCase& c, std::ostream* out) { *out << c.label; }

PluginConfig Config(int32_t type, std::string file, std::string name, std::string cmdline = "",
                    std::string plugin_process = "", bool ensure_process = false, bool load_delay = false,
                    std::string msg_mod = "", int32_t msg_id = 0) {
    PluginConfig c;
    c.type = type;
    c.file = std::move(file);
    c.name = std::move(name);
    c.cmdline = std::move(cmdline);
    c.plugin_process = std::move(plugin_process);
    c.ensure_process = ensure_process;
    c.load_delay = load_delay;
    c.msg_mod = std::move(msg_mod);
    c.msg_id = msg_id;
    return c;
}

const EntryCase kEntryCases[] = {
    {"every key set",
     R"({"plugins":[{"type":3,"file":"f","name":"n","cmdline":"-x=1","plugin_process":"p.exe",
         "ensure_process":true,"load_delay":true,"startup_info":{"msg_id":7,"msg_mod":"app"}}]})",
     Config(3, "f", "n", "-x=1", "p.exe", true, true, "app", 7)},
    {"empty object gives every default", R"({"plugins":[{}]})", Config(0, "", "")},
    {"type with a fraction reads 0", R"({"plugins":[{"type":2.0,"name":"a"}]})", Config(0, "", "a")},
    {"type as a string reads 0", R"({"plugins":[{"type":"2"}]})", Config(0, "", "")},
    {"type as a bool reads 0", R"({"plugins":[{"type":true}]})", Config(0, "", "")},
    {"64-bit type keeps its low 32 bits", R"({"plugins":[{"type":4294967298}]})", Config(2, "", "")},
    {"texts of another kind read empty",
     R"({"plugins":[{"type":2,"file":12,"name":null,"cmdline":["x"],"plugin_process":{}}]})", Config(2, "", "")},
    {"load_delay as a string reads false", R"({"plugins":[{"load_delay":"true","ensure_process":1}]})",
     Config(0, "", "")},
    {"load_delay false stays false", R"({"plugins":[{"load_delay":false,"ensure_process":false}]})",
     Config(0, "", "")},
    {"startup_info without msg_id arms nothing", R"({"plugins":[{"startup_info":{"msg_mod":"app"}}]})",
     Config(0, "", "", "", "", false, false, "app", 0)},
    {"startup_info that is not an object", R"({"plugins":[{"startup_info":[7,"app"]}]})", Config(0, "", "")},
    {"startup_info members of another kind", R"({"plugins":[{"startup_info":{"msg_id":"7","msg_mod":5}}]})",
     Config(0, "", "")},
    {"empty plugin_process takes the top-level default",
     R"({"plugin_process":"host_proc","plugins":[{"type":3,"plugin_process":""}]})",
     Config(3, "", "", "", "host_proc")},
    {"missing plugin_process takes the top-level default",
     R"({"plugin_process":"host_proc","plugins":[{"type":3}]})", Config(3, "", "", "", "host_proc")},
    {"own plugin_process wins", R"({"plugin_process":"host_proc","plugins":[{"plugin_process":"own"}]})",
     Config(0, "", "", "", "own")},
    {"top-level plugin_process of another kind is empty", R"({"plugin_process":3,"plugins":[{}]})",
     Config(0, "", "")},
    {"texts keep UTF-8 and escapes", R"({"plugins":[{"name":"gr\u00fc\u00dfe \"q\""}]})",
     Config(0, "", "gr\xC3\xBC\xC3\x9F" "e \"q\"")},
};

class PluginConfigEntryTest : public ::testing::TestWithParam<EntryCase> {};

TEST_P(PluginConfigEntryTest, ReadsKeysWithTheirDefaults) {
    const EntryCase& c = GetParam();
    bool ok = false;
    std::string error;
    auto entries = Parse(c.document, &ok, &error);
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(error, "");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].is_object);
    const PluginConfig& got = entries[0].config;
    const PluginConfig& want = c.expected;
    EXPECT_EQ(got.type, want.type);
    EXPECT_EQ(got.file, want.file);
    EXPECT_EQ(got.name, want.name);
    EXPECT_EQ(got.cmdline, want.cmdline);
    EXPECT_EQ(got.plugin_process, want.plugin_process);
    EXPECT_EQ(got.ensure_process, want.ensure_process);
    EXPECT_EQ(got.load_delay, want.load_delay);
    EXPECT_EQ(got.msg_mod, want.msg_mod);
    EXPECT_EQ(got.msg_id, want.msg_id);
}

INSTANTIATE_TEST_SUITE_P(Keys, PluginConfigEntryTest, ::testing::ValuesIn(kEntryCases),
                         [](const auto& info) {
                             std::string name;
                             for (const char* p = info.param.label; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

struct DocumentCase {
    const char* label;
    const char* document;
    bool ok;
    size_t entries;
    const char* error;  // expected start of the error text, "" for none
};

void PrintTo(const DocumentCase& c, std::ostream* out) { *out << c.label; }

const DocumentCase kDocumentCases[] = {
    {"no plugins key", R"({"plugin_process":"x"})", true, 0, ""},
    {"empty plugins", R"({"plugins":[]})", true, 0, ""},
    {"plugins not an array", R"({"plugins":{"type":1}})", true, 0, "\"plugins\" is not an array"},
    {"top level an array", R"([{"plugins":[]}])", false, 0, "the top level is not an object"},
    {"top level a number", "42", false, 0, "the top level is not an object"},
    {"comments are refused", "{\"plugins\":[] // none\n}", false, 0, "not valid JSON: "},
    {"trailing comma", R"({"plugins":[{},]})", false, 0, "not valid JSON: expected value"},
    {"empty text", "", false, 0, "not valid JSON: unexpected end of input"},
    {"entries keep file order", R"({"plugins":[{"name":"b"},3,{"name":"a"}]})", true, 3, ""},
};

class PluginConfigDocumentTest : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(PluginConfigDocumentTest, AcceptsOnlyAnObjectAndAnArrayOfEntries) {
    const DocumentCase& c = GetParam();
    bool ok = !c.ok;
    std::string error;
    auto entries = Parse(c.document, &ok, &error);
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(entries.size(), c.entries);
    if (*c.error)
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    else
        EXPECT_EQ(error, "");
}

INSTANTIATE_TEST_SUITE_P(Documents, PluginConfigDocumentTest, ::testing::ValuesIn(kDocumentCases),
                         [](const auto& info) {
                             std::string name;
                             for (const char* p = info.param.label; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

TEST(PluginConfigTest, NonObjectEntriesComeWithTheirPositionAndDefaults) {
    auto entries = Parse(R"({"plugins":[{"name":"b","type":1},"text",{"name":"a"}]})");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].index, 0u);
    EXPECT_EQ(entries[0].config.name, "b");
    EXPECT_EQ(entries[1].index, 1u);
    EXPECT_FALSE(entries[1].is_object);
    EXPECT_EQ(entries[1].config.type, 0);
    EXPECT_EQ(entries[1].config.name, "");
    EXPECT_EQ(entries[2].index, 2u);
    EXPECT_EQ(entries[2].config.name, "a");
}

TEST(PluginConfigTest, ReadsAFileWithAByteOrderMarkAndReportsAMissingOne) {
    const auto dir = std::filesystem::temp_directory_path() / ("plugin_config_test_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto path = (dir / "config.json").string();
    {
        std::ofstream out(path, std::ios::binary);
        out << "\xEF\xBB\xBF{\"plugins\":[{\"type\":2,\"name\":\"x\"}]}\r\n";
    }
    std::vector<PluginConfigEntry> entries;
    std::string error;
    EXPECT_TRUE(ParsePluginConfig(path.c_str(), [&](const PluginConfigEntry& e) { entries.push_back(e); }, error));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].config.name, "x");

    entries.clear();
    const auto missing = (dir / "absent.json").string();
    EXPECT_FALSE(ParsePluginConfig(missing.c_str(), [&](const PluginConfigEntry& e) { entries.push_back(e); }, error));
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(error, "cannot read the file: No such file or directory");
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace Application
