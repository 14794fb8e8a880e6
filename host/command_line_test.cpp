// The host's long options: what each command line asks for, what is passed
// on to Qt and the framework, and the errors a user gets.

#include "host/command_line.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Action = HostOptions::Action;

struct Parsed {
    HostOptions options;
    std::vector<std::string> pass_on;
};

Parsed Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "/opt/velmora/Velmora");
    static std::vector<std::vector<char>> storage;  // the options point into it
    storage.clear();
    std::vector<char*> argv;
    for (const std::string& arg : args) storage.emplace_back(arg.c_str(), arg.c_str() + arg.size() + 1);
    for (std::vector<char>& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    Parsed parsed{ParseHostOptions(static_cast<int>(args.size()), argv.data()), {}};
    EXPECT_EQ(parsed.options.pass_on.back(), nullptr) << "the passed-on arguments end in a null";
    for (int i = 0; i < parsed.options.PassOnCount(); ++i) parsed.pass_on.push_back(parsed.options.pass_on[i]);
    return parsed;
}

struct OptionCase {
    const char* name;
    std::vector<std::string> args;
    Action action;
    bool safe_mode;
    bool retry_plugins;
    std::vector<std::string> pass_on;  // without argv[0]
    const char* error_part;            // kUsageError: found in the message
};

void PrintTo(const OptionCase& test_case, std::ostream* out) { *out << test_case.name; }

class HostOptionsTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(HostOptionsTest, ReadsTheCommandLine) {
    const OptionCase& test_case = GetParam();
    const Parsed parsed = Parse(test_case.args);
    EXPECT_EQ(parsed.options.action, test_case.action) << parsed.options.error;
    EXPECT_EQ(parsed.options.safe_mode, test_case.safe_mode);
    EXPECT_EQ(parsed.options.retry_plugins, test_case.retry_plugins);
    std::vector<std::string> expected_pass_on = test_case.pass_on;
    expected_pass_on.insert(expected_pass_on.begin(), "/opt/velmora/Velmora");
    EXPECT_EQ(parsed.pass_on, expected_pass_on);
    if (test_case.action == Action::kUsageError)
        EXPECT_NE(parsed.options.error.find(test_case.error_part), std::string::npos) << parsed.options.error;
    else
        EXPECT_TRUE(parsed.options.error.empty()) << parsed.options.error;
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, HostOptionsTest,
    ::testing::Values(
        OptionCase{"Nothing", {}, Action::kRun, false, false, {}, ""},
        OptionCase{"FrameworkAndQtArgumentsPassOn",
                   {"-plugin_config=/a/b.json", "-platform", "offscreen", "-x"},
                   Action::kRun, false, false, {"-plugin_config=/a/b.json", "-platform", "offscreen", "-x"}, ""},
        OptionCase{"SafeMode", {"--safe-mode", "-plugin_config=c.json"}, Action::kRun, true, false,
                   {"-plugin_config=c.json"}, ""},
        OptionCase{"SafeModeAndRetry", {"--retry-plugins", "--safe-mode"}, Action::kRun, true, true, {}, ""},
        OptionCase{"UnambiguousPrefix", {"--retry"}, Action::kRun, false, true, {}, ""},
        OptionCase{"Help", {"--help"}, Action::kHelp, false, false, {}, ""},
        OptionCase{"HelpWinsOverAnError", {"--bogus", "--help", "--status=1"}, Action::kHelp, false, false, {}, ""},
        OptionCase{"VersionWinsOverAQuery", {"--status", "--version"}, Action::kVersion, false, false, {}, ""},
        OptionCase{"HelpWinsOverVersion", {"--version", "--he"}, Action::kHelp, false, false, {}, ""},
        OptionCase{"ListPlugins", {"--list-plugins", "-plugin_config=x.json"}, Action::kListPlugins, false, false,
                   {"-plugin_config=x.json"}, ""},
        OptionCase{"ListPluginsTwice", {"--list-plugins", "--list"}, Action::kListPlugins, false, false, {}, ""},
        OptionCase{"Status", {"--status"}, Action::kStatus, false, false, {}, ""},
        OptionCase{"DoubleDashEndsTheOptions", {"--", "--status", "-a=1"}, Action::kRun, false, false,
                   {"--status", "-a=1"}, ""},
        OptionCase{"UnknownOption", {"--bogus"}, Action::kUsageError, false, false, {}, "unrecognized option '--bogus'"},
        OptionCase{"FirstErrorIsReported", {"--bogus", "--other"}, Action::kUsageError, false, false, {}, "'--bogus'"},
        OptionCase{"AmbiguousPrefix", {"--s"}, Action::kUsageError, false, false, {},
                   "option '--s' is ambiguous; possibilities: '--status', '--safe-mode'"},
        OptionCase{"ArgumentNotAllowed", {"--status=now"}, Action::kUsageError, false, false, {},
                   "option '--status' doesn't allow an argument"},
        OptionCase{"ArgumentOnAPrefix", {"--saf=1"}, Action::kUsageError, false, false, {},
                   "option '--safe-mode' doesn't allow an argument"},
        OptionCase{"TwoQueries", {"--status", "--list-plugins"}, Action::kUsageError, false, false, {},
                   "'--status' and '--list-plugins' cannot be combined"},
        OptionCase{"StartOptionWithAQuery", {"--status", "--safe-mode"}, Action::kUsageError, true, false, {},
                   "'--safe-mode' applies when Velmora starts, not with '--status'"},
        OptionCase{"EmptyLongName", {"--=x"}, Action::kUsageError, false, false, {}, "unrecognized option '--'"}),
    [](const ::testing::TestParamInfo<OptionCase>& info) { return std::string(info.param.name); });

