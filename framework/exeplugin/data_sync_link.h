#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Application::ExePlugin {

// The out-of-process link's view of the state synchroniser.
std::string FullStateSnapshot();
void ApplyStateSnapshot(const std::string& snapshot);
// Every later change of mirrored state is handed to listener (on worker thread 1).
uintptr_t AddStateListener(std::function<void(const std::string&)> listener);
void RemoveStateListener(uintptr_t handle);

}  // namespace Application::ExePlugin
