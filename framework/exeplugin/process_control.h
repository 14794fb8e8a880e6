#pragma once

#include <cstdint>
#include <string>

#include "Tools/os.h"

namespace Application::ExePlugin {

// Waits up to timeout_ms for the process to end; true when it has.
bool WaitForProcessExit(Tools::os_process_t process, uint32_t timeout_ms);
// Asks the process to end (SIGTERM), or ends it (SIGKILL) when force is set.
void SignalProcess(Tools::os_process_t process, bool force);
// "exit code N" or "signal N (NAME)" of an ended process; "ended" when unknown.
std::string DescribeExit(Tools::os_process_t process);

}  // namespace Application::ExePlugin
