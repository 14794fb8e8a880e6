#include "Tools/config.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tools/config_p.h"

using namespace Tools;

namespace {

const std::string kBom = "\xEF\xBB\xBF";

// "[name]{key=value|key=value}" for every section of a layer, in order.
std::string Dump(const config_layer& layer) {
    std::string out;
    for (size_t s = 0; s < layer.count; ++s) {
        const config_section& section = layer.sections[s];
        out += "[" + std::string(section.name) + "]{";
        for (size_t i = 0; i < section.count; ++i) {
            if (i) out += "|";
            out += std::string(section.items[i].name) + "=" + section.items[i].value;
        }
        out += "}";
    }
    return out;
}

// A handle closed at the end of the test.
struct Config {
    config_data* handle = nullptr;
    ~Config() { config_close(handle); }
    config_data** operator&() { return &handle; }
    operator config_data*() const { return handle; }
};

class ConfigFileTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "config_test_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string PathOf(const char* name) const { return (dir_ / name).string(); }

    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // The names in the test's directory, sorted.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::filesystem::path dir_;
};

TEST(ConfigParseTest, ReadingRules) {
    struct Case {
        const char* name;
        std::string text;
        const char* expected;
    };
    const Case cases[] = {
        {"basic", "[A]\r\nk=v\r\n[B]\r\nx=1", "[A]{k=v}[B]{x=1}"},
        {"bom skipped", kBom + "[A]\nk=v", "[A]{k=v}"},
        {"only bom", kBom, ""},
        {"empty", "", ""},
        {"lines before the first header", "k=v\n# c\n  [S]\nx=y", "[S]{x=y}"},
        {"nothing trimmed", "[ a ]\nk = v \n", "[ a ]{k = v }"},
        {"comments and blank lines", "[S]\n\n  # k=v\n\t\r\nk=v\n", "[S]{k=v}"},
        {"line ends CR, LF, CRLF, LFCR", "[S]\rk1=a\nk2=b\r\nk3=c\n\rk4=d", "[S]{k1=a|k2=b|k3=c|k4=d}"},
        {"value holds =", "[S]\nk=a=b=", "[S]{k=a=b=}"},
        {"first character belongs to the key", "[S]\n==v\n=a=b", "[S]{==v|=a=b}"},
        {"line without = is ignored", "[S]\nnothing here\nk=v", "[S]{k=v}"},
        {"last line without = and line end", "[S]\nk=v\nkey", "[S]{k=v|key=}"},
        {"last line without = but with line end", "[S]\nkey\n", "[S]{}"},
        {"empty value", "[S]\nx=\n", "[S]{x=}"},
        {"escapes", "[S]\nk=a\\nb\\rc\\td\\\\e\\", "[S]{k=a\nb\rc\\td\\\\e\\}"},
        {"keys are literal", "[S]\na\\nb=1", "[S]{a\\nb=1}"},
        {"backslashes not before r or n stay", "[S]\nk=C:\\dir\\\\server\\share\\", "[S]{k=C:\\dir\\\\server\\share\\}"},
        {"backslash pairs before r or n", "[S]\na=\\\\n\nb=\\\\\\n\nc=\\\\\\\\r\nd=\\\\\\\\\\rx",
         "[S]{a=\\n|b=\\\n|c=\\\\r|d=\\\\\rx}"},
        {"empty name ends reading", "[A]\nk=v\n[]\n[B]\nx=1", "[A]{k=v}"},
        {"bracket then line end ends reading", "[A]\nk=v\n[\n[B]", "[A]{k=v}"},
        {"bracket at the end ends reading", "[A]\nk=v\n[", "[A]{k=v}"},
        {"header without ]", "[A\nk=v", "[A]{k=v}"},
        {"header at the end without ]", "[S]\nk=v\n[T", "[S]{k=v}[T]{}"},
        {"rest of the header line", "[A] k=v\n[B]#c\n[C][D]x=1", "[A]{k=v}[B]{}[C]{}[D]{x=1}"},
        {"name stops at the first ]", "[a]b]\n", "[a]{}"},
        {"duplicates kept", "[A]\nk=1\nk=2\n[a]\nk=3", "[A]{k=1|k=2}[a]{k=3}"},
        {"ends at the first zero byte", std::string("[S]\nk=v\0\nj=w", 12), "[S]{k=v}"},
        {"header line with leading blanks", "\t [S]\n  k=v", "[S]{k=v}"},
        {"invalid utf-8 kept as bytes", "[\xFF\xFE]\n\xC3=\x80\xC0", "[\xFF\xFE]{\xC3=\x80\xC0}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        config_layer layer{nullptr, 0, 0, {}};
        config_detail::parse_text(c.text.c_str(), &layer);
        EXPECT_EQ(Dump(layer), c.expected);
        config_detail::free_layer(&layer);
    }
}

TEST(ConfigParseTest, HugeLinesAndTruncatedInput) {
    const std::string big(1 << 20, 'x');
    const std::string texts[] = {
        "[S]\nk=" + big,
        "[S]\n" + big,
        "[" + big,
        "[S]\nk=" + big + "\\",
        "[S]\n" + std::string(1 << 20, '\\') + "=" + std::string(1 << 20, '\\'),
    };
    const size_t expected_sections[] = {1, 1, 1, 1, 1};
    for (size_t i = 0; i < std::size(texts); ++i) {
        config_layer layer{nullptr, 0, 0, {}};
        config_detail::parse_text(texts[i].c_str(), &layer);
        EXPECT_EQ(layer.count, expected_sections[i]) << i;
        config_detail::free_layer(&layer);
    }
    Config config;
    ASSERT_EQ(config_open_string(&config, ("[S]\nk=" + big + "\\n\\").c_str()), 0);
    EXPECT_EQ(std::string(config_get_string(config, "S", "k", "")), big + "\n\\");
}

TEST(ConfigTest, SaveWritesBomAndCrLf) {
    Config config;
    ASSERT_EQ(config_open_string(&config, "junk\n[A]\r\nk=v\r\n# dropped\r\n[B]\r\nx=1\n[Empty]"), 0);
    dstr text;
    dstr_init(&text);
    config_detail::build_text(&config.handle->user, &text);
    EXPECT_EQ(std::string(text.text, text.length), "[A]\r\nk=v\r\n\r\n[B]\r\nx=1\r\n\r\n[Empty]\r\n");
    dstr_free(&text);
}

TEST(ConfigTest, LookupsIgnoreCaseAndKeepTheFirst) {
    Config config;
    ASSERT_EQ(config_open_string(&config, "[Sec]\nKey=1\nkey=2\n[SEC]\nkey=3\nOther=4"), 0);
    EXPECT_STREQ(config_get_string(config, "sec", "KEY", "d"), "1");
    EXPECT_STREQ(config_get_string(config, "sec", "other", "d"), "4") << "later sections of the name are searched";
    EXPECT_STREQ(config_get_string(config, "sec", "missing", "d"), "d");
    EXPECT_STREQ(config_get_string(config, "nosuch", "key", nullptr), nullptr);
    EXPECT_EQ(config_num_sections(config), 2u);
    EXPECT_STREQ(config_get_section(config, 0), "Sec");
    EXPECT_STREQ(config_get_section(config, 1), "SEC");
    EXPECT_EQ(config_get_section(config, 2), nullptr);

    // Set changes the first matching entry, or appends to the first matching section only.
    config_set_string(config, "SEC", "KEY", "one");
    config_set_string(config, "sec", "other", "new");
    config_set_string(config, "Fresh", "k", nullptr);
    EXPECT_EQ(Dump(config.handle->user), "[Sec]{Key=one|key=2|other=new}[SEC]{key=3|Other=4}[Fresh]{k=}");
    EXPECT_STREQ(config_get_string(config, "sec", "other", "d"), "new");
}

// The first matching entry found by walking the layer, as lookups are defined.
const char* WalkLookup(const config_layer& layer, const char* section, const char* key) {
    for (size_t s = 0; s < layer.count; ++s) {
        if (astrcmpi(layer.sections[s].name, section) != 0) continue;
        for (size_t i = 0; i < layer.sections[s].count; ++i) {
            if (astrcmpi(layer.sections[s].items[i].name, key) == 0) return layer.sections[s].items[i].value;
        }
    }
    return nullptr;
}

TEST(ConfigTest, LookupsInLongListsMatchAWalk) {
    Config config;
    ASSERT_EQ(config_open_string(&config, ""), 0);
    unsigned seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
    auto name = [](const char* prefix, unsigned n, bool upper) {
        std::string text = prefix + std::to_string(n);
        if (upper) {
            for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return text;
    };
    for (int round = 0; round < 4000; ++round) {
        const std::string section = name("sec", next() % 30, next() % 2);
        const std::string key = name("key", next() % 60, next() % 2);
        switch (next() % 8) {
            case 0: config_remove_value(config, section.c_str(), key.c_str()); break;
            case 1:
                if (next() % 10 == 0) config_remove_section(config, section.c_str());
                break;
            default: config_set_int(config, section.c_str(), key.c_str(), round); break;
        }
    }
    // Duplicate sections and keys, as a file may hold them.
    config_layer& user = config.handle->user;
    config_detail::parse_text("[SEC1]\nKEY1=dup\nnew=x\n[sec1]\nnewer=y\nkey0=z", &user);
    ASSERT_GT(user.count, 8u);
    size_t checked = 0;
    for (unsigned s = 0; s < 32; ++s) {
        for (unsigned k = 0; k < 62; ++k) {
            const std::string section = name("sec", s, k % 2), key = name("key", k, s % 2);
            EXPECT_EQ(config_get_string(config, section.c_str(), key.c_str(), nullptr),
                      WalkLookup(user, section.c_str(), key.c_str()))
                << section << "/" << key;
            ++checked;
        }
    }
    EXPECT_STREQ(config_get_string(config, "sec1", "NEW", nullptr), "x");
    EXPECT_STREQ(config_get_string(config, "Sec1", "newer", nullptr), "y");
    EXPECT_EQ(checked, 32u * 62u);
}

TEST(ConfigTest, TypedGetters) {
    Config config;
    ASSERT_EQ(config_open_string(&config,
                                 "[S]\nhex=0x1F\nHEX=0X1F\nneg=-12\nbig=99999999999999999999\nblank= 5\n"
                                 "empty=\nt=TRUE\nf=false\nyes=yes\none=1\nhexbool=0x10\nspaced= true\n"
                                 "d=2.5\ndbad=abc\nminus=-1\nsuffix=12abc\n"),
              0);
    struct IntCase {
        const char* key;
        int64_t expected;
    };
    const IntCase ints[] = {
        {"hex", 31},  {"HEX", 31}, {"neg", -12}, {"big", INT64_MAX}, {"blank", 5}, {"empty", 0},
        {"suffix", 12}, {"t", 0},
    };
    // Keys match case-insensitively, so "HEX" finds the first entry, "0x1F".
    for (const auto& c : ints) EXPECT_EQ(config_get_int(config, "S", c.key, 7), c.expected) << c.key;
    EXPECT_EQ(config_get_uint(config, "S", "hex", 7), 31u);
    EXPECT_EQ(config_get_uint(config, "S", "minus", 7), UINT64_MAX);

    struct BoolCase {
        const char* key;
        bool expected;
    };
    const BoolCase bools[] = {
        {"t", true},    {"f", false},      {"yes", false},    {"one", true},
        {"hexbool", true}, {"spaced", false}, {"empty", false}, {"minus", true},
    };
    for (const auto& c : bools) EXPECT_EQ(config_get_bool(config, "S", c.key, true), c.expected) << c.key;

    EXPECT_DOUBLE_EQ(config_get_double(config, "S", "d", 9.0), 2.5);
    EXPECT_DOUBLE_EQ(config_get_double(config, "S", "dbad", 9.0), 0.0);
    EXPECT_DOUBLE_EQ(config_get_double(config, "S", "empty", 9.0), 0.0);
}

TEST(ConfigTest, Ox1FReadsAsHexOnlyWithLowerCaseX) {
    Config config;
    ASSERT_EQ(config_open_string(&config, "[S]\na=0x1F\n[T]\na=0X1F"), 0);
    EXPECT_EQ(config_get_int(config, "S", "a", 7), 31);
    EXPECT_EQ(config_get_int(config, "T", "a", 7), 0);
}

TEST(ConfigTest, TypedGettersRegisterTheirDefaults) {
    Config config;
    ASSERT_EQ(config_open_string(&config, "[S]\nx=\n"), 0);
    EXPECT_EQ(config_get_int(config, "S", "missing", 7), 7);
    EXPECT_EQ(config_get_default_int(config, "S", "missing"), 7);
    EXPECT_TRUE(config_has_default_value(config, "s", "MISSING"));
    EXPECT_FALSE(config_has_user_value(config, "S", "missing"));

    EXPECT_TRUE(config_has_user_value(config, "S", "x"));
    EXPECT_EQ(config_get_int(config, "S", "x", 7), 0) << "an empty user value is 0, not the default";
    EXPECT_STREQ(config_get_string(config, "S", "x", "d"), "");

    EXPECT_EQ(config_get_uint(config, "S", "u", 18446744073709551615ull), UINT64_MAX);
    EXPECT_STREQ(config_get_default_string(config, "S", "u"), "18446744073709551615");
    EXPECT_TRUE(config_get_bool(config, "S", "b", true));
    EXPECT_STREQ(config_get_default_string(config, "S", "b"), "true");
    EXPECT_DOUBLE_EQ(config_get_double(config, "S", "d", 0.25), 0.25);
    EXPECT_STREQ(config_get_default_string(config, "S", "d"), "0.25");
    // A later call replaces the registered default.
    EXPECT_EQ(config_get_int(config, "S", "missing", -3), -3);
    EXPECT_EQ(config_get_default_int(config, "S", "missing"), -3);
    EXPECT_FALSE(config_get_bool(config, "S", "missing", false)) << "the default, not the old \"-3\"";

    EXPECT_EQ(config_get_default_int(config, "S", "none"), 0);
    EXPECT_EQ(config_get_default_uint(config, "S", "none"), 0u);
    EXPECT_FALSE(config_get_default_bool(config, "S", "none"));
    EXPECT_DOUBLE_EQ(config_get_default_double(config, "S", "none"), 0.0);
    EXPECT_EQ(config_get_default_string(config, "S", "none"), nullptr);
    EXPECT_STREQ(config_get_string(config, "S", "none", "fallback"), "fallback");
    EXPECT_FALSE(config_has_default_value(config, "S", "none")) << "get_string registers nothing";
}

TEST(ConfigTest, SettersFormatValues) {
    Config config;
    ASSERT_EQ(config_open_string(&config, ""), 0);
    struct Case {
        void (*set)(config_data*);
        const char* key;
        const char* user;
        const char* fallback;
    };
    const Case cases[] = {
        {[](config_data* c) { config_set_int(c, "S", "i", INT64_MIN); }, "i", "-9223372036854775808", nullptr},
        {[](config_data* c) { config_set_uint(c, "S", "u", UINT64_MAX); }, "u", "18446744073709551615", nullptr},
        {[](config_data* c) { config_set_bool(c, "S", "b", false); }, "b", "false", nullptr},
        {[](config_data* c) { config_set_double(c, "S", "d2", 2); }, "d2", "2.0", nullptr},
        {[](config_data* c) { config_set_double(c, "S", "d20", 1e20); }, "d20", "1e20", nullptr},
        {[](config_data* c) { config_set_double(c, "S", "dsmall", 1e-5); }, "dsmall", "1.0000000000000001e-5",
         nullptr},
        {[](config_data* c) { config_set_double(c, "S", "dtenth", 0.1); }, "dtenth", "0.10000000000000001",
         nullptr},
        {[](config_data* c) { config_set_default_double(c, "S", "dd", 2); }, "dd", nullptr, "2"},
        {[](config_data* c) { config_set_default_int(c, "S", "di", -5); }, "di", nullptr, "-5"},
        {[](config_data* c) { config_set_default_uint(c, "S", "du", 5); }, "du", nullptr, "5"},
        {[](config_data* c) { config_set_default_bool(c, "S", "db", true); }, "db", nullptr, "true"},
        {[](config_data* c) { config_set_default_string(c, "S", "ds", nullptr); }, "ds", nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        c.set(config);
        if (c.user) {
            ASSERT_TRUE(config_has_user_value(config, "S", c.key));
            EXPECT_STREQ(config_get_string(config, "S", c.key, nullptr), c.user);
        } else {
            EXPECT_FALSE(config_has_user_value(config, "S", c.key));
            EXPECT_STREQ(config_get_default_string(config, "S", c.key), c.fallback);
            EXPECT_STREQ(config_get_string(config, "S", c.key, nullptr), c.fallback) << "falls back to defaults";
        }
    }
    EXPECT_DOUBLE_EQ(config_get_double(config, "S", "dtenth", 0), 0.1);
    EXPECT_EQ(config_get_int(config, "S", "i", 0), INT64_MIN);
}

TEST(ConfigTest, RemoveValueAndSection) {
    Config config;
    ASSERT_EQ(config_open_string(&config, "[A]\nk=1\nj=2\nk=3\n[B]\nx=1\n[A]\nz=9"), 0);
    EXPECT_TRUE(config_remove_value(config, "a", "K"));
    EXPECT_EQ(Dump(config.handle->user), "[A]{j=2|k=3}[B]{x=1}[A]{z=9}");
    EXPECT_TRUE(config_remove_value(config, "A", "z")) << "found in a later section of the name";
    EXPECT_EQ(Dump(config.handle->user), "[A]{j=2|k=3}[B]{x=1}[A]{}") << "sections stay, even when empty";
    EXPECT_FALSE(config_remove_value(config, "A", "missing"));
    EXPECT_FALSE(config_remove_value(config, "nosuch", "k"));

    EXPECT_TRUE(config_remove_section(config, "b"));
    EXPECT_EQ(Dump(config.handle->user), "[A]{j=2|k=3}[A]{}");
    EXPECT_FALSE(config_remove_section(config, "B"));
    EXPECT_TRUE(config_remove_section(config, "A"));
    EXPECT_TRUE(config_remove_section(config, "A"));
    EXPECT_EQ(config_num_sections(config), 0u);
    EXPECT_FALSE(config_remove_section(config, "A"));
}

TEST(ConfigTest, AbsentHandlesAndArguments) {
    EXPECT_EQ(config_open(nullptr, "x", CONFIG_OPEN_ALWAYS), -2);
    EXPECT_EQ(config_open_string(nullptr, "[A]"), -2);
    EXPECT_EQ(config_open_defaults(nullptr, "x"), -2);
    EXPECT_EQ(config_save(nullptr), -2);
    config_reopen(nullptr);
    config_close(nullptr);
    EXPECT_EQ(config_num_sections(nullptr), 0u);
    EXPECT_STREQ(config_get_string(nullptr, "a", "b", "d"), "d");
    EXPECT_EQ(config_get_int(nullptr, "a", "b", 4), 4);
    config_set_string(nullptr, "a", "b", "c");
    EXPECT_FALSE(config_remove_section(nullptr, "a"));

    Config from_text;
    ASSERT_EQ(config_open_string(&from_text, nullptr), 0);
    EXPECT_EQ(config_num_sections(from_text), 0u);
    config_set_string(from_text, "A", "k", "v");
    EXPECT_EQ(config_save(from_text), -2) << "a handle made from text has no file";
    config_reopen(from_text);
    EXPECT_STREQ(config_get_string(from_text, "A", "k", nullptr), "v");
}

TEST_F(ConfigFileTest, SaveGivesExactBytes) {
    const std::string path = PathOf("a.ini");
    Write(path, "[A]\r\nk=v\r\n[B]\r\nx=1");
    Config config;
    ASSERT_EQ(config_open(&config, path.c_str(), CONFIG_OPEN_EXISTING), 0);
    ASSERT_EQ(config_save(config), 0);
    EXPECT_EQ(Read(path), kBom + "[A]\r\nk=v\r\n\r\n[B]\r\nx=1\r\n");
}

TEST_F(ConfigFileTest, OpenMissingFile) {
    const std::string path = PathOf("missing.ini");
    {
        Config config;
        EXPECT_EQ(config_open(&config, path.c_str(), CONFIG_OPEN_EXISTING), -1);
        ASSERT_NE(config.handle, nullptr) << "the handle is handed back anyway";
        EXPECT_FALSE(std::filesystem::exists(path));
        config_set_int(config, "S", "n", 5);
        ASSERT_EQ(config_save(config), 0);
        EXPECT_EQ(Read(path), kBom + "[S]\r\nn=5\r\n");
    }
    const std::string created = PathOf("created.ini");
    Config always;
    EXPECT_EQ(config_open(&always, created.c_str(), CONFIG_OPEN_ALWAYS), 0);
    EXPECT_TRUE(std::filesystem::exists(created));
    EXPECT_EQ(config_num_sections(always), 0u);

    Config odd_type;
    EXPECT_EQ(config_open(&odd_type, PathOf("other.ini").c_str(), static_cast<config_open_type>(5)), -1)
        << "an unknown type acts as 'must exist'";
}

TEST_F(ConfigFileTest, SaveOfAnEmptyLayerWritesOnlyTheMark) {
    const std::string path = PathOf("empty.ini");
    Write(path, "[A]\nk=v\n");
    Config config;
    ASSERT_EQ(config_open(&config, path.c_str(), CONFIG_OPEN_EXISTING), 0);
    ASSERT_TRUE(config_remove_section(config, "A"));
    EXPECT_EQ(config_save(config), -2);
    EXPECT_EQ(Read(path), kBom);
}

TEST_F(ConfigFileTest, SaveToAnUnwritablePath) {
    Config config;
    const std::string path = PathOf("no/such/dir/x.ini");
    EXPECT_EQ(config_open(&config, path.c_str(), CONFIG_OPEN_ALWAYS), -1);
    config_set_string(config, "A", "k", "v");
    EXPECT_EQ(config_save(config), -1);
}

TEST_F(ConfigFileTest, EveryValueSurvivesSaveAndRead) {
    const char* values[] = {
        "plain", "", " padded ", "line\nbreak", "cr\ronly", "crlf\r\nend\r\n", "\n", "\\", "tail\\",
        "back\\slash", "\\\n", "a=b=c", "#not a comment", "[not a header]", "\xFF\xFE invalid utf-8",
        // Backslashes before the letters of the escapes, and before CR and LF.
        "C:\\new\\root", "\\n", "\\r", "\\\\n", "\\\\\\r", "\\\r", "\\\r\n", "x\\rn\\nr\\", "end\\\\",
        "\\\\\\", "\\\\server\\share", "\\\\\n\\\\n\n",
    };
    const std::string path = PathOf("values.ini");
    {
        Config config;
        config_open(&config, path.c_str(), CONFIG_OPEN_ALWAYS);
        for (size_t i = 0; i < std::size(values); ++i) {
            config_set_string(config, "Values", ("k" + std::to_string(i)).c_str(), values[i]);
        }
        config_set_string(config, "After", "k", "v");
        ASSERT_EQ(config_save(config), 0);
    }
    Config config;
    ASSERT_EQ(config_open(&config, path.c_str(), CONFIG_OPEN_EXISTING), 0);
    for (size_t i = 0; i < std::size(values); ++i) {
        EXPECT_STREQ(config_get_string(config, "Values", ("k" + std::to_string(i)).c_str(), "<missing>"), values[i])
            << i;
    }
    EXPECT_STREQ(config_get_string(config, "After", "k", "<missing>"), "v");
    EXPECT_EQ(Read(path).find("line\\nbreak"), kBom.size() + std::string("[Values]\r\nk0=plain\r\nk1=\r\nk2= padded \r\nk3=").size());
}

TEST_F(ConfigFileTest, NamesThatCannotBeReadBackDoNotSpoilTheRest) {
    const std::string path = PathOf("names.ini");
    {
        Config config;
        config_open(&config, path.c_str(), CONFIG_OPEN_ALWAYS);
        config_set_string(config, "First", "k", "1");
        config_set_string(config, "", "k", "lost");  // "[]" would end reading
        config_set_string(config, "a]b", "k", "lost");
        config_set_string(config, "line\nbreak", "k", "lost");
        const char* bad_keys[] = {"", " lead", "#hash", "[bracket", "a=b", "cr\r", "lf\n"};
        for (const char* key : bad_keys) config_set_string(config, "Mixed", key, "lost");
        config_set_string(config, "Mixed", "=", "first character may be =");
        config_set_string(config, "Mixed", "ok", "kept");
        config_set_string(config, "Last", "k", "2");
        EXPECT_EQ(config_save(config), -2) << "names were left out";
        EXPECT_EQ(config_save_safe(config, "tmp", "bak"), -2) << "names were left out";
    }
    Config config;
    ASSERT_EQ(config_open(&config, path.c_str(), CONFIG_OPEN_EXISTING), 0);
    EXPECT_EQ(Dump(config.handle->user), "[First]{k=1}[Mixed]{==first character may be =|ok=kept}[Last]{k=2}")
        << "everything else was written";
    EXPECT_EQ(Read(path + ".bak"), Read(path)) << "the safe save replaced the file too";

    // A single bad name is enough, and one that is fine again gives 0.
    config_set_string(config, "Last", "", "lost");
    EXPECT_EQ(config_save(config), -2);
    ASSERT_TRUE(config_remove_value(config, "Last", ""));
    EXPECT_EQ(config_save(config), 0);
}

TEST_F(ConfigFileTest, ReopenReplacesTheUserLayerOnly) {
    const std::string path = PathOf("reopen.ini");
    Write(path, "[A]\nk=file\n");
    Config config;
    ASSERT_EQ(config_open(&config, path.c_str(), CONFIG_OPEN_EXISTING), 0);
    config_set_string(config, "A", "k", "unsaved");
    config_set_default_string(config, "A", "d", "default");
    config_reopen(config);
    EXPECT_STREQ(config_get_string(config, "A", "k", nullptr), "file");
    EXPECT_STREQ(config_get_string(config, "A", "d", nullptr), "default");

    Write(path, "");
    config_reopen(config);
    EXPECT_EQ(config_num_sections(config), 0u);

    std::filesystem::remove(path);
    config_set_string(config, "A", "k", "kept");
    config_reopen(config);
    EXPECT_STREQ(config_get_string(config, "A", "k", nullptr), "kept") << "a missing file changes nothing";
}

TEST_F(ConfigFileTest, OpenDefaultsAppendsToTheDefaultLayer) {
    const std::string defaults = PathOf("defaults.ini");
    Write(defaults, kBom + "[A]\nx=1\ny=2\n[B]\nz=3\n");
    Config config;
    ASSERT_EQ(config_open_string(&config, "[A]\nx=user\n"), 0);
    config_set_default_string(config, "C", "w", "4");
    ASSERT_EQ(config_open_defaults(config, defaults.c_str()), 0);
    EXPECT_EQ(Dump(config.handle->defaults), "[C]{w=4}[A]{x=1|y=2}[B]{z=3}");
    EXPECT_STREQ(config_get_string(config, "A", "x", nullptr), "user");
    EXPECT_STREQ(config_get_string(config, "A", "y", nullptr), "2");
    EXPECT_EQ(config_get_default_int(config, "B", "z"), 3);
    EXPECT_EQ(config_open_defaults(config, PathOf("none.ini").c_str()), -1);
    EXPECT_EQ(config_num_sections(config), 1u) << "defaults never enter the user layer";
}

TEST_F(ConfigFileTest, FileEndsAtTheFirstZeroByte) {
    const std::string path = PathOf("nul.ini");
    Write(path, std::string("[A]\nk=v\0[B]\nx=1", 16));
    Config config;
    ASSERT_EQ(config_open(&config, path.c_str(), CONFIG_OPEN_EXISTING), 0);
    EXPECT_EQ(Dump(config.handle->user), "[A]{k=v}");
}

TEST_F(ConfigFileTest, SaveSafeReplacesThroughATemporaryFile) {
    const std::string path = PathOf("safe.ini");
    Write(path, "[Old]\nk=1\n");
    Config config;
    ASSERT_EQ(config_open(&config, path.c_str(), CONFIG_OPEN_EXISTING), 0);
    config_set_string(config, "Old", "k", "2");
    ASSERT_EQ(config_save_safe(config, "tmp", "bak"), 0);
    EXPECT_EQ(Read(path), kBom + "[Old]\r\nk=2\r\n");
    EXPECT_EQ(Read(path + ".bak"), "[Old]\nk=1\n") << "the old file survives as the backup";
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

    config_set_string(config, "Old", "k", "3");
    ASSERT_EQ(config_save_safe(config, ".tmp", nullptr), 0) << "a leading . is not doubled";
    EXPECT_EQ(Read(path), kBom + "[Old]\r\nk=3\r\n");
    EXPECT_EQ(Read(path + ".bak"), "[Old]\nk=1\n") << "no backup asked, none made";
    EXPECT_STREQ(config.handle->path, path.c_str()) << "the handle's path is restored";
    EXPECT_EQ(Entries(), (std::vector<std::string>{"safe.ini", "safe.ini.bak"})) << "no temporary file is left";
}

// The replacement keeps the mode of the file it replaces.
TEST_F(ConfigFileTest, SaveKeepsTheFileMode) {
    const std::string path = PathOf("mode.ini");
    Write(path, "[A]\nk=1\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    Config config;
    ASSERT_EQ(config_open(&config, path.c_str(), CONFIG_OPEN_EXISTING), 0);
    config_set_string(config, "A", "k", "2");
    ASSERT_EQ(config_save(config), 0);
    EXPECT_EQ(std::filesystem::status(path).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(Entries(), std::vector<std::string>{"mode.ini"});
}

TEST_F(ConfigFileTest, SaveSafeCreatesAMissingFile) {
    const std::string path = PathOf("new.ini");
    Config config;
    EXPECT_EQ(config_open(&config, path.c_str(), CONFIG_OPEN_EXISTING), -1);
    config_set_bool(config, "S", "b", true);
    ASSERT_EQ(config_save_safe(config, "tmp", ""), 0);
    EXPECT_EQ(Read(path), kBom + "[S]\r\nb=true\r\n");
    EXPECT_FALSE(std::filesystem::exists(path + "."));
}

TEST_F(ConfigFileTest, SaveSafeFailuresLeaveTheFileAlone) {
    const std::string path = PathOf("keep.ini");
    const std::string original = "[Keep]\nk=v\n";
    Write(path, original);
    Config config;
    ASSERT_EQ(config_open(&config, path.c_str(), CONFIG_OPEN_EXISTING), 0);
    EXPECT_EQ(config_save_safe(config, "", "bak"), -2);
    EXPECT_EQ(config_save_safe(config, nullptr, "bak"), -2);
    EXPECT_EQ(Read(path), original);

    ASSERT_TRUE(config_remove_section(config, "Keep"));
    EXPECT_EQ(config_save_safe(config, "tmp", "bak"), -2) << "an empty layer writes nothing worth keeping";
    EXPECT_EQ(Read(path), original);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    EXPECT_FALSE(std::filesystem::exists(path + ".bak"));

    Config elsewhere;
    const std::string unreachable = PathOf("no/dir/x.ini");
    config_open(&elsewhere, unreachable.c_str(), CONFIG_OPEN_EXISTING);
    config_set_string(elsewhere, "A", "k", "v");
    EXPECT_EQ(config_save_safe(elsewhere, "tmp", nullptr), -1);

    Config from_text;
    ASSERT_EQ(config_open_string(&from_text, "[A]\nk=v"), 0);
    EXPECT_EQ(config_save_safe(from_text, "tmp", nullptr), -2);
    EXPECT_EQ(config_save_safe(nullptr, "tmp", nullptr), -2);
}

TEST(ConfigThreadTest, ConcurrentSettersAndGetters) {
    Config config;
    ASSERT_EQ(config_open_string(&config, "[Shared]\ncounter=0\n"), 0);
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::atomic<bool> torn{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string section = "S" + std::to_string(t);
            for (int i = 0; i < kRounds; ++i) {
                config_set_int(config, section.c_str(), ("k" + std::to_string(i % 17)).c_str(), i);
                config_set_string(config, "Shared", "counter", "same");
                if (config_get_int(config, section.c_str(), "k0", -1) < 0) torn = true;
                if (config_has_user_value(config, "Shared", "nothing")) torn = true;
                if (i % 50 == 0) config_remove_value(config, section.c_str(), "k1");
                (void)config_num_sections(config);
                (void)config_get_section(config, 0);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(torn);
    EXPECT_EQ(config_num_sections(config), 1u + kThreads);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(config_get_int(config, ("S" + std::to_string(t)).c_str(), "k16", -1), 288);
    }
}

}  // namespace
