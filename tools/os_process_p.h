#pragma once

// Parts of process start-up exposed for tests.

#include <string>
#include <vector>

namespace Tools {
struct os_process;
}

namespace Tools::detail {

// Blanks separate, double quotes group, a backslash before a double quote
// makes it a plain character.
std::vector<std::string> SplitCommandLine(const char* command_line);

// "\" turned into "/"; "x.exe" becomes "x" when no "x.exe" exists.
std::string ProgramPath(const char* program);

// Sends signal to the process through its pidfd, so that a process id taken
// over by another process after this one ended never receives it. False when
// the process has ended (or cannot be signalled).
bool SignalProcess(os_process* process, int signal);

}  // namespace Tools::detail
