#pragma once

namespace Application {

// Names the calling thread for debuggers, top and /proc (cut to what the
// system keeps: 15 bytes on Linux).
void NameCurrentThread(const char* name);

}  // namespace Application
