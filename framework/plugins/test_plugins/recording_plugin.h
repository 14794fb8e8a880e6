#pragma once

// A plugin library for the tests that records what happens to its objects.
// It needs nothing from libApplication, so both the unit tests (static
// framework) and the shared-library tests can load it.

#include <string>
#include <thread>
#include <vector>

#define RECORDING_PLUGIN_API __attribute__((visibility("default")))

namespace recording_plugin {

struct Event {
    std::string what;  // "create 1", "init 1", "invoke 1 7 <data>", "free 1", "destroy 1"
    std::thread::id thread;
};

// Commands the objects understand.
enum Command : int {
    kTrigger = 0,  // recorded as "trigger 1 <msg id> <payload>"
    kEcho = 1,     // answers with the data
};

RECORDING_PLUGIN_API std::vector<Event> TakeEvents();
// Forgets the events and numbers the next object 1 again.
RECORDING_PLUGIN_API void Reset();

}  // namespace recording_plugin
