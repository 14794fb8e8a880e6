#pragma once

// Parts of process start-up exposed for tests, and the process-tree helpers
// of the framework and the host program (the exported ones are the host's).

#include <cstdint>
#include <string>
#include <vector>

#include "Application/Export.h"

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

// Starts a process as os_create_process does, as the leader of a process
// group of its own. Whatever is left of the group when the leader ends is
// killed (SIGKILL) by the reaper, before it reaps the leader: the group id
// cannot name anyone else while its leader is not reaped.
os_process* CreateProcessInOwnGroup(const char* program, const char* command_line, char* error_text);

// Sends signal to the process through its pidfd and, for one started in a
// group of its own and not yet reaped, to every member of that group. False
// when the process has ended (or cannot be signalled).
bool SignalProcessGroup(os_process* process, int signal);

// Makes this process the child subreaper: descendants orphaned by the end of
// their parent become its children instead of init's. False when refused.
APP_API bool BecomeChildSubreaper();

// Ends the children this process did not start through os_create_process
// (the orphans a subreaper adopts), and the orphans their end hands over:
// SIGTERM, SIGKILL to those still there after grace_ms, then reaps them.
// Only for a process whose every other child is started here: others would
// lose their children's exit status. Returns how many were ended.
APP_API int EndAdoptedChildren(int grace_ms);

// For a process that leads its own process group: ends the other members of
// the group and this process's own children (SIGTERM, then SIGKILL after
// grace_ms), through pidfds, so a process id taken over meanwhile is never
// signalled. Does nothing in a process that does not lead its group.
// Returns how many were ended.
int EndOwnGroupAndChildren(int grace_ms);

// Raises the soft limit of open descriptors towards wanted, as far as the
// hard limit allows; returns the soft limit in force afterwards.
APP_API uint64_t RaiseDescriptorLimit(uint64_t wanted);
// The soft limit of open descriptors.
APP_API uint64_t DescriptorLimit();

}  // namespace Tools::detail
