#pragma once

// Parts of process start-up exposed for tests.

#include <string>
#include <vector>

namespace Tools::detail {

// Blanks separate, double quotes group, a backslash before a double quote
// makes it a plain character.
std::vector<std::string> SplitCommandLine(const char* command_line);

// "\" turned into "/"; "x.exe" becomes "x" when no "x.exe" exists.
std::string ProgramPath(const char* program);

}  // namespace Tools::detail
