#pragma once

#include <string>

namespace Tools::detail {

// The shared-memory object behind a named semaphore: the user id and the
// name with every character outside [A-Za-z0-9_.-] written as %XX.
std::string SemaphoreObjectName(const char* name);

}  // namespace Tools::detail
