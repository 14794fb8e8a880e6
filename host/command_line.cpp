#include "host/command_line.h"

#include <cstring>
#include <string_view>

namespace {

enum class Option { kHelp, kVersion, kListPlugins, kStatus, kSafeMode, kRetryPlugins };

struct OptionName {
    const char* name;  // without the leading "--"
    Option option;
};

constexpr OptionName kOptions[] = {
    {"help", Option::kHelp},
    {"version", Option::kVersion},
    {"list-plugins", Option::kListPlugins},
    {"status", Option::kStatus},
    {"safe-mode", Option::kSafeMode},
    {"retry-plugins", Option::kRetryPlugins},
};

// An exact name, else the one option the text is a prefix of. False with
// error set when none or several match.
bool Lookup(std::string_view text, Option* option, std::string* error) {
    for (const OptionName& entry : kOptions) {
        if (text == entry.name) {
            *option = entry.option;
            return true;
        }
    }
    std::string candidates;
    int found = 0;
    for (const OptionName& entry : kOptions) {
        if (!text.empty() && std::string_view(entry.name).substr(0, text.size()) == text) {
            *option = entry.option;
            candidates += std::string(found++ ? ", " : "") + "'--" + entry.name + "'";
        }
    }
    if (found == 1) return true;
    if (found > 1)
        *error = "option '--" + std::string(text) + "' is ambiguous; possibilities: " + candidates;
    else
        *error = "unrecognized option '--" + std::string(text) + "'";
    return false;
}

const char* NameOf(Option option) {
    for (const OptionName& entry : kOptions)
        if (entry.option == option) return entry.name;
    return "";
}

}  // namespace

HostOptions ParseHostOptions(int argc, char** argv) {
    HostOptions result;
    bool help = false, version = false;
    // The first of each kind, for the message about a combination.
    const char* query = nullptr;
    const char* start_option = nullptr;
    std::string first_error;
    bool options_ended = false;
    for (int i = 0; i < argc && argv; ++i) {
        char* argument = argv[i];
        if (!argument) continue;
        if (i == 0 || options_ended || std::strncmp(argument, "--", 2) != 0) {
            result.pass_on.push_back(argument);
            continue;
        }
        if (argument[2] == '\0') {
            options_ended = true;
            continue;
        }
        std::string_view text(argument + 2);
        const size_t equals = text.find('=');
        Option option;
        std::string error;
        if (!Lookup(text.substr(0, equals), &option, &error)) {
            if (first_error.empty()) first_error = error;
            continue;
        }
        if (equals != std::string_view::npos) {
            if (first_error.empty())
                first_error = "option '--" + std::string(NameOf(option)) + "' doesn't allow an argument";
            continue;
        }
        switch (option) {
            case Option::kHelp:
                help = true;
                break;
            case Option::kVersion:
                version = true;
                break;
            case Option::kListPlugins:
            case Option::kStatus: {
                const HostOptions::Action action =
                    option == Option::kStatus ? HostOptions::Action::kStatus : HostOptions::Action::kListPlugins;
                if (query && result.action != action && first_error.empty())
                    first_error = std::string("'--") + query + "' and '--" + NameOf(option) + "' cannot be combined";
                if (!query) {
                    query = NameOf(option);
                    result.action = action;
                }
                break;
            }
            case Option::kSafeMode:
                result.safe_mode = true;
                if (!start_option) start_option = NameOf(option);
                break;
            case Option::kRetryPlugins:
                result.retry_plugins = true;
                if (!start_option) start_option = NameOf(option);
                break;
        }
    }
    result.pass_on.push_back(nullptr);
    // As GNU programs do: asking for help or the version always works.
    if (help) {
        result.action = HostOptions::Action::kHelp;
    } else if (version) {
        result.action = HostOptions::Action::kVersion;
    } else if (!first_error.empty()) {
        result.action = HostOptions::Action::kUsageError;
        result.error = first_error;
    } else if (query && start_option) {
        result.action = HostOptions::Action::kUsageError;
        result.error = std::string("'--") + start_option + "' applies when Velmora starts, not with '--" + query + "'";
    }
    return result;
}

// The framework's rule: a switch starts at the first '-' or '/' of an
// argument, its name ends at the first '=', its value at the first blank,
// and the rest of the argument is read again as if it were one of its own.
bool FindFrameworkSwitch(int argc, char** argv, const std::string& name, std::string* value) {
    bool found = false;
    for (int i = 0; i < argc && argv; ++i) {
        if (!argv[i]) continue;
        std::string_view argument(argv[i]);
        while (true) {
            const size_t start = argument.find_first_of("-/");
            if (start == std::string_view::npos || start + 1 >= argument.size()) break;
            const size_t equals = argument.find('=', start + 1);
            if (equals == std::string_view::npos) break;
            const std::string_view switch_name = argument.substr(start + 1, equals - start - 1);
            const std::string_view rest = argument.substr(equals + 1);
            const size_t cut = rest.find(' ');
            if (switch_name == name) {
                *value = std::string(rest.substr(0, cut));
                found = true;
            }
            if (cut == std::string_view::npos) break;
            argument = rest.substr(cut);
        }
    }
    return found;
}

std::string HelpText() {
    return R"(Usage: Velmora [OPTION]... [-name=value]...
A plugin-hosting desktop shell. Without an option it starts, or brings the
running instance of this user to the front.

Options:
      --safe-mode       start with built-in plugins only: no plugin library is
                        loaded and no plugin process is started
      --retry-plugins   try the plugins again that were skipped because the
                        shell crashed while starting them
      --list-plugins    print the configured plugins and whether their files
                        can be used, then exit; nothing is loaded
      --status          print the plugin table of the running instance
                        (state, pid, starts, memory, CPU, ...), then exit
      --help            print this help and exit
      --version         print the versions of the shell and its library, exit
Long options may be shortened to any unambiguous prefix. '--' ends them.

Switches, read by the framework and the plugins (a value ends at a blank):
  -plugin_config=FILE   the plugin configuration to use instead of
                        plugins/config.json beside the program; also read
                        by --list-plugins
  -removeTranslator=1   take the translator away when the event loop ends
                        rather than when the framework shuts down
  -demo_skin=N          the demo window plugin: skin 0 (light) or 1 (dark)
  -demo_screenshot=FILE the demo window plugin: save a picture of the window
                        as FILE once it is ready, then quit
  -demo_restart=NAME    with -demo_screenshot: press the Restart button of
                        process plugin NAME first
  -demo_retry_skipped=1 with -demo_screenshot: press "Retry at next start"
The shell passes -pid=, -plugin_name= and -ipc_cmd_info= to the plugin
processes it starts; they are not meant to be given by hand.
Qt's own options, such as -platform NAME, are accepted as well.

Exit status: 0 on success; 1 when the command failed (--status: no instance
runs or it did not answer; --list-plugins: the configuration could not be
read or parsed); 2 on a usage error.

The data root is $XDG_DATA_HOME/VelmoraData (by default
~/.local/share/VelmoraData); the logs are in its logs/ folder.
)";
}

std::string VersionText(const char* library_version, int library_abi, int host_abi) {
    std::string text = std::string("Velmora ") + kHostVersion + "\n";
    text += std::string("libApplication ") + (library_version ? library_version : "?") + ", plugin interface " +
            std::to_string(library_abi) + "\n";
    if (library_abi != host_abi)
        text += "warning: this program was built for plugin interface " + std::to_string(host_abi) +
                "; the library it loaded is of another build\n";
    return text;
}
