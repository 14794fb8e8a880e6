#include "framework/core/cmdline_mgr.h"

#include <cstdio>

namespace Application {

bool CmdLineMgrT::Has(const char* name) {
    return name && switches_.find(std::string_view(name)) != switches_.end();
}

int CmdLineMgrT::GetValue(const char* name, char* buffer, int size) {
    if (!name || !*name) return 0;
    auto it = switches_.find(std::string_view(name));
    if (it == switches_.end()) return 0;
    if (!buffer) return static_cast<int>(it->second.size());
    if (size >= 1) std::snprintf(buffer, static_cast<size_t>(size), "%s", it->second.c_str());
    return 0;
}

void CmdLineMgrT::Parse(int argc, char** argv) {
    if (!argv) return;
    for (int i = 0; i < argc; ++i) {
        if (argv[i]) ParseArgument(argv[i]);
    }
}

// A value ends at its first blank; the rest is parsed as if it were a new
// argument, so "-a=1 -b=2" in one argument yields both switches.
void CmdLineMgrT::ParseArgument(std::string_view argument) {
    while (true) {
        const size_t start = argument.find_first_of("-/");
        if (start == std::string_view::npos || start + 1 >= argument.size()) return;
        const size_t equals = argument.find('=', start + 1);
        if (equals == std::string_view::npos) return;
        std::string name(argument.substr(start + 1, equals - start - 1));
        std::string_view value = argument.substr(equals + 1);
        // Only a blank ends a value: paths and names with dashes, and
        // negative numbers, must survive whole.
        const size_t cut = value.find(' ');
        if (cut == std::string_view::npos) {
            switches_[std::move(name)] = std::string(value);
            return;
        }
        switches_[std::move(name)] = std::string(value.substr(0, cut));
        argument = value.substr(cut);
    }
}

CmdLineMgrT* ProcessCmdLineMgr() {
    static CmdLineMgrT* table = new CmdLineMgrT;
    return table;
}

}  // namespace Application
