#pragma once

namespace Application {
class InterfaceBase;
}

// The host's component callback: reacts to the skin, translation and paths
// components as each one starts. Always returns true.
bool OnComponentStarted(Application::InterfaceBase* component);

// The host's quit callback: ends the event loop; the flag is ignored.
void OnQuitRequested(bool flag);
