#pragma once

// The host's own long options (--help, --status, ...), read before anything
// else starts. Everything else on the command line (the framework's
// "-name=value" switches, Qt's options) is passed on untouched.

#include <string>
#include <vector>

// The shell's own version, which --version prints and the log records.
inline constexpr const char* kHostVersion = "2.21.0.113";

struct HostOptions {
    enum class Action {
        kRun,          // start the shell
        kHelp,         // print the usage and exit 0
        kVersion,      // print the versions and exit 0
        kListPlugins,  // print the configured plugins and exit
        kStatus,       // ask the running instance for its plugin table and exit
        kUsageError,   // print error and a hint to --help, exit kUsageExitCode
    };
    static constexpr int kUsageExitCode = 2;

    Action action = Action::kRun;
    bool safe_mode = false;
    bool retry_plugins = false;
    std::string error;  // kUsageError: what is wrong, without the program's name

    // The arguments without the host's long options, argv[0] first and a
    // null after the last; pointers into the argv given to the parser.
    std::vector<char*> pass_on;
    int PassOnCount() const { return static_cast<int>(pass_on.size()) - 1; }
};

// GNU style: "--name" or an unambiguous prefix of it; "--" ends the host's
// options (the rest is passed on). --help wins over everything, then
// --version; --list-plugins and --status exclude each other and the start
// options. Never fails on arguments that do not start with "--".
HostOptions ParseHostOptions(int argc, char** argv);

// The value of the "-name=value" switch as the framework's command-line
// table reads it (the last one given wins; a blank ends a value), or false
// when it is not given.
bool FindFrameworkSwitch(int argc, char** argv, const std::string& name, std::string* value);

// The texts of --help and --version, ending in a line break.
std::string HelpText();
std::string VersionText(const char* library_version, int library_abi, int host_abi);
