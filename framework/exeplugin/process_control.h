#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Tools/os.h"

namespace Application::ExePlugin {

// Waits until every process of the list has ended or the monotonic clock
// has reached deadline_ms; true when all have ended. One wait for all, so
// their grace periods run side by side.
bool WaitForProcessesExit(const std::vector<Tools::os_process_t>& processes, int64_t deadline_ms);
// Asks the process and its process group to end (SIGTERM), or ends them
// (SIGKILL) when force is set: the leader through its pidfd, the group while
// the leader is not reaped.
void SignalProcess(Tools::os_process_t process, bool force);
// "exit code N" or "signal N (NAME)" of an ended process; "ended" when unknown.
std::string DescribeExit(Tools::os_process_t process);

}  // namespace Application::ExePlugin