struct SwitchCase {
    const char* name;
    std::vector<std::string> args;
    bool found;
    const char* value;
};

void PrintTo(const SwitchCase& test_case, std::ostream* out) { *out << test_case.name; }

class FrameworkSwitchTest : public ::testing::TestWithParam<SwitchCase> {};

// The same rule as the framework's table, so --list-plugins reads the file a
// start would read.
TEST_P(FrameworkSwitchTest, FindsThePluginConfigurationAsTheFrameworkDoes) {
    const SwitchCase& test_case = GetParam();
    std::vector<std::vector<char>> storage;
    std::vector<char*> argv;
    for (const std::string& arg : test_case.args) storage.emplace_back(arg.c_str(), arg.c_str() + arg.size() + 1);
    for (std::vector<char>& arg : storage) argv.push_back(arg.data());
    std::string value = "untouched";
    EXPECT_EQ(FindFrameworkSwitch(static_cast<int>(argv.size()), argv.data(), "plugin_config", &value), test_case.found);
    EXPECT_EQ(value, test_case.value);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, FrameworkSwitchTest,
    ::testing::Values(
        SwitchCase{"Absent", {"Velmora", "-other=1", "--status"}, false, "untouched"},
        SwitchCase{"Plain", {"Velmora", "-plugin_config=/p/my-config.json"}, true, "/p/my-config.json"},
        SwitchCase{"SlashIntroducesToo", {"Velmora", "/plugin_config=c.json"}, true, "c.json"},
        SwitchCase{"LastWins", {"Velmora", "-plugin_config=a.json", "-plugin_config=b.json"}, true, "b.json"},
        SwitchCase{"BlankEndsTheValue", {"Velmora", "-plugin_config=a.json -x=1"}, true, "a.json"},
        SwitchCase{"LaterInOneArgument", {"Velmora", "-x=1 -plugin_config=c.json"}, true, "c.json"},
        SwitchCase{"EmptyValue", {"Velmora", "-plugin_config="}, true, ""},
        SwitchCase{"WithoutEquals", {"Velmora", "-plugin_config"}, false, "untouched"},
        SwitchCase{"OtherNameWithPrefix", {"Velmora", "-plugin_config_old=a"}, false, "untouched"}),
    [](const ::testing::TestParamInfo<SwitchCase>& info) { return std::string(info.param.name); });

TEST(HostHelpTest, ListsEveryOptionAndTheFrameworkSwitches) {
    const std::string help = HelpText();
    for (const char* option : {"--safe-mode", "--retry-plugins", "--list-plugins", "--status", "--help", "--version"})
        EXPECT_NE(help.find(std::string("      ") + option + " "), std::string::npos) << option << " in\n" << help;
    for (const char* switch_text : {"-plugin_config=FILE", "-removeTranslator=", "-demo_skin=", "-demo_screenshot="})
        EXPECT_NE(help.find(switch_text), std::string::npos) << switch_text;
    EXPECT_EQ(help.rfind("Usage: Velmora ", 0), 0u);
    for (size_t start = 0, end; (end = help.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_LE(end - start, 80u) << "a line of the help is wider than a terminal: " << help.substr(start, end - start);
}

TEST(HostVersionTest, NamesTheShellAndTheLibrary) {
    EXPECT_EQ(VersionText("2.21.0", 2, 2), "Velmora 2.21.0.113\nlibApplication 2.21.0, plugin interface 2\n");
    const std::string mismatch = VersionText("2.22.0", 3, 2);
    EXPECT_EQ(mismatch.rfind("Velmora 2.21.0.113\nlibApplication 2.22.0, plugin interface 3\nwarning: ", 0), 0u)
        << mismatch;
}

}  // namespace
